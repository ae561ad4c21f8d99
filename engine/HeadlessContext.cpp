#include "HeadlessContext.h"

#include "PkContext.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

HeadlessContext::HeadlessContext() {
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

HeadlessContext::~HeadlessContext() { doneCurrent(); }

void HeadlessContext::makeCurrent() {
  if (context_ && surface_) context_->makeCurrent(surface_.get());
}

void HeadlessContext::doneCurrent() {
  if (context_) context_->doneCurrent();
}
