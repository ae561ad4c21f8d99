#include "BmpFile.h"

#include <cassert>
#include <cstdint>

namespace pk {

namespace {

constexpr std::uint16_t kBitmapType = 0x4D42; // "BM"

std::uint16_t readU16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t readU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t readI32(const unsigned char* p) { return static_cast<std::int32_t>(readU32(p)); }

void putU16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

bool sizeInRange(long long width, long long height) {
  return width <= kBmpMaxDimension && height <= kBmpMaxDimension && width * height <= kBmpMaxPixels;
}

} // namespace

std::size_t bmpRowStride(int width) {
  return ((static_cast<std::size_t>(width) * 24 + 31) & ~static_cast<std::size_t>(31)) / 8;
}

bool parseBMP(const unsigned char* data, std::size_t size, BmpImage& out, std::string& error) {
  if (!data || size < 2 || readU16(data) != kBitmapType) {
    error = "Not a bitmap";
    return false;
  }
  if (size < kBmpHeadersSize) {
    error = "Bitmap header truncated";
    return false;
  }
  const std::uint32_t offset = readU32(data + 10);
  const std::int32_t width = readI32(data + 18);
  const std::int32_t height = readI32(data + 22);
  if (readU16(data + 26) != 1) {
    error = "Number of bitplanes was not 1";
    return false;
  }
  if (readU16(data + 28) != 24) {
    error = "File not 24Bpp";
    return false;
  }
  if (readU32(data + 30) != 0) {
    error = "File compressed";
    return false;
  }
  if (height < 0) {
    error = "File rows not bottom-up";
    return false;
  }
  if (width <= 0 || height == 0) {
    error = "Bitmap size not positive";
    return false;
  }
  if (!sizeInRange(width, height)) {
    error = "Bitmap size too large";
    return false;
  }
  const std::size_t stride = bmpRowStride(width);
  const std::size_t rows = static_cast<std::size_t>(height);
  if (offset > size || stride * rows > size - offset) {
    error = "Bitmap pixel data beyond end of file";
    return false;
  }

  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  std::vector<unsigned char> pixels(rowBytes * rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const unsigned char* src = data + offset + r * stride;
    unsigned char* dst = pixels.data() + r * rowBytes;
    for (std::size_t i = 0; i < rowBytes; i += 3) {
      // blue, green, red on file; red first in the buffer
      dst[i] = src[i + 2];
      dst[i + 1] = src[i + 1];
      dst[i + 2] = src[i];
    }
  }
  out.width = width;
  out.height = height;
  out.pixels.swap(pixels);
  return true;
}

std::vector<unsigned char> encodeBMP(int width, int height, int components, const unsigned char* pixels) {
  std::vector<unsigned char> file;
  if (!pixels || width <= 0 || height <= 0 || (components != 3 && components != 4) ||
      !sizeInRange(width, height))
    return file;

  const std::size_t stride = bmpRowStride(width);
  const std::size_t imageSize = stride * static_cast<std::size_t>(height);
  assert(imageSize >= static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  file.assign(kBmpHeadersSize + imageSize, 0);

  unsigned char* h = file.data();
  putU16(h + 0, kBitmapType);
  putU32(h + 2, static_cast<std::uint32_t>(kBmpHeadersSize + imageSize));
  // 6: two reserved words, 0
  putU32(h + 10, static_cast<std::uint32_t>(kBmpHeadersSize));
  putU32(h + 14, static_cast<std::uint32_t>(kBmpInfoHeaderSize));
  putU32(h + 18, static_cast<std::uint32_t>(width));
  putU32(h + 22, static_cast<std::uint32_t>(height));
  putU16(h + 26, 1);
  putU16(h + 28, 24);
  // 30: compression 0
  putU32(h + 34, static_cast<std::uint32_t>(imageSize));
  // 38: resolutions and palette counts, 0

  const std::size_t pc = static_cast<std::size_t>(components);
  for (std::size_t r = 0; r < static_cast<std::size_t>(height); ++r) {
    const unsigned char* src = pixels + r * static_cast<std::size_t>(width) * pc;
    unsigned char* dst = h + kBmpHeadersSize + r * stride;
    for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
      dst[3 * x] = src[pc * x + 2];
      dst[3 * x + 1] = src[pc * x + 1];
      dst[3 * x + 2] = src[pc * x];
    }
  }
  return file;
}

} // namespace pk
