// X11 and GLX headers only: their macros (Bool, Status, None...) must not meet Qt's headers.
#include "GlxDisplay.h"

#include <GL/glx.h>
#include <X11/Xlib.h>

#include <cstdlib>

bool glxDisplayAvailable(std::string& why) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    why = "no X display: DISPLAY is not set (run under xvfb-run, for example)";
    return false;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    why = std::string("cannot open the X display ") + name;
    return false;
  }
  int errorBase = 0, eventBase = 0;
  const bool glx = glXQueryExtension(display, &errorBase, &eventBase);
  XCloseDisplay(display);
  if (!glx) {
    why = std::string("the X display ") + name + " has no GLX extension";
    return false;
  }
  return true;
}
