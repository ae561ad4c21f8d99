#include "GLTestContext.h"

#include "PkContext.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

GLTestContext::GLTestContext() {
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setDepthBufferSize(24);
  format.setAlphaBufferSize(8);
  context_ = std::make_unique<QOpenGLContext>();
  context_->setFormat(format);
  if (!context_->create()) return;
  surface_ = std::make_unique<QOffscreenSurface>();
  surface_->setFormat(context_->format());
  surface_->create();
  if (!context_->makeCurrent(surface_.get())) return;
  ok_ = pk::initGlew();
}

GLTestContext::~GLTestContext() { doneCurrent(); }

void GLTestContext::makeCurrent() {
  if (context_ && surface_) context_->makeCurrent(surface_.get());
}

void GLTestContext::doneCurrent() {
  if (context_) context_->doneCurrent();
}
