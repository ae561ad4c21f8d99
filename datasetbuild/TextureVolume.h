// The 3D texture of the "3D Texture" shading mode: a headerless 256 × 256 × 256 volume of bytes
// (x fastest, then y, then z) with marble-like veins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxb {

constexpr int kTextureSize = 256;

// The volume in memory: kTextureSize³ bytes.
std::vector<uint8_t> makeMarbleVolume(int size = kTextureSize);

// Writes the volume to path through a temporary file renamed at the end. Prints an error and
// returns false when it cannot.
bool writeMarbleTexture(const std::string& path);

} // namespace vxb
