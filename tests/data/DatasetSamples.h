// Small datasets built in memory for the parser tests, the sweeps and the fuzz seeds.
#pragma once

#include "CacheFile.h"
#include "DatasetWriter.h"
#include "GeometryFile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace samples {

// A tetrahedron's four corners, its four faces split over the two lists (2 + 2 triangles).
inline GeometryData tetrahedron() {
  GeometryData g;
  g.vertices = {PkVec3f(0, 0, 0), PkVec3f(1, 0, 0), PkVec3f(0, 1, 0), PkVec3f(0, 0, 1)};
  g.triangles[0] = {0, 2, 1, 0, 1, 3};
  g.triangles[1] = {0, 3, 2, 1, 2, 3};
  return g;
}

// A chunk of a W × H cache with every array at its full size and zero.
inline ChunkData blankChunk(int w, int h) {
  ChunkData c;
  c.allocate(w, h);
  return c;
}

// The header of a W × H cache over an axis-aligned box, data range [0, 1].
inline CacheHeader boxHeader(int w, int h, PkVec3f centre, PkVec3f halfExtent) {
  CacheHeader header;
  header.textureWidth = static_cast<std::uint32_t>(w);
  header.textureHeight = static_cast<std::uint32_t>(h);
  header.box.centre = centre;
  header.box.axis[0] = PkVec3f(1, 0, 0);
  header.box.axis[1] = PkVec3f(0, 1, 0);
  header.box.axis[2] = PkVec3f(0, 0, 1);
  header.box.halfExtent = halfExtent;
  header.dataMin = 0.0f;
  header.dataMax = 1.0f;
  return header;
}

// One chunk of a W × H cache whose arrays compress (mostly unused slots, repeated patterns) and
// differ from chunk to chunk through k. rows row intervals.
inline ChunkData chunk(int w, int h, int k, std::uint32_t rows) {
  const std::size_t texels = std::size_t(w) * h;
  ChunkData c = blankChunk(w, h);
  c.vertexCount = static_cast<std::uint32_t>(texels / 2);
  for (std::size_t i = 0; i < c.vertexCount; ++i) {
    const float value = float((i + k) % 8) / 8.0f;
    c.vertexArray[4 * i + 0] = float(i % 4);
    c.vertexArray[4 * i + 1] = float(k);
    c.vertexArray[4 * i + 3] = value;
    c.firstWeightArray[4 * i + 2] = 1.0f;
    c.vertexIndices[4 * i] = static_cast<std::uint16_t>(i);
    c.weightArray[4 * i + 0] = 0.5f;
    c.weightArray[4 * i + 3] = value;
    c.edgeMap[4 * i + 0] = static_cast<std::uint8_t>(i);
    c.edgeMap[4 * i + 2] = static_cast<std::uint8_t>(i + 1);
    c.tetMap[4 * i + 1] = static_cast<std::uint16_t>(i % 3 == 0 ? 65535 : i);
  }
  c.reserved = 0;
  c.rowCount0 = h / 2;
  c.rowCount1 = h / 2 + k;
  c.tetCount = static_cast<std::uint32_t>(texels / 4 + k);
  for (std::uint32_t j = 0; j < rows; ++j) {
    c.intervals.push_back(0.125f * float(j % 4));
    c.intervals.push_back(0.125f * float(j % 4) + 0.25f + 0.125f * float(k % 2));
  }
  return c;
}

inline CacheData cache(int w, int h, int chunks, std::uint32_t rows) {
  CacheData d;
  d.header = boxHeader(w, h, PkVec3f(1, 2, 3), PkVec3f(0.5f, 2.0f, 1.0f));
  for (int k = 0; k < chunks; ++k) d.chunks.push_back(chunk(w, h, k, rows));
  d.header.chunkCount = static_cast<std::uint32_t>(chunks);
  return d;
}

inline std::vector<unsigned char> geometryBytes(const GeometryData& g) {
  std::vector<unsigned char> bytes;
  writeGeometryBytes(g, bytes);
  return bytes;
}

inline std::vector<unsigned char> cacheBytes(const CacheData& d, const CacheWriteOptions& options = {},
                                             CacheLayout* layout = nullptr) {
  std::vector<unsigned char> bytes;
  writeCacheBytes(d, bytes, options, layout);
  return bytes;
}

} // namespace samples
