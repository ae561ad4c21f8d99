// A buffer object (vertex or pixel buffer). The name is generated in the constructor and deleted in
// the destructor, so a context must be current at both.
#pragma once

#include "GLObject.h"

class GLBufferObject : public GLObject {
public:
  explicit GLBufferObject(GLenum target);
  ~GLBufferObject() override;
  GLBufferObject(GLBufferObject&& other) noexcept;
  GLBufferObject& operator=(GLBufferObject&& other) noexcept;

  bool create() override { return false; }
  bool destroy() override { return false; }
  // glBindBuffer(target, name) / glBindBuffer(target, 0); true.
  bool bind() override;
  bool unbind() override;

  // Binds the buffer to GL_ARRAY_BUFFER whatever its own target (to draw read-back data).
  virtual bool bindAsArray();
  virtual bool unbindAsArray();
  // Binds, (re)specifies size bytes (data may be null), remembers the size, unbinds the target.
  virtual bool setData(int size, const void* data, GLenum usage);

  // Bind, update or read back a byte range, unbind the target.
  bool setSubData(int offset, int size, const void* data);
  bool getSubData(int offset, int size, void* data);

  GLenum target() const { return target_; }
  GLuint id() const { return id_; }
  int size() const { return size_; }

private:
  GLenum target_ = 0;
  GLuint id_ = 0;
  int size_ = 0;
};
