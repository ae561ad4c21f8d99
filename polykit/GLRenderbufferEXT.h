// A renderbuffer (GL_EXT_framebuffer_object). The name is generated in the constructor and deleted
// in the destructor, so a context must be current at both.
#pragma once

#include "GLObject.h"

class GLFramebufferEXT;

class GLRenderbufferEXT : public GLObject {
public:
  GLRenderbufferEXT();
  ~GLRenderbufferEXT() override;
  GLRenderbufferEXT(GLRenderbufferEXT&& other) noexcept;
  GLRenderbufferEXT& operator=(GLRenderbufferEXT&& other) noexcept;

  bool create() override { return false; }
  bool destroy() override { return false; }
  // glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, name) / (..., 0); true.
  bool bind() override;
  bool unbind() override;
  // Asks the driver every time.
  bool isValid() override;

  // Allocates storage; the result of unbind(), false when bind() fails.
  bool setStorage(GLenum internalFormat, int width, int height);
  // Attaches to the framebuffer that the caller has bound, and remembers framebuffer and point.
  void attach(GLFramebufferEXT* framebuffer, GLenum attachment);
  // Reads width × height pixels of the renderbuffer through the framebuffer it was last attached
  // to, then puts back whatever renderbuffer held the attachment point and the framebuffer binding
  // of the caller. False when never attached (no OpenGL call) or when the attachment point now
  // holds something other than a renderbuffer (binding restored).
  bool readPixels(GLenum format, GLenum type, int width, int height, void* pixels);

  GLuint id() const { return id_; }
  GLFramebufferEXT* framebuffer() const { return framebuffer_; }
  GLenum attachment() const { return attachment_; }

private:
  GLuint id_ = 0;
  GLFramebufferEXT* framebuffer_ = nullptr;
  GLenum attachment_ = 0;
};
