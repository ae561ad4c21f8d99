#include "GLFramebufferEXT.h"

#include "GLTexture.h"
#include "PkDiag.h"

#include <cassert>
#include <utility>

GLFramebufferEXT::GLFramebufferEXT() { glGenFramebuffersEXT(1, &id_); }

GLFramebufferEXT::~GLFramebufferEXT() {
  if (id_) glDeleteFramebuffersEXT(1, &id_);
}

GLFramebufferEXT::GLFramebufferEXT(GLFramebufferEXT&& other) noexcept
    : GLObject(std::move(other)), id_(std::exchange(other.id_, 0)) {}

GLFramebufferEXT& GLFramebufferEXT::operator=(GLFramebufferEXT&& other) noexcept {
  if (this == &other) return *this;
  if (id_) glDeleteFramebuffersEXT(1, &id_);
  GLObject::operator=(std::move(other));
  id_ = std::exchange(other.id_, 0);
  return *this;
}

bool GLFramebufferEXT::bind() {
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, id_);
  return true;
}

bool GLFramebufferEXT::unbind() {
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  return true;
}

bool GLFramebufferEXT::isValid() { return glIsFramebufferEXT(id_) == GL_TRUE; }

bool GLFramebufferEXT::attachTexture(GLenum attachment, GLTexture* texture, int level, int zoffset) {
  assert(texture);
  const GLenum target = texture->target();
  switch (target) {
  case GL_TEXTURE_1D:
    glFramebufferTexture1DEXT(GL_FRAMEBUFFER_EXT, attachment, target, texture->id(), level);
    return true;
  case GL_TEXTURE_2D:
  case GL_TEXTURE_RECTANGLE_ARB:
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, attachment, target, texture->id(), level);
    return true;
  case GL_TEXTURE_3D:
    glFramebufferTexture3DEXT(GL_FRAMEBUFFER_EXT, attachment, target, texture->id(), level, zoffset);
    return true;
  default:
    pk::error("attaching this texture not supported");
    return false;
  }
}
