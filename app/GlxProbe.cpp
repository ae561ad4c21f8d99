// Kept free of Qt headers: X11's macros (Bool, Status, None...) break them.
#include "OpenGLSupport.h"

#include <GL/glx.h>
#include <X11/Xlib.h>

bool displayHasGLX() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  int errorBase = 0, eventBase = 0;
  const bool has = glXQueryExtension(display, &errorBase, &eventBase) != 0;
  XCloseDisplay(display);
  return has;
}
