// The byte layer of 24-bit uncompressed Windows bitmaps: parsing a file image into RGB pixels and
// encoding RGB(A) pixels into a file image. Plain C++, no OpenGL: the texture class reads and writes
// its files through these, and the fuzz target drives parseBMP directly.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pk {

// Sizes of the two headers written in front of the pixel rows.
constexpr std::size_t kBmpFileHeaderSize = 14;
constexpr std::size_t kBmpInfoHeaderSize = 40;
constexpr std::size_t kBmpHeadersSize = kBmpFileHeaderSize + kBmpInfoHeaderSize; // 54

// Largest width or height accepted, and largest pixel count (keeps every byte index in an int).
constexpr int kBmpMaxDimension = 32768;
constexpr long long kBmpMaxPixels = 1LL << 28;

struct BmpImage {
  int width = 0;
  int height = 0;
  // Rows of width pixels, bottom row first, three bytes red, green, blue each, no padding.
  std::vector<unsigned char> pixels;
};

// Bytes per stored row of a 24-bit bitmap of the given width: padded to a multiple of 4.
std::size_t bmpRowStride(int width);

// Parses a whole file image. On success fills out and returns true. On refusal returns false,
// leaves out unchanged and puts the console text of the reason into error:
//   "Not a bitmap", "Bitmap header truncated", "Number of bitplanes was not 1", "File not 24Bpp",
//   "File compressed", "File rows not bottom-up", "Bitmap size not positive",
//   "Bitmap size too large", "Bitmap pixel data beyond end of file".
// Never reads outside [data, data + size); allocates only what the file really contains.
bool parseBMP(const unsigned char* data, std::size_t size, BmpImage& out, std::string& error);

// Encodes width × height pixels of components bytes each (3: RGB, 4: RGBA, the fourth dropped),
// rows bottom-up without padding, as a complete file image (headers, BGR rows padded with zeros).
// Returns an empty vector when the arguments cannot describe a bitmap (non-positive or too large
// size, components other than 3 or 4, null pixels).
std::vector<unsigned char> encodeBMP(int width, int height, int components, const unsigned char* pixels);

} // namespace pk
