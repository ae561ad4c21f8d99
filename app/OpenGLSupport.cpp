#include "OpenGLSupport.h"

#include "GlxDisplay.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>

bool displayHasGLX() {
  std::string why;
  return glxDisplayAvailable(why);
}

bool hasOpenGL() {
  if (QGuiApplication::platformName() == QLatin1String("xcb") && !displayHasGLX()) return false;
  QOpenGLContext context;
  if (!context.create()) return false;
  QOffscreenSurface surface;
  surface.setFormat(context.format());
  surface.create();
  const bool ok = surface.isValid() && context.makeCurrent(&surface);
  if (ok) context.doneCurrent();
  return ok;
}
