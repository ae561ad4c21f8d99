#include "datasetbuild/ChunkTextures.h"

#include <cassert>

namespace vxb {

ChunkTextureBuilder::ChunkTextureBuilder(const PreparedMesh& mesh, const Layout& layout)
    : mesh_(mesh), layout_(layout), localVertex_(mesh.vertexCount(), 0), localEdge_(layout.edgeCount(), 0) {}

void ChunkTextureBuilder::build(size_t k, ChunkData& out) {
  const ChunkPlan& plan = layout_.chunks[k];
  const size_t W = size_t(layout_.width), H = size_t(layout_.height), half = W / 2;
  const size_t texels = W * H;
  assert(plan.vertices.size() < texels && plan.edges.size() <= half * H && plan.tets.size() <= half * H);

  // The arrays keep their storage from the chunk `out` held before: only zeroed, not reallocated.
  out.allocate(layout_.width, layout_.height);
  out.reserved = 0;

  for (size_t i = 0; i < plan.vertices.size(); ++i) {
    const uint32_t v = plan.vertices[i];
    localVertex_[v] = uint32_t(i);
    for (int c = 0; c < 3; ++c) {
      out.vertexArray[4 * i + size_t(c)] = mesh_.positions[3 * size_t(v) + size_t(c)];
      out.weightArray[4 * i + size_t(c)] = mesh_.gradients[3 * size_t(v) + size_t(c)];
    }
    out.vertexArray[4 * i + 3] = mesh_.values[v];
    out.weightArray[4 * i + 3] = mesh_.values[v];
  }
  const size_t sentinel = plan.vertices.size();
  out.vertexArray[4 * sentinel + 3] = kSentinelValue;
  out.weightArray[4 * sentinel + 3] = kSentinelValue;
  out.vertexCount = uint32_t(sentinel + 1);

  auto putEnds = [&](uint8_t* texel, size_t a, size_t b) {
    texel[0] = uint8_t(a % W);
    texel[1] = uint8_t(a / W);
    texel[2] = uint8_t(b % W);
    texel[3] = uint8_t(b / W);
  };
  // The edges go to the right half in the order the tetrahedron rows first use them: the edges of
  // a band of rows then lie in a band of edge rows, which is all the interpolation of a span needs.
  constexpr uint32_t kUnplaced = 0xFFFFFFFFu;
  for (const uint32_t g : plan.edges) localEdge_[g] = kUnplaced;
  size_t placed = 0;
  for (size_t slot = 0; slot < plan.tets.size(); ++slot) {
    if (slot + 16 < plan.tets.size()) __builtin_prefetch(&layout_.tetEdges[6 * size_t(plan.tets[slot + 16])]);
    const uint32_t* e = &layout_.tetEdges[6 * size_t(plan.tets[slot])];
    for (int k = 0; k < 6; ++k) {
      const uint32_t g = e[k];
      if (localEdge_[g] != kUnplaced) continue;
      const size_t row = placed / half, column = half + placed % half;
      ++placed;
      localEdge_[g] = uint32_t(row * W + column);
      putEnds(&out.edgeMap[4 * (row * W + column)], localVertex_[layout_.edgeEnds[2 * size_t(g)]],
              localVertex_[layout_.edgeEnds[2 * size_t(g) + 1]]);
    }
  }
  assert(placed == plan.edges.size());

  // Tetrahedron slots, used ones first; every other slot of the left half is the empty slot.
  for (size_t slot = 0; slot < half * H; ++slot) {
    const size_t row = slot / half, column = slot % half;
    uint8_t* classification = &out.edgeMap[4 * (row * W + column)];
    uint16_t* map = &out.tetMap[4 * (row * W + 2 * column)];
    if (slot < plan.tets.size()) {
      // The slots' cells lie all over the mesh: ask for those a few slots ahead early.
      if (slot + 16 < plan.tets.size()) {
        const size_t ahead = plan.tets[slot + 16];
        __builtin_prefetch(&mesh_.tets[4 * ahead]);
        __builtin_prefetch(&layout_.tetEdges[6 * ahead]);
      }
      const uint32_t t = plan.tets[slot];
      const uint32_t* q = &mesh_.tets[4 * size_t(t)];
      putEnds(classification, localVertex_[q[1]], localVertex_[q[2]]);
      const uint32_t* e = &layout_.tetEdges[6 * size_t(t)];
      map[0] = uint16_t(localEdge_[e[0]]); // AB
      map[1] = uint16_t(localEdge_[e[1]]); // AC
      map[2] = uint16_t(localEdge_[e[2]]); // AD
      map[3] = uint16_t(localEdge_[e[3]]); // BC
      map[4] = 0;                          // second texel: x and y are not read
      map[5] = 0;
      map[6] = uint16_t(localEdge_[e[4]]); // BD
      map[7] = uint16_t(localEdge_[e[5]]); // CD
    } else {
      putEnds(classification, sentinel, sentinel);
      const uint16_t own = uint16_t(row * W + column);
      for (int i = 0; i < 8; ++i) map[i] = own;
    }
  }

  out.rowCount0 = plan.tetRows(int(W));
  out.rowCount1 = plan.edgeRows(int(W));
  out.tetCount = uint32_t(plan.tets.size());
  out.intervals.assign(plan.intervals.begin(), plan.intervals.end());
  out.stage = ChunkStage::Complete;
}

} // namespace vxb
