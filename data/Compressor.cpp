#include "Compressor.h"

#include "PkDiag.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace {

bool gSimulateInitFailure = false;

// The compressor's work memory: one per thread that compresses, made on its first use there, so
// chunks can be compressed on several threads at once. LZO1X_1_MEM_COMPRESS is 64 KiB with 32-bit
// pointers and 128 KiB with 64-bit ones.
constexpr std::size_t kWorkWords = (LZO1X_1_MEM_COMPRESS + sizeof(lzo_align_t) - 1) / sizeof(lzo_align_t);
lzo_align_t* workMemory() {
  thread_local std::unique_ptr<lzo_align_t[]> memory(new (std::nothrow) lzo_align_t[kWorkWords]);
  return memory.get();
}

// The shortest stream the decompressor can take: the three-byte end-of-stream marker. Shorter input
// would make the library read past its end before any of its own checks.
constexpr std::size_t kShortestStream = 3;

// Clamps a scaled normal component into [0, 255] (NaN → 0) so the integer conversion is defined.
int gridIndex(double scaled) {
  if (!(scaled > 0.0)) return 0;
  return static_cast<int>(std::floor(std::min(scaled, 255.0)));
}

} // namespace

void Compressor::simulateInitFailure(bool on) { gSimulateInitFailure = on; }

std::size_t Compressor::compressBound(std::size_t length) {
  // The library's documented worst case for incompressible input.
  return length + length / 16 + 64 + 3;
}

Compressor::Compressor()
    : normalScale_(126.0 * std::sqrt(0.5)), inverseNormalScale_(1.0 / (126.0 * std::sqrt(0.5))) {
  if (!gSimulateInitFailure && lzo_init() == LZO_E_OK) {
    available_ = true;
  } else {
    pk::error("lzo_init() failed !!!");
    available_ = false;
  }
}

std::size_t Compressor::compress(unsigned char* buffer, std::size_t length) {
  if (!available_) {
    pk::error("compressor not available");
    return 0;
  }
  if (length == 0) return 0;
  lzo_align_t* work = workMemory();
  unsigned char* output = new (std::nothrow) unsigned char[compressBound(length)];
  if (!output || !work) {
    delete[] output;
    return 0;
  }
  lzo_uint outLength = 0;
  const int code = lzo1x_1_compress(buffer, length, output, &outLength, work);
  if (code != LZO_E_OK) {
    pk::WarningLine() << "internal error - compression failed: " << code;
    delete[] output;
    return 0;
  }
  std::size_t result = 0;
  if (outLength < length) {
    std::memcpy(buffer, output, outLength);
    result = outLength;
  }
  delete[] output;
  return result;
}

std::size_t Compressor::decompress(const unsigned char* source, std::size_t sourceLength,
                                   unsigned char* destination, std::size_t destinationCapacity) {
  int code = 0;
  const std::size_t length = decompressQuietly(source, sourceLength, destination, destinationCapacity, code);
  if (code != 0) reportFailure(code);
  return length;
}

std::size_t Compressor::decompressQuietly(const unsigned char* source, std::size_t sourceLength,
                                          unsigned char* destination, std::size_t destinationCapacity,
                                          int& code) const {
  if (!available_) {
    code = kNotAvailable;
    return 0;
  }
  code = LZO_E_INPUT_OVERRUN;
  lzo_uint outLength = destinationCapacity;
  if (sourceLength >= kShortestStream)
    code = lzo1x_decompress_safe(source, sourceLength, destination, &outLength, nullptr);
  if (code != LZO_E_OK) return 0;
  code = 0;
  return outLength;
}

std::size_t Compressor::decompressFront(const unsigned char* source, std::size_t sourceLength,
                                       unsigned char* destination, std::size_t destinationCapacity,
                                       std::size_t needed, int& code) const {
  // Room for the operation that reaches past needed bytes to end inside it, mostly. Padding after
  // data that does not compress begins with the end of a literal run: LZO1X-1 looks for matches
  // ever further apart in such a run (a 32nd of its length, in blocks of 48 KiB), then the padding
  // is one long match, which is where the decompressor stops.
  const std::size_t slack = 8192 + needed / 16;
  if (available_ && needed + slack < destinationCapacity && sourceLength >= kShortestStream) {
    lzo_uint length = needed + slack;
    // On an output overrun the decompressor has written whole operations up to length and no byte
    // past it.
    if (lzo1x_decompress_safe(source, sourceLength, destination, &length, nullptr) == LZO_E_OUTPUT_OVERRUN &&
        length >= needed && length <= destinationCapacity) {
      std::memset(destination + length, 0, destinationCapacity - length);
      code = 0;
      return destinationCapacity;
    }
  }
  return decompressQuietly(source, sourceLength, destination, destinationCapacity, code);
}

void Compressor::reportFailure(int code) {
  if (code == kNotAvailable)
    pk::error("decompressor not available");
  else if (code != 0)
    pk::WarningLine() << "internal error - decompression failed: " << code;
}

std::uint16_t Compressor::encodeNormal(const PkVec3f& v) const {
  const double x = v.x, y = v.y, z = v.z;
  unsigned code = 0;
  if (x < 0) code |= 0x8000u;
  if (y < 0) code |= 0x4000u;
  if (z < 0) code |= 0x2000u;
  const int e = gridIndex(std::fabs(y) * normalScale_);
  const int i = gridIndex(std::fabs(x) * normalScale_);
  code |= static_cast<unsigned>(i + e * (255 - e) / 2);
  return static_cast<std::uint16_t>(code & 0xFFFFu);
}

PkVec3f Compressor::decodeNormal(std::uint16_t code) const {
  const int t = code & 0x1FFF;
  const int e = static_cast<int>(std::floor((levels_ - std::sqrt(std::fabs(levelsSquared_ - 8.0 * t))) * 0.5));
  const int i = static_cast<std::int16_t>(t - (255 - e) * e / 2);
  double x = i * inverseNormalScale_;
  double y = e * inverseNormalScale_;
  double z = std::sqrt(std::fabs(1.0 - x * x - y * y));
  if (code & 0x8000) x = -x;
  if (code & 0x4000) y = -y;
  if (code & 0x2000) z = -z;
  return PkVec3f(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
}
