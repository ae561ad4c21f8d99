// A dataset the builder wrote once and that is kept in the repository (samples/blobs6.vx and its
// cache: `vxbuild --synthetic blobs:6`). Today's parsers must read it to the same content, so a
// change to the file formats that moves writer and reader together cannot break the files users
// already have without this test noticing.
#include "CacheFile.h"
#include "GeometryFile.h"
#include "ReferenceExtractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string samplePath(const std::string& name) {
  const char* root = std::getenv("VX_TEST_DATA");
  return std::string(root ? root : VX_TEST_DATA_DIR) + "/samples/" + name;
}

// FNV-1a over the bytes of an array as the parser returns it.
template <typename T>
std::uint64_t checksum(const std::vector<T>& v) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(v.data());
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < v.size() * sizeof(T); ++i) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
  return h;
}

} // namespace

TEST(SampleDataset, GeometryReadsToItsKnownContent) {
  GeometryData g;
  ASSERT_TRUE(parseGeometryFile(samplePath("blobs6.vx"), g));
  ASSERT_EQ(g.vertices.size(), 343u); // the 7 × 7 × 7 grid points
  EXPECT_EQ(g.triangleCount(0), 432u); // 6 faces × 6 × 6 squares × 2
  EXPECT_EQ(g.triangleCount(1), 0u);
  PkVec3f low(1e30f, 1e30f, 1e30f), high(-1e30f, -1e30f, -1e30f);
  for (const PkVec3f& v : g.vertices) {
    low = PkVec3f(std::min(low.x, v.x), std::min(low.y, v.y), std::min(low.z, v.z));
    high = PkVec3f(std::max(high.x, v.x), std::max(high.y, v.y), std::max(high.z, v.z));
  }
  EXPECT_EQ(low, PkVec3f(-1, -1, -1));
  EXPECT_EQ(high, PkVec3f(1, 1, 1));
  EXPECT_EQ(g.vertices.front(), PkVec3f(-1, -1, -1));
  EXPECT_EQ(g.vertices.back(), PkVec3f(1, 1, 1));
  EXPECT_EQ(std::vector<std::int32_t>(g.triangles[0].begin(), g.triangles[0].begin() + 3),
            (std::vector<std::int32_t>{0, 8, 1}));
  EXPECT_EQ(checksum(g.vertices), 0xcd18801c21665ffcull);
  EXPECT_EQ(checksum(g.triangles[0]), 0x05b99176ac80bc23ull);
}

TEST(SampleDataset, CacheReadsToItsKnownContent) {
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(samplePath("blobs6.vx.cache"), 256, 256, cache));
  const CacheHeader& h = cache.header;
  EXPECT_EQ(h.textureWidth, 256u);
  EXPECT_EQ(h.textureHeight, 256u);
  EXPECT_EQ(h.box.centre, PkVec3f(0, 0, 0));
  EXPECT_EQ(h.box.halfExtent, PkVec3f(1, 1, 1));
  EXPECT_EQ(h.box.axis[0], PkVec3f(1, 0, 0));
  EXPECT_EQ(h.box.axis[1], PkVec3f(0, 1, 0));
  EXPECT_EQ(h.box.axis[2], PkVec3f(0, 0, 1));
  EXPECT_FLOAT_EQ(h.dataMin, 0.000172843589f);
  EXPECT_FLOAT_EQ(h.dataMax, 1.13292301f);
  ASSERT_EQ(h.chunkCount, 1u);
  ASSERT_EQ(cache.chunks.size(), 1u);

  const ChunkData& c = cache.chunks[0];
  EXPECT_EQ(c.stage, ChunkStage::Complete);
  EXPECT_EQ(c.vertexCount, 344u); // 343 vertices and the sentinel
  EXPECT_EQ(c.tetCount, 1296u);   // 6 × 6 × 6 cubes of 6 tetrahedra
  EXPECT_EQ(c.reserved, 0u);
  EXPECT_EQ(c.rowCount0, 11);
  EXPECT_EQ(c.rowCount1, 15);
  ASSERT_EQ(c.intervalCount(), 11u);
  EXPECT_EQ(c.intervals[0], 0.0f);
  EXPECT_FLOAT_EQ(c.intervals[1], 0.0785987377f);
  EXPECT_FLOAT_EQ(c.intervals[20], 0.552596331f);
  EXPECT_EQ(c.intervals[21], 1.0f);
  EXPECT_EQ(c.vertexArray[4 * 343 + 3], 1.0e30f); // the sentinel's value, above every isovalue
  EXPECT_EQ(std::vector<std::uint16_t>(c.tetMap.begin(), c.tetMap.begin() + 4),
            (std::vector<std::uint16_t>{128, 129, 130, 131}));

  EXPECT_EQ(checksum(c.vertexArray), 0x80e7248660519d1eull);
  EXPECT_EQ(checksum(c.firstWeightArray), 0x3965bf7a845d0383ull);
  EXPECT_EQ(checksum(c.vertexIndices), 0x0feb61957bfd0383ull);
  EXPECT_EQ(checksum(c.weightArray), 0x7443657d141dc3bbull);
  EXPECT_EQ(checksum(c.edgeMap), 0xcf56f7ebdea74429ull);
  EXPECT_EQ(checksum(c.tetMap), 0x79df94542c696babull);
  EXPECT_EQ(checksum(c.intervals), 0xfc5106e0467802a6ull);

  // What the extraction makes of it, as the builder's check saw it when it wrote the files.
  ReferenceSurface s;
  ASSERT_TRUE(referenceSurface(cache, 0.5f, s));
  EXPECT_EQ(s.triangleCount(), 568u);
  EXPECT_NEAR(s.area, 6.925208, 1e-5);
}
