// A buffer texture whose texel ranges hold the data of many chunks, so that one compute dispatch
// reaches them all. Ranges go first-fit into the holes that freed ones leave, else after the last
// one; the buffer grows to what it must hold (by half again at least, its texels copied on the
// graphics side) up to a fixed limit, past which the owner opens another arena. It never shrinks:
// release() gives all of it back. Everything needs the context current.
#pragma once

#include "PolykitGL.h"

#include <cstddef>
#include <map>

class TexelArena {
public:
  static constexpr std::size_t kNone = ~std::size_t(0);

  // format: the texture's internal format, of bytesPerTexel each; maxTexels: the most it grows to.
  TexelArena(GLenum format, std::size_t bytesPerTexel, std::size_t maxTexels);

  // Places count texels from data and gives the first, or kNone where they do not fit under the
  // limit or the driver has no memory for the grown buffer; nothing changes then.
  std::size_t store(const void* data, std::size_t count);
  // The same for count texels from first of another arena of the same texel size, copied on the
  // graphics side.
  std::size_t storeCopy(const TexelArena& source, std::size_t first, std::size_t count);
  // Allocates room for texels (up to the limit) now, so that stores up to it copy nothing; false
  // where the driver has no memory for it (nothing changes then).
  bool reserve(std::size_t texels);
  // Gives a stored range back.
  void free(std::size_t first, std::size_t count);

  GLuint texture() const { return texture_; }
  std::size_t capacityTexels() const { return capacity_; }
  // The buffer's bytes: its texels and a little padding (see bufferBytes).
  std::size_t capacityBytes() const { return bytes_; }
  std::size_t usedTexels() const { return used_; }
  void release();

  // The bytes to allocate for a buffer texture of at least `bytes`. llvmpipe compiles a program
  // anew for each combination of two properties of the sizes of the buffer textures bound at a
  // dispatch (whether a power of two, and bits 8 to 15 of the size in bytes, which Mesa 22.3 takes
  // for a mipmap level count): every size padded to neither (by at most 768 bytes) keeps each pass
  // to the one program compiled at start-up, instead of a compile of 50 to 100 ms at the first
  // extraction and whenever the sizes come to another combination.
  static std::size_t bufferBytes(std::size_t bytes);

private:
  // Room for count texels: the first hole that holds them, else after the last range (growing the
  // buffer); kNone where they do not fit.
  std::size_t allocate(std::size_t count);
  bool grow(std::size_t texels);

  const GLenum format_;
  const std::size_t bytesPerTexel_, maxTexels_;
  GLuint buffer_ = 0, texture_ = 0;
  std::size_t capacity_ = 0; // texels
  std::size_t bytes_ = 0;    // the buffer's, padding included
  std::size_t end_ = 0;      // texels up to the end of the last range
  std::size_t used_ = 0;     // texels in ranges
  std::map<std::size_t, std::size_t> holes_; // first texel -> count, below end_, never touching
};
