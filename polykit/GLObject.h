// Common base of the library's owning wrappers around OpenGL names (textures, shader programs,
// buffer, framebuffer and renderbuffer objects). Every wrapper owns exactly one name: copies are
// deleted, moves leave the moved-from object holding name 0.
#pragma once

#include "PolykitGL.h"

class GLObject {
public:
  GLObject() = default;
  virtual ~GLObject() {}
  GLObject(const GLObject&) = delete;
  GLObject& operator=(const GLObject&) = delete;

  virtual bool create() = 0;
  virtual bool destroy() { return false; }
  virtual bool bind() = 0;
  virtual bool unbind() = 0;
  virtual void enable() {}
  virtual void disable() {}
  virtual bool isValid() { return created_; }

protected:
  GLObject(GLObject&& other) noexcept : created_(other.created_) { other.created_ = false; }
  GLObject& operator=(GLObject&& other) noexcept {
    created_ = other.created_;
    other.created_ = false;
    return *this;
  }

  bool created_ = false;
};
