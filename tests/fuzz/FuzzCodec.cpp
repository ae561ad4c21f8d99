// Fuzz target: the block codec. The first byte picks the case: decompressing the rest into a
// destination whose size the next two bytes give (never written beyond; whole, and only its
// front, which must agree), or compressing the rest
// and getting it back exactly; the normal code runs over the input's floats either way.
#include "Compressor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  Compressor codec;
  const std::uint8_t mode = data[0];
  const std::size_t capacity = std::size_t(data[1]) | std::size_t(data[2]) << 8;
  const std::uint8_t* rest = data + 3;
  const std::size_t restSize = size - 3;

  if (mode & 1) {
    // The destination is exactly capacity bytes on the heap: AddressSanitizer sees any overrun.
    std::vector<unsigned char> destination(capacity);
    const std::size_t got = codec.decompress(rest, restSize, destination.data(), capacity);
    if (got > capacity) std::abort();
    // Reading only the front (an eighth) of the same block: never past the destination, and where
    // the whole read gave the whole block, the same front.
    std::vector<unsigned char> front(capacity);
    const std::size_t needed = capacity / 8;
    int code = 0;
    const std::size_t frontGot = codec.decompressFront(rest, restSize, front.data(), capacity, needed, code);
    if (frontGot > capacity || (code != 0 && frontGot != 0)) std::abort();
    if (got == capacity && (frontGot != capacity || (needed > 0 && std::memcmp(front.data(), destination.data(), needed) != 0)))
      std::abort();
  } else {
    std::vector<unsigned char> buffer(rest, rest + restSize);
    const std::size_t stored = codec.compress(buffer.data(), buffer.size());
    if (stored == 0) {
      if (restSize > 0 && std::memcmp(buffer.data(), rest, restSize) != 0) std::abort(); // unchanged when it does not pay
    } else {
      if (stored >= restSize) std::abort();
      std::vector<unsigned char> back(restSize);
      if (codec.decompress(buffer.data(), stored, back.data(), back.size()) != restSize ||
          std::memcmp(back.data(), rest, restSize) != 0)
        std::abort();
    }
  }

  for (std::size_t i = 0; i + 12 <= restSize; i += 12) {
    float v[3];
    std::memcpy(v, rest + i, 12);
    codec.decodeNormal(codec.encodeNormal(PkVec3f(v[0], v[1], v[2])));
  }
  return 0;
}
