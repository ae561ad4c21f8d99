// An OpenGL context made current on an offscreen surface, for OpenGL work without a window (the
// benchmark, the engine's and the library's tests). It asks for the surface every context of the
// program asks for (pk::surfaceFormat), so that what runs offscreen runs as it does in the view,
// and initialises GLEW for it. No OpenGL header here, so it can be used beside GLEW.
#pragma once

#include <memory>

class QOpenGLContext;
class QOffscreenSurface;

class GLOffscreenContext {
public:
  GLOffscreenContext();
  ~GLOffscreenContext();
  GLOffscreenContext(const GLOffscreenContext&) = delete;
  GLOffscreenContext& operator=(const GLOffscreenContext&) = delete;

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
