// The CPU reference of the four extraction passes: the example tetrahedron with the values 0.1,
// 0.2, 0.6, 0.9 in a chunk laid out by hand, and the engine's row selection.
#include "ReferenceExtractor.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int W = 256, H = 256;

struct V4 {
  float x, y, z, w;
};

// One tetrahedron A, B, C, D in slot (0, 0); its edges AB, AC, AD, BC, BD, CD at right-half texels
// (128 + e, 0), that is global indices 128 … 133; vertex slot 4 is the sentinel of the empty slots.
ChunkData exampleChunk() {
  ChunkData c;
  c.allocate(W, H);
  const V4 pos[5] = {{0, 0, 0, 0.1f}, {1, 0, 0, 0.2f}, {0, 1, 0, 0.6f}, {0, 0, 1, 0.9f}, {0, 0, 0, 1e30f}};
  const V4 grad[5] = {{1, 0, 0, 0.1f}, {0, 1, 0, 0.2f}, {0, 0, 1, 0.6f}, {1, 1, 1, 0.9f}, {0, 0, 0, 1e30f}};
  for (int v = 0; v < 5; ++v) {
    std::copy(&pos[v].x, &pos[v].x + 4, &c.vertexArray[4 * size_t(v)]);
    std::copy(&grad[v].x, &grad[v].x + 4, &c.weightArray[4 * size_t(v)]);
  }
  c.vertexCount = 5;
  const int ends[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
  for (int e = 0; e < 6; ++e) {
    uint8_t* t = &c.edgeMap[4 * size_t(128 + e)];
    t[0] = uint8_t(ends[e][0]);
    t[2] = uint8_t(ends[e][1]);
  }
  for (int slot = 0; slot < (W / 2) * H; ++slot) {
    const int row = slot / (W / 2), col = slot % (W / 2);
    uint8_t* cls = &c.edgeMap[4 * (size_t(row) * W + size_t(col))];
    uint16_t* map = &c.tetMap[4 * (size_t(row) * W + size_t(2 * col))];
    if (slot == 0) {
      cls[0] = 1; // B
      cls[2] = 2; // C
      const uint16_t m[8] = {128, 129, 130, 131, 0, 0, 132, 133};
      std::copy(m, m + 8, map);
    } else {
      cls[0] = cls[2] = 4;
      std::fill(map, map + 8, uint16_t(row * W + col));
    }
  }
  c.rowCount0 = 1;
  c.rowCount1 = 1;
  c.tetCount = 1;
  c.intervals = {0.0f, 1.0f}; // as if the row held other tetrahedra: the passes run at 0.05 and 0.95 too
  c.stage = ChunkStage::Complete;
  return c;
}

V4 at(const std::vector<float>& a, size_t offset) { return {a[offset], a[offset + 1], a[offset + 2], a[offset + 3]}; }

} // namespace

