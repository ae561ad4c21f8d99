// An OpenGL context made current on an offscreen surface, for tests that need real OpenGL:
// compatibility profile, depth 24, alpha 8 (the viewer's own format), GLEW initialised for it. It
// needs only polykit and Qt, so the library tests do not link the engine for it. No OpenGL header
// here: test files include PolykitGL.h themselves.
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

// The first OpenGL error left in the queue (GL_NO_ERROR, 0, when none); empties the queue.
unsigned takeGLError();
