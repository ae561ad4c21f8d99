#include "HeadlessContext.h"

#include "PkContext.h"
#include "SurfaceFormat.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>

HeadlessContext::HeadlessContext() {
  context_ = std::make_unique<QOpenGLContext>();
  context_->setFormat(engineSurfaceFormat());
  if (!context_->create()) return;
  surface_ = std::make_unique<QOffscreenSurface>();
  surface_->setFormat(context_->format());
  surface_->create();
  if (!context_->makeCurrent(surface_.get())) return;
  ok_ = pk::initGlew();
}

HeadlessContext::~HeadlessContext() { doneCurrent(); }

void HeadlessContext::makeCurrent() {
  if (context_ && surface_) context_->makeCurrent(surface_.get());
}

void HeadlessContext::doneCurrent() {
  if (context_) context_->doneCurrent();
}
