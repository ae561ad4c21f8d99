// Fuzz target: the 24-bit bitmap byte parser, and an encode/parse round trip of what it accepts.
#include "BmpFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pk::BmpImage image;
  std::string error;
  if (!pk::parseBMP(data, size, image, error)) {
    if (error.empty()) std::abort(); // every refusal names its reason
    return 0;
  }
  if (image.pixels.size() != std::size_t(image.width) * std::size_t(image.height) * 3) std::abort();
  const std::vector<unsigned char> again = pk::encodeBMP(image.width, image.height, 3, image.pixels.data());
  if (again.empty()) return 0;
  pk::BmpImage back;
  if (!pk::parseBMP(again.data(), again.size(), back, error) || back.width != image.width ||
      back.height != image.height || back.pixels != image.pixels)
    std::abort();
  return 0;
}
