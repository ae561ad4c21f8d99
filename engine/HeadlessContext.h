// An OpenGL context made current on an offscreen surface: where the engine runs without a window
// (the benchmark, the tests), with the viewer's own view's format (engineSurfaceFormat).
// No OpenGL header here, so it can be used beside GLEW.
#pragma once

#include <memory>

class QOpenGLContext;
class QOffscreenSurface;

class HeadlessContext {
public:
  HeadlessContext();
  ~HeadlessContext();
  HeadlessContext(const HeadlessContext&) = delete;
  HeadlessContext& operator=(const HeadlessContext&) = delete;

  // True when the context exists, is current and GLEW is initialised for it.
  bool ok() const { return ok_; }
  void makeCurrent();
  void doneCurrent();
  QOpenGLContext* context() const { return context_.get(); }

private:
  std::unique_ptr<QOffscreenSurface> surface_;
  std::unique_ptr<QOpenGLContext> context_;
  bool ok_ = false;
};
