#include "TexelArena.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

TexelArena::TexelArena(GLenum format, std::size_t bytesPerTexel, std::size_t maxTexels)
    : format_(format), bytesPerTexel_(bytesPerTexel), maxTexels_(maxTexels) {}

std::size_t TexelArena::allocate(std::size_t count) {
  if (count == 0 || count > maxTexels_) return kNone;
  std::size_t first = kNone;
  for (auto h = holes_.begin(); h != holes_.end(); ++h) {
    if (h->second < count) continue;
    first = h->first;
    if (h->second > count) holes_.emplace(h->first + count, h->second - count);
    holes_.erase(h);
    break;
  }
  if (first == kNone) {
    if (end_ + count > maxTexels_ || (end_ + count > capacity_ && !grow(end_ + count))) return kNone;
    first = end_;
    end_ += count;
  }
  used_ += count;
  return first;
}

std::size_t TexelArena::store(const void* data, std::size_t count) {
  const std::size_t first = allocate(count);
  if (first == kNone) return kNone;
  glBindBuffer(GL_TEXTURE_BUFFER, buffer_);
  glBufferSubData(GL_TEXTURE_BUFFER, GLintptr(first * bytesPerTexel_), GLsizeiptr(count * bytesPerTexel_), data);
  glBindBuffer(GL_TEXTURE_BUFFER, 0);
  return first;
}

std::size_t TexelArena::storeCopy(const TexelArena& source, std::size_t sourceFirst, std::size_t count) {
  if (&source == this || source.bytesPerTexel_ != bytesPerTexel_ || sourceFirst + count > source.end_) return kNone;
  const std::size_t first = allocate(count);
  if (first == kNone) return kNone;
  glBindBuffer(GL_COPY_READ_BUFFER, source.buffer_);
  glBindBuffer(GL_COPY_WRITE_BUFFER, buffer_);
  glCopyBufferSubData(GL_COPY_READ_BUFFER, GL_COPY_WRITE_BUFFER, GLintptr(sourceFirst * bytesPerTexel_),
                      GLintptr(first * bytesPerTexel_), GLsizeiptr(count * bytesPerTexel_));
  glBindBuffer(GL_COPY_READ_BUFFER, 0);
  glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
  return first;
}

bool TexelArena::reserve(std::size_t texels) {
  texels = std::min(texels, maxTexels_);
  return texels <= capacity_ || grow(texels);
}

void TexelArena::free(std::size_t first, std::size_t count) {
  if (count == 0 || first + count > end_) return;
  used_ -= std::min(used_, count);
  // Joins the holes on either side; a hole that reaches the end shortens the arena's used part.
  auto next = holes_.lower_bound(first);
  if (next != holes_.end() && next->first == first + count) {
    count += next->second;
    next = holes_.erase(next);
  }
  if (next != holes_.begin()) {
    auto before = std::prev(next);
    if (before->first + before->second == first) {
      first = before->first;
      count += before->second;
      holes_.erase(before);
    }
  }
  if (first + count == end_)
    end_ = first;
  else
    holes_.emplace(first, count);
}

std::size_t TexelArena::bufferBytes(std::size_t bytes) {
  auto power = [](std::size_t b) { return (b & (b - 1)) == 0; };
  while (((bytes >> 8) & 0xFFu) == 0 || power(bytes)) bytes += 256;
  return bytes;
}

bool TexelArena::grow(std::size_t texels) {
  const std::size_t capacity = std::min(std::max(texels, capacity_ + capacity_ / 2), maxTexels_);
  const std::size_t bytes = bufferBytes(capacity * bytesPerTexel_);
  GLuint buffer = 0;
  glGenBuffers(1, &buffer);
  glBindBuffer(GL_COPY_WRITE_BUFFER, buffer);
  glBufferData(GL_COPY_WRITE_BUFFER, GLsizeiptr(bytes), nullptr, GL_STATIC_DRAW);
  // A driver out of memory leaves the buffer without storage (and says GL_OUT_OF_MEMORY, which
  // stays for whoever reads the errors): the arena stays as it was.
  GLint64 size = 0;
  glGetBufferParameteri64v(GL_COPY_WRITE_BUFFER, GL_BUFFER_SIZE, &size);
  if (std::uint64_t(size) != std::uint64_t(bytes)) {
    glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
    glDeleteBuffers(1, &buffer);
    return false;
  }
  if (buffer_ && end_ > 0) {
    glBindBuffer(GL_COPY_READ_BUFFER, buffer_);
    glCopyBufferSubData(GL_COPY_READ_BUFFER, GL_COPY_WRITE_BUFFER, 0, 0, GLsizeiptr(end_ * bytesPerTexel_));
    glBindBuffer(GL_COPY_READ_BUFFER, 0);
  }
  glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
  if (buffer_) glDeleteBuffers(1, &buffer_);
  buffer_ = buffer;
  capacity_ = capacity;
  bytes_ = bytes;
  if (!texture_) glGenTextures(1, &texture_);
  glBindTexture(GL_TEXTURE_BUFFER, texture_);
  glTexBuffer(GL_TEXTURE_BUFFER, format_, buffer_);
  glBindTexture(GL_TEXTURE_BUFFER, 0);
  return true;
}

void TexelArena::release() {
  if (texture_) glDeleteTextures(1, &texture_);
  if (buffer_) glDeleteBuffers(1, &buffer_);
  texture_ = buffer_ = 0;
  capacity_ = end_ = used_ = bytes_ = 0;
  holes_.clear();
}
