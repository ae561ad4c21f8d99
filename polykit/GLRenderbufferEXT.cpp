#include "GLRenderbufferEXT.h"

#include "GLFramebufferEXT.h"

#include <utility>

GLRenderbufferEXT::GLRenderbufferEXT() { glGenRenderbuffersEXT(1, &id_); }

GLRenderbufferEXT::~GLRenderbufferEXT() {
  if (id_) glDeleteRenderbuffersEXT(1, &id_);
}

GLRenderbufferEXT::GLRenderbufferEXT(GLRenderbufferEXT&& other) noexcept
    : GLObject(std::move(other)),
      id_(std::exchange(other.id_, 0)),
      framebuffer_(std::exchange(other.framebuffer_, nullptr)),
      attachment_(std::exchange(other.attachment_, 0)) {}

GLRenderbufferEXT& GLRenderbufferEXT::operator=(GLRenderbufferEXT&& other) noexcept {
  if (this == &other) return *this;
  if (id_) glDeleteRenderbuffersEXT(1, &id_);
  GLObject::operator=(std::move(other));
  id_ = std::exchange(other.id_, 0);
  framebuffer_ = std::exchange(other.framebuffer_, nullptr);
  attachment_ = std::exchange(other.attachment_, 0);
  return *this;
}

bool GLRenderbufferEXT::bind() {
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, id_);
  return true;
}

bool GLRenderbufferEXT::unbind() {
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);
  return true;
}

bool GLRenderbufferEXT::isValid() { return glIsRenderbufferEXT(id_) == GL_TRUE; }

bool GLRenderbufferEXT::setStorage(GLenum internalFormat, int width, int height) {
  if (!bind()) return false;
  glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, internalFormat, width, height);
  return unbind();
}

void GLRenderbufferEXT::attach(GLFramebufferEXT* framebuffer, GLenum attachment) {
  glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, attachment, GL_RENDERBUFFER_EXT, id_);
  framebuffer_ = framebuffer;
  attachment_ = attachment;
}

bool GLRenderbufferEXT::readPixels(GLenum format, GLenum type, int width, int height, void* pixels) {
  if (!framebuffer_) return false;
  GLint saved = 0;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &saved);
  framebuffer_->bind();
  GLint objectType = GL_NONE;
  GLint objectName = 0;
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, attachment_,
                                           GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE_EXT, &objectType);
  if (objectType != GL_RENDERBUFFER_EXT) {
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
    return false;
  }
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, attachment_,
                                           GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &objectName);
  attach(framebuffer_, attachment_);
  glReadPixels(0, 0, width, height, format, type, pixels);
  glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, attachment_, GL_RENDERBUFFER_EXT,
                               static_cast<GLuint>(objectName));
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
  return true;
}
