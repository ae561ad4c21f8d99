// An OpenGL context made current on an offscreen surface, for tests that need real OpenGL.
// No OpenGL header here: test files include PolykitGL.h (GLEW) themselves.
#pragma once

#include <memory>

class QOpenGLContext;
class QOffscreenSurface;

class GLTestContext {
public:
  GLTestContext();
  ~GLTestContext();
  GLTestContext(const GLTestContext&) = delete;
  GLTestContext& operator=(const GLTestContext&) = delete;

  // True when the context exists, is current and GLEW is initialised.
  bool ok() const { return ok_; }
  void makeCurrent();
  void doneCurrent();
  QOpenGLContext* context() const { return context_.get(); }

private:
  std::unique_ptr<QOffscreenSurface> surface_;
  std::unique_ptr<QOpenGLContext> context_;
  bool ok_ = false;
};

// The first OpenGL error left in the queue (GL_NO_ERROR, 0, when none); empties the queue.
unsigned takeGLError();