TEST(ReferenceExtractor, ExampleTetrahedronAtFiveIsovalues) {
  const ChunkData chunk = exampleChunk();
  ReferenceExtractor ref(W, H);
  struct Expect {
    float iso;
    float indices[4];
    float w[4];                 // flags, or the weights along the four edges
    int triangles;              // in the reference surface
  };
  const Expect cases[] = {
      {0.15f, {128, 129, 130, 130}, {0.5f, 0.1f, 0.0625f, 0.0625f}, 1},  // triangle AB, AC, AD
      {0.4f, {129, 130, 132, 131}, {0.6f, 0.375f, 2.0f / 7.0f, 0.5f}, 2}, // quad AC, AD, BD, BC
      {0.7f, {130, 130, 132, 133}, {0.75f, 0.75f, 5.0f / 7.0f, 1.0f / 3.0f}, 1}, // triangle AD, BD, CD
      {0.05f, {128, 129, 130, 130}, {-1, -1, -1, -1}, 0},
      {0.95f, {130, 130, 132, 133}, {-2, -2, -2, -2}, 0},
  };
  const float vertexPos[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const int edgeEnds[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
  for (const Expect& e : cases) {
    SCOPED_TRACE(e.iso);
    ReferenceChunkOutput out;
    ASSERT_TRUE(ref.extractChunk(chunk, e.iso, out));
    EXPECT_EQ(out.span.first, 0);
    EXPECT_EQ(out.span.end, 1);
    // Triangle assembly output of slot (0, 0), in window row H − 1.
    const V4 g = at(out.indices, 4 * size_t(H - 1) * (W / 2));
    EXPECT_EQ(g.x, e.indices[0]);
    EXPECT_EQ(g.y, e.indices[1]);
    EXPECT_EQ(g.z, e.indices[2]);
    EXPECT_EQ(g.w, e.indices[3]);
    for (int k = 0; k < 4; ++k) {
      const V4 p = at(out.positions[0], ref.outputTexel(0, 0, k));
      const V4 n = at(out.normals[0], ref.outputTexel(0, 0, k));
      EXPECT_NEAR(p.w, e.w[k], 1e-6) << "vertex " << k;
      if (e.w[k] < 0) continue;
      // The crossing point lies on the edge at its weight, the normal interpolates the gradients.
      const int edge = int(e.indices[k]) - 128;
      const int a = edgeEnds[edge][0], b = edgeEnds[edge][1];
      for (int c = 0; c < 3; ++c) {
        const float expected = vertexPos[a][c] + (vertexPos[b][c] - vertexPos[a][c]) * e.w[k];
        EXPECT_NEAR((&p.x)[c], expected, 1e-6) << "vertex " << k << " component " << c;
      }
      EXPECT_NEAR(n.w, e.w[k], 1e-6);
    }
    // Every empty slot of the row yields flagged vertices only, the rows outside keep the clear value.
    for (int c = 1; c < W / 2; ++c)
      for (int k = 0; k < 4; ++k)
        EXPECT_LT(out.positions[ReferenceExtractor::halfOf(c, W)][ref.outputTexel(0, c, k) + 3], 0.0f);
    EXPECT_EQ(at(out.positions[1], ref.outputTexel(1, 70, 0)).w, -1.0f);
    EXPECT_EQ(at(out.positions[1], ref.outputTexel(1, 70, 0)).x, 1.0f);

    CacheData cache;
    cache.header.textureWidth = W;
    cache.header.textureHeight = H;
    cache.chunks.push_back(chunk);
    ReferenceSurface surface;
    ASSERT_TRUE(referenceSurface(cache, e.iso, surface));
    EXPECT_EQ(int(surface.triangleCount()), e.triangles);
  }
  // At 0.4 the quad is the planar cut of the tetrahedron: its area from the four points.
  CacheData cache;
  cache.header.textureWidth = W;
  cache.header.textureHeight = H;
  cache.chunks.push_back(chunk);
  ReferenceSurface quad;
  ASSERT_TRUE(referenceSurface(cache, 0.4f, quad));
  EXPECT_EQ(quad.quads, 1u);
  EXPECT_EQ(quad.triangles, 0u);
  // AC (0, 0.6, 0), AD (0, 0, 0.375), BD (5/7, 0, 2/7), BC (0.5, 0.5, 0), split at AC–BD.
  EXPECT_NEAR(quad.area, 0.38963778, 1e-6);
}

TEST(ReferenceExtractor, FlatShadingTakesTheThirdVertexGradient) {
  const ChunkData chunk = exampleChunk();
  ReferenceExtractor ref(W, H);
  ReferenceChunkOutput smooth, flat;
  ASSERT_TRUE(ref.extractChunk(chunk, 0.4f, smooth));
  ASSERT_TRUE(ref.extractChunk(chunk, 0.4f, flat, ReferenceOptions{true}));
  const V4 third = at(smooth.normals[0], ref.outputTexel(0, 0, 2));
  for (int k = 0; k < 4; ++k) {
    const V4 n = at(flat.normals[0], ref.outputTexel(0, 0, k));
    EXPECT_EQ(n.x, third.x);
    EXPECT_EQ(n.y, third.y);
    EXPECT_EQ(n.z, third.z);
  }
  EXPECT_NE(at(smooth.normals[0], ref.outputTexel(0, 0, 0)).x, third.x);
  // Equal end values: weight 0 at the value itself, flags just below and above.
  ChunkData equal = chunk;
  equal.vertexArray[4 * 2 + 3] = 0.2f; // C takes B's value
  ReferenceChunkOutput out;
  ASSERT_TRUE(ref.extractChunk(equal, 0.2f, out));
  EXPECT_EQ(at(out.interpVertices, 4 * size_t(H - 1) * W).w, 0.0f); // classification edge BC
  ASSERT_TRUE(ref.extractChunk(equal, 0.2001f, out));
  EXPECT_EQ(at(out.interpVertices, 4 * size_t(H - 1) * W).w, -2.0f);
  ASSERT_TRUE(ref.extractChunk(equal, 0.1999f, out));
  EXPECT_EQ(at(out.interpVertices, 4 * size_t(H - 1) * W).w, -1.0f);
}

TEST(ReferenceExtractor, RowSpanFollowsTheEngine) {
  const float rows[] = {0.1f, 0.2f, 0.5f, 0.6f, 0.3f, 0.4f, 0.35f, 0.55f};
  RowSpan s = chunkRowSpan(rows, 4, 4, 10, H, 0.35f);
  EXPECT_TRUE(s.active);
  EXPECT_EQ(s.matchingRows, 2);
  EXPECT_EQ(s.rowMin, 2);
  EXPECT_EQ(s.rowEnd, 4);
  EXPECT_TRUE(s.drawn());
  EXPECT_EQ(s.rows(), 2);
  // Inside the chunk's range but in no row: rowMin stays at the limit, rowEnd at 1, and the
  // passes' upside-down quads still cover rows 1 … limit − 1, which are not drawn.
  s = chunkRowSpan(rows, 3, 4, 10, H, 0.25f);
  EXPECT_TRUE(s.active);
  EXPECT_EQ(s.matchingRows, 0);
  EXPECT_EQ(s.rowMin, 10);
  EXPECT_EQ(s.rowEnd, 1);
  EXPECT_FALSE(s.drawn());
  EXPECT_EQ(s.first, 1);
  EXPECT_EQ(s.end, 10);
  EXPECT_FALSE(chunkRowSpan(rows, 4, 4, 10, H, 0.7f).active);
  EXPECT_FALSE(chunkRowSpan(rows, 0, 4, 10, H, 0.5f).active); // no rows: [+FLT_MAX, −FLT_MAX]
  EXPECT_TRUE(chunkRowSpan(rows, 4, 4, H + 1, H, 0.35f).overLimit);
  ChunkData c = exampleChunk();
  c.rowCount1 = H + 1;
  ReferenceChunkOutput out;
  EXPECT_FALSE(ReferenceExtractor(W, H).extractChunk(c, 0.4f, out));
}
