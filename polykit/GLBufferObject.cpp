#include "GLBufferObject.h"

#include <utility>

GLBufferObject::GLBufferObject(GLenum target) : target_(target) { glGenBuffersARB(1, &id_); }

GLBufferObject::~GLBufferObject() {
  if (id_) glDeleteBuffersARB(1, &id_);
}

GLBufferObject::GLBufferObject(GLBufferObject&& other) noexcept
    : GLObject(std::move(other)),
      target_(other.target_),
      id_(std::exchange(other.id_, 0)),
      size_(std::exchange(other.size_, 0)) {}

GLBufferObject& GLBufferObject::operator=(GLBufferObject&& other) noexcept {
  if (this == &other) return *this;
  if (id_) glDeleteBuffersARB(1, &id_);
  GLObject::operator=(std::move(other));
  target_ = other.target_;
  id_ = std::exchange(other.id_, 0);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

bool GLBufferObject::bind() {
  glBindBuffer(target_, id_);
  return true;
}

bool GLBufferObject::unbind() {
  glBindBuffer(target_, 0);
  return true;
}

bool GLBufferObject::bindAsArray() {
  glBindBuffer(GL_ARRAY_BUFFER, id_);
  return true;
}

bool GLBufferObject::unbindAsArray() {
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  return true;
}

bool GLBufferObject::setData(int size, const void* data, GLenum usage) {
  bind();
  glBufferDataARB(target_, size, data, usage);
  size_ = size;
  unbind();
  return true;
}

bool GLBufferObject::setSubData(int offset, int size, const void* data) {
  bind();
  glBufferSubDataARB(target_, offset, size, data);
  unbind();
  return true;
}

bool GLBufferObject::getSubData(int offset, int size, void* data) {
  bind();
  glGetBufferSubDataARB(target_, offset, size, data);
  unbind();
  return true;
}
