// The layout of prepared meshes into chunks and textures, checked through the arrays that the
// cache stores: limits, the tetrahedron and edge maps, row intervals, empty slots; and the
// surfaces that the reference extractor finds in them.
#include "datasetbuild/Boundary.h"
#include "datasetbuild/ChunkLayout.h"
#include "datasetbuild/ChunkTextures.h"
#include "datasetbuild/MarchingTets.h"
#include "ReferenceExtractor.h"
#include "meshimport/Synthetic.h"
#include "datasetbuild/TextureVolume.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

using namespace vxb;

namespace {

constexpr int W = 256, H = 256;

PreparedMesh prepared(const std::string& name, int n) {
  TetMesh mesh;
  EXPECT_TRUE(makeSynthetic(name, n, mesh));
  PreparedMesh p;
  EXPECT_TRUE(prepareMesh(mesh, mesh.fields[0].values, false, p));
  return p;
}

CacheData cacheOf(const PreparedMesh& p, const Layout& layout) {
  CacheData cache;
  cache.header.textureWidth = W;
  cache.header.textureHeight = H;
  cache.chunks.resize(layout.chunks.size());
  ChunkTextureBuilder builder(p, layout);
  for (size_t k = 0; k < layout.chunks.size(); ++k) builder.build(k, cache.chunks[k]);
  return cache;
}

// Vertex slot that an edge-map byte pair names.
size_t slotOf(const uint8_t* b) { return size_t(b[1]) * W + b[0]; }

} // namespace

TEST(ChunkLayout, ChunksRespectLimitsAndMapsDescribeEveryTetrahedron) {
  const PreparedMesh p = prepared("blobs", 20); // 48000 tetrahedra: more than one chunk
  Layout layout;
  buildLayout(p, LayoutOptions(), layout);
  ASSERT_GE(layout.chunks.size(), 2u);
  std::vector<int> seen(p.tetCount(), 0);
  for (const ChunkPlan& c : layout.chunks) {
    EXPECT_LE(c.tets.size(), size_t(W / 2) * H);
    EXPECT_LE(c.edges.size(), size_t(W / 2) * H);
    EXPECT_LT(c.vertices.size(), size_t(W) * H);
    for (uint32_t t : c.tets) ++seen[t];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int s) { return s == 1; }));

  const CacheData cache = cacheOf(p, layout);
  for (size_t k = 0; k < cache.chunks.size(); ++k) {
    const ChunkData& c = cache.chunks[k];
    const ChunkPlan& plan = layout.chunks[k];
    ASSERT_EQ(c.intervals.size(), 2 * size_t(c.rowCount0));
    const float* vertex = c.vertexArray.data();
    auto value = [&](size_t slot) { return vertex[4 * slot + 3]; };
    for (size_t slot = 0; slot < plan.tets.size(); ++slot) {
      const size_t row = slot / (W / 2), col = slot % (W / 2);
      const uint16_t* m0 = &c.tetMap[4 * (row * W + 2 * col)];
      const uint16_t edges[6] = {m0[0], m0[1], m0[2], m0[3], m0[6], m0[7]};
      // The six edges, lower-valued end first, join four vertices in ascending value order.
      size_t corner[6][2];
      for (int e = 0; e < 6; ++e) {
        ASSERT_GE(edges[e] % W, W / 2) << "edge index in the left half";
        ASSERT_LT(edges[e] / W, c.rowCount1);
        const uint8_t* t = &c.edgeMap[4 * size_t(edges[e])];
        corner[e][0] = slotOf(t);
        corner[e][1] = slotOf(t + 2);
        ASSERT_LE(value(corner[e][0]), value(corner[e][1]));
      }
      const size_t A = corner[0][0], B = corner[0][1], C = corner[1][1], D = corner[2][1];
      EXPECT_EQ(corner[1][0], A);
      EXPECT_EQ(corner[2][0], A);
      EXPECT_TRUE(corner[3][0] == B && corner[3][1] == C);
      EXPECT_TRUE(corner[4][0] == B && corner[4][1] == D);
      EXPECT_TRUE(corner[5][0] == C && corner[5][1] == D);
      // The classification edge in the tetrahedron's own texel is BC.
      const uint8_t* cls = &c.edgeMap[4 * (row * W + col)];
      EXPECT_EQ(slotOf(cls), B);
      EXPECT_EQ(slotOf(cls + 2), C);
      // The row's interval holds the tetrahedron's range.
      EXPECT_LE(c.intervals[2 * row], value(A));
      EXPECT_GE(c.intervals[2 * row + 1], value(D));
    }
    EXPECT_EQ(c.tetCount, plan.tets.size());
    EXPECT_EQ(c.vertexArray[4 * plan.vertices.size() + 3], kSentinelValue);
  }
  // Empty slots in the processed rows yield only flagged vertices.
  ReferenceExtractor ref(W, H);
  for (float iso : {0.1f, 0.5f, 0.9f})
    for (size_t k = 0; k < cache.chunks.size(); ++k) {
      ReferenceChunkOutput out;
      if (!ref.extractChunk(cache.chunks[k], iso, out)) continue;
      for (int r = out.span.first; r < out.span.end; ++r)
        for (int c = 0; c < W / 2; ++c) {
          if (size_t(r) * (W / 2) + size_t(c) < cache.chunks[k].tetCount) continue;
          for (int v = 0; v < 4; ++v)
            ASSERT_LT(out.positions[ReferenceExtractor::halfOf(c, W)][ref.outputTexel(r, c, v) + 3], 0.0f);
        }
    }
  // The surface that the reference extractor reads from the textures is marching tetrahedra on
  // the mesh, triangle for triangle.
  for (float iso : {0.05f, 0.3f, 0.5f, 0.77f, 0.95f}) {
    ReferenceSurface s;
    ASSERT_TRUE(referenceSurface(cache, iso, s));
    const MarchingResult direct = marchingTets(p, iso);
    EXPECT_EQ(s.triangleCount(), direct.triangles) << iso;
    EXPECT_NEAR(s.area, direct.area, 1e-5 * direct.area) << iso;
  }
}

