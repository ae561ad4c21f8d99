#include "datasetbuild/TextureVolume.h"

#include "datasetbuild/OutputFiles.h"

#include <cmath>

namespace vxb {

namespace {

// Periodic value noise on a lattice of `cells` cells per axis, smoothly interpolated.
class LatticeNoise {
public:
  LatticeNoise(int cells, uint32_t seed) : cells_(cells), values_(size_t(cells) * cells * cells) {
    uint32_t s = seed;
    for (float& v : values_) {
      s = s * 1664525u + 1013904223u;
      v = float(s >> 8) * (1.0f / 16777216.0f) * 2.0f - 1.0f;
    }
  }
  // u, v, w in lattice units.
  float at(float u, float v, float w) const {
    const int i = int(std::floor(u)), j = int(std::floor(v)), k = int(std::floor(w));
    const float fu = fade(u - float(i)), fv = fade(v - float(j)), fw = fade(w - float(k));
    auto g = [&](int a, int b, int c) {
      return values_[(size_t(wrap(c)) * size_t(cells_) + size_t(wrap(b))) * size_t(cells_) + size_t(wrap(a))];
    };
    const float x00 = lerp(g(i, j, k), g(i + 1, j, k), fu), x10 = lerp(g(i, j + 1, k), g(i + 1, j + 1, k), fu);
    const float x01 = lerp(g(i, j, k + 1), g(i + 1, j, k + 1), fu), x11 = lerp(g(i, j + 1, k + 1), g(i + 1, j + 1, k + 1), fu);
    return lerp(lerp(x00, x10, fv), lerp(x01, x11, fv), fw);
  }

private:
  static float fade(float t) { return t * t * (3.0f - 2.0f * t); }
  static float lerp(float a, float b, float t) { return a + (b - a) * t; }
  int wrap(int x) const { return ((x % cells_) + cells_) % cells_; }
  int cells_;
  std::vector<float> values_;
};

} // namespace

std::vector<uint8_t> makeMarbleVolume(int size) {
  std::vector<uint8_t> volume(size_t(size) * size * size);
  const int octaves = 4;
  std::vector<LatticeNoise> noise;
  for (int o = 0; o < octaves; ++o) noise.emplace_back(4 << o, 0xC0FFEEu + uint32_t(o) * 7919u);
  const float twoPi = 6.28318530718f;
  for (int z = 0; z < size; ++z)
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) {
        const float u = float(x) / float(size), v = float(y) / float(size), w = float(z) / float(size);
        float turbulence = 0.0f, amplitude = 1.0f;
        for (int o = 0; o < octaves; ++o) {
          const float cells = float(4 << o);
          turbulence += amplitude * std::fabs(noise[size_t(o)].at(u * cells, v * cells, w * cells));
          amplitude *= 0.5f;
        }
        // Bands across the volume, bent by the turbulence; the thin dark veins are where the
        // sine passes through zero.
        const float t = std::sin(twoPi * (2.0f * u + 1.0f * v + 0.5f * w + 0.7f * turbulence));
        const float vein = std::pow(std::fabs(t), 0.35f);
        const float shade = 0.2f + 0.8f * vein;
        volume[(size_t(z) * size_t(size) + size_t(y)) * size_t(size) + size_t(x)] = uint8_t(std::lround(255.0f * shade));
      }
  return volume;
}

bool writeMarbleTexture(const std::string& path) {
  const std::vector<uint8_t> volume = makeMarbleVolume(kTextureSize);
  return writeFileAtomically(path, volume.data(), volume.size());
}

} // namespace vxb
