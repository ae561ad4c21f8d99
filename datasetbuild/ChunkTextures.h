// The host arrays of one cache chunk, filled from a chunk of the layout.
//
// Vertex slot i of the chunk (texel i, row by row) holds a vertex's position and value (vertex
// array) and its gradient and value (weights array). The slot after the last vertex is the
// sentinel: value 1e30, above every isovalue. Left half of the edge map and of the tetrahedron map:
// tetrahedron slot (c, r) holds the classification edge B→C and the six edge indices AB, AC, AD,
// BC, BD, CD in texels (2c, r) and (2c + 1, r). Right half of the edge map: the chunk's edges,
// local edge e at texel (W/2 + e mod W/2, e div W/2), global index row·W + column. An unused
// tetrahedron slot has the sentinel as both ends of its classification edge, which the
// interpolation flags with w = −1 at every isovalue below 1e30, and all six of its edge indices
// point at its own left-half texel, which holds that flagged interpolation: such a slot yields a
// triangle of flagged vertices, which is never drawn.
#pragma once

#include "CacheFile.h"
#include "datasetbuild/ChunkLayout.h"

#include <cstdint>
#include <vector>

namespace vxb {

constexpr float kSentinelValue = 1.0e30f;

class ChunkTextureBuilder {
public:
  ChunkTextureBuilder(const PreparedMesh& mesh, const Layout& layout);
  // Fills `out` (all seven arrays at their raw sizes, counts, row intervals) for chunk k, reusing
  // the storage of what `out` held (pass the same ChunkData chunk after chunk).
  void build(size_t k, ChunkData& out);

private:
  const PreparedMesh& mesh_;
  const Layout& layout_;
  std::vector<uint32_t> localVertex_; // global vertex -> slot in the chunk being built
  std::vector<uint32_t> localEdge_;   // global edge -> global index in the chunk being built
};

} // namespace vxb