TEST(ChunkLayout, OrderingsKeepTheirPromises) {
  // Value ordering: few active chunks, few wasted rows; a spatial (Morton) ordering activates
  // many more chunks on the same mesh.
  const PreparedMesh p = prepared("blobs", 30);
  const std::vector<float> isos = {0.3f, 0.5f, 0.7f};
  Layout byValue, spatial;
  buildLayout(p, LayoutOptions(), byValue);
  LayoutOptions morton;
  morton.ordering = Ordering::Morton;
  buildLayout(p, morton, spatial);
  const std::vector<IsoCost> v = evaluateLayout(p, byValue, isos), s = evaluateLayout(p, spatial, isos);
  for (size_t i = 0; i < isos.size(); ++i) {
    EXPECT_LT(v[i].activeChunks, s[i].activeChunks);
    EXPECT_LE(v[i].ratio(), 2.0) << isos[i];
    EXPECT_GE(v[i].ratio(), 1.0);
    EXPECT_EQ(v[i].crossing, s[i].crossing);
  }
}

TEST(Boundary, ShellHasOuterAndInnerListsFacingOutOfTheMesh) {
  const PreparedMesh p = prepared("shell", 8);
  BoundaryLists b;
  extractBoundary(p.positions, p.tets, b);
  EXPECT_EQ(b.components[0], 1u);
  EXPECT_EQ(b.components[1], 1u);
  for (int list = 0; list < 2; ++list) {
    ASSERT_FALSE(b.triangles[list].empty());
    for (size_t i = 0; i < b.triangles[list].size(); i += 3) {
      const float* a = &p.positions[3 * size_t(b.triangles[list][i])];
      const float* q = &p.positions[3 * size_t(b.triangles[list][i + 1])];
      const float* r = &p.positions[3 * size_t(b.triangles[list][i + 2])];
      const double u[3] = {q[0] - a[0], q[1] - a[1], q[2] - a[2]}, w[3] = {r[0] - a[0], r[1] - a[1], r[2] - a[2]};
      const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
      const double outward = n[0] * (a[0] + q[0] + r[0]) + n[1] * (a[1] + q[1] + r[1]) + n[2] * (a[2] + q[2] + r[2]);
      // Out of the mesh: away from the centre on the outer sphere, towards it on the hole.
      EXPECT_EQ(outward > 0, list == 0);
    }
  }
  // The closed outer boundary of the cube dataset: every edge is shared by two triangles.
  const PreparedMesh cube = prepared("blobs", 4);
  extractBoundary(cube.positions, cube.tets, b);
  EXPECT_EQ(b.triangles[0].size() / 3, 6u * 4 * 4 * 2);
  EXPECT_TRUE(b.triangles[1].empty());
}

