// A framebuffer object (GL_EXT_framebuffer_object). The name is generated in the constructor and
// deleted in the destructor, so a context must be current at both.
#pragma once

#include "GLObject.h"

class GLTexture;

class GLFramebufferEXT : public GLObject {
public:
  GLFramebufferEXT();
  ~GLFramebufferEXT() override;
  GLFramebufferEXT(GLFramebufferEXT&& other) noexcept;
  GLFramebufferEXT& operator=(GLFramebufferEXT&& other) noexcept;

  bool create() override { return true; }
  bool destroy() override { return true; }
  // glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, name) / (..., 0); true.
  bool bind() override;
  bool unbind() override;
  // Asks the driver every time (a name becomes a framebuffer at its first bind).
  bool isValid() override;

  // Attaches a texture level (and slice of a 3D texture) to the framebuffer that is bound now,
  // by the texture's target: 1D, 2D, rectangle and 3D. Any other target (a cube map included)
  // reports "attaching this texture not supported" and returns false.
  bool attachTexture(GLenum attachment, GLTexture* texture, int level = 0, int zoffset = 0);

  GLuint id() const { return id_; }

private:
  GLuint id_ = 0;
};
