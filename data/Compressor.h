// The block codec of the extraction cache: LZO1X-1 compression in place, bounded decompression,
// and a 16-bit code for unit vectors. Failures are reported on the console and signalled by the
// length 0, which is also what the cache stores for a block kept raw.
#pragma once

#include "PkTypes.h"

#include <cstddef>
#include <cstdint>

class Compressor {
public:
  // Checks that the LZO library can run; on failure reports "lzo_init() failed !!!" and every
  // later compress/decompress reports that it is not available and returns 0.
  Compressor();
  ~Compressor() = default;
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  bool isAvailable() const { return available_; }

  // Compresses length bytes of buffer in place. Returns the compressed length, which then stands at
  // the start of buffer, or 0 with buffer unchanged: when the library is not available, when it
  // fails, or when the result would not be strictly smaller than length.
  // Uses one work memory per thread: Compressors on different threads may compress at once.
  std::size_t compress(unsigned char* buffer, std::size_t length);

  // Decompresses sourceLength bytes into destination, writing at most destinationCapacity bytes.
  // Returns the decompressed length, or 0 after a message: "decompressor not available", or
  // "internal error - decompression failed: " + the library's (negative) code, an output that
  // would not fit included.
  std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                         unsigned char* destination, std::size_t destinationCapacity);

  // The same without a message, for worker threads: code receives 0 on success, else the
  // library's code or kNotAvailable; reportFailure(code) later prints what decompress would have.
  std::size_t decompressQuietly(const unsigned char* source, std::size_t sourceLength,
                                unsigned char* destination, std::size_t destinationCapacity, int& code) const;
  // As decompressQuietly, for an array of which only the first `needed` bytes are read and whose
  // rest the writer padded with zeros: decompression stops soon after those bytes and the rest of
  // the destination is zeroed, so the padding costs nothing (a run of zeros decompresses a byte at
  // a time). The length is then destinationCapacity, and the stream past the stop is not checked.
  // A stream that ends or fails before it reaches past needed bytes is decompressed whole, with
  // decompressQuietly's outcome.
  std::size_t decompressFront(const unsigned char* source, std::size_t sourceLength, unsigned char* destination,
                              std::size_t destinationCapacity, std::size_t needed, int& code) const;
  static void reportFailure(int code);
  static constexpr int kNotAvailable = 1;

  // 16-bit code of a unit vector: sign bits 15, 14, 13 for x, y, z, and an index of (|x|, |y|)
  // on a triangular grid below them.
  std::uint16_t encodeNormal(const PkVec3f& v) const;
  PkVec3f decodeNormal(std::uint16_t code) const;

  // For tests: while on, every Compressor constructed afterwards behaves as if the library's
  // initialisation check had failed.
  static void simulateInitFailure(bool on);

  // Size of a scratch buffer that can hold the compressor's output for any input of length bytes.
  static std::size_t compressBound(std::size_t length);

private:
  bool available_ = false;
  double levels_ = 255.0;
  double levelsSquared_ = 65025.0;
  double normalScale_;
  double inverseNormalScale_;
};