TEST(Synthetic, ShellSurfacesAreSpheres) {
  const PreparedMesh p = prepared("shell", 16);
  Layout layout;
  buildLayout(p, LayoutOptions(), layout);
  const CacheData cache = cacheOf(p, layout);
  for (float iso : {0.2f, 0.5f, 0.8f}) {
    ReferenceSurface s;
    ASSERT_TRUE(referenceSurface(cache, iso, s));
    const double r = kShellInner + iso * (kShellOuter - kShellInner);
    EXPECT_NEAR(s.area, 4 * M_PI * r * r, 0.01 * 4 * M_PI * r * r) << iso;
    // Every crossing point lies on the sphere (up to the chords of the linear cells).
    for (size_t i = 0; i < s.positions.size(); i += 3) {
      const double d = std::sqrt(s.positions[i] * s.positions[i] + s.positions[i + 1] * s.positions[i + 1] +
                                 s.positions[i + 2] * s.positions[i + 2]);
      ASSERT_NEAR(d, r, 0.02) << iso;
    }
  }
}

TEST(Synthetic, NamesResolutionsAndMeshes) {
  std::string name;
  int n = 0;
  ASSERT_TRUE(parseSynthetic("blobs", name, n));
  EXPECT_EQ(n * n * n * 6 / 100000, 9); // about a million tetrahedra by default
  ASSERT_TRUE(parseSynthetic("marschner-lobb:7", name, n));
  EXPECT_EQ(n, 7);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(parseSynthetic("cube", name, n));
  EXPECT_FALSE(parseSynthetic("blobs:1", name, n));
  EXPECT_FALSE(parseSynthetic("blobs:x", name, n));
  ::testing::internal::GetCapturedStderr();
  // Jittered: no two vertices share an x coordinate row the way a plain grid does.
  TetMesh m;
  ASSERT_TRUE(makeSynthetic("marschner-lobb", 6, m));
  EXPECT_EQ(m.tetCount(), 6u * 6 * 6 * 6);
  const double h = 2.0 / 6;
  size_t offGrid = 0;
  for (size_t v = 0; v < m.vertexCount(); ++v) {
    const double x = (m.points[3 * v] + 1) / h;
    offGrid += std::fabs(x - std::round(x)) > 1e-9;
  }
  EXPECT_GT(offGrid, m.vertexCount() / 2);
}

TEST(TextureVolume, VeinsNotNoise) {
  const int n = 128;
  const std::vector<uint8_t> v = makeMarbleVolume(n);
  ASSERT_EQ(v.size(), size_t(n) * n * n);
  double mean = 0, step = 0;
  for (uint8_t b : v) mean += b;
  mean /= double(v.size());
  double var = 0;
  for (uint8_t b : v) var += (b - mean) * (b - mean);
  var /= double(v.size());
  for (size_t i = 1; i < v.size(); ++i) step += std::abs(int(v[i]) - int(v[i - 1]));
  step /= double(v.size());
  EXPECT_GT(std::sqrt(var), 25.0); // light and dark
  EXPECT_LT(step, 0.5 * std::sqrt(var)); // neighbours alike: structure, not white noise
}
