#include "GLOffscreenContext.h"

#include "PkContext.h"
#include "SurfaceFormat.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>

GLOffscreenContext::GLOffscreenContext() {
  context_ = std::make_unique<QOpenGLContext>();
  context_->setFormat(pk::surfaceFormat());
  if (!context_->create()) return;
  surface_ = std::make_unique<QOffscreenSurface>();
  surface_->setFormat(context_->format());
  surface_->create();
  if (!context_->makeCurrent(surface_.get())) return;
  ok_ = pk::initGlew();
}

GLOffscreenContext::~GLOffscreenContext() { doneCurrent(); }

void GLOffscreenContext::makeCurrent() {
  if (context_ && surface_) context_->makeCurrent(surface_.get());
}

void GLOffscreenContext::doneCurrent() {
  if (context_) context_->doneCurrent();
}
