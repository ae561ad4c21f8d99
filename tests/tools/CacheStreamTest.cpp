// The cache as the builder streams it: the same bytes as the whole cache built in memory, chunk
// buffers reused without leftovers, progress to the end, a stop on request; and the pieces the
// faster build rests on: the face order, the boundary from the face check, the layout whatever the
// number of threads, and the parallel loop itself.
#include "datasetbuild/Boundary.h"
#include "datasetbuild/Builder.h"
#include "datasetbuild/CacheStream.h"
#include "datasetbuild/ChunkLayout.h"
#include "datasetbuild/ChunkTextures.h"
#include "DatasetWriter.h"
#include "meshimport/Parallel.h"
#include "meshimport/Progress.h"
#include "meshimport/Synthetic.h"
#include "meshimport/TetFaces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace vxb;

namespace {

PreparedMesh prepared(const std::string& name, int n) {
  TetMesh mesh;
  EXPECT_TRUE(makeSynthetic(name, n, mesh));
  PreparedMesh p;
  EXPECT_TRUE(prepareMesh(mesh, mesh.fields[0].values, false, p));
  return p;
}

// 64 × 64 textures: many chunks from a small mesh.
LayoutOptions smallTextures() {
  LayoutOptions o;
  o.width = o.height = 64;
  return o;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

// The cache as the builder made it before it streamed: every chunk in memory, each filled into a
// fresh ChunkData, then written whole.
std::vector<unsigned char> wholeCacheBytes(const PreparedMesh& p, const Layout& layout, CacheLayout* where) {
  CacheData cache;
  cache.header = cacheHeaderOf(p, layout);
  cache.chunks.resize(layout.chunks.size());
  ChunkTextureBuilder builder(p, layout);
  for (size_t k = 0; k < layout.chunks.size(); ++k) builder.build(k, cache.chunks[k]);
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(writeCacheBytes(cache, bytes, CacheWriteOptions(), where));
  return bytes;
}

// Sets VX_BUILD_THREADS while it lives.
class ThreadCount {
public:
  explicit ThreadCount(const char* n) {
    if (const char* old = std::getenv("VX_BUILD_THREADS")) old_ = old, had_ = true;
    setenv("VX_BUILD_THREADS", n, 1);
  }
  ~ThreadCount() {
    if (had_)
      setenv("VX_BUILD_THREADS", old_.c_str(), 1);
    else
      unsetenv("VX_BUILD_THREADS");
  }

private:
  std::string old_;
  bool had_ = false;
};

} // namespace

TEST(CacheStream, WritesTheBytesOfTheWholeCacheAndReadsBackAsTheMesh) {
  const PreparedMesh p = prepared("blobs", 28); // several chunks: more than the writer's slots
  Layout layout;
  buildLayout(p, LayoutOptions(), layout);
  ASSERT_GT(layout.chunks.size(), 4u);
  CacheLayout where;
  const std::vector<unsigned char> expected = wholeCacheBytes(p, layout, &where);
  const std::string path = ::testing::TempDir() + "stream-blobs.vx.cache";
  Progress progress;
  CacheStreamResult result;
  ASSERT_TRUE(streamCache(p, layout, path, progress, result));
  EXPECT_TRUE(fileBytes(path) == expected) << "the streamed cache differs from the whole one";
  EXPECT_EQ(result.bytes, expected.size());
  size_t compressed = 0;
  for (const CacheChunkLocation& c : where.chunks)
    for (const CacheBlockLocation& b : c.blocks) compressed += b.storedSize != 0;
  EXPECT_EQ(result.blocks, kCacheBlockCount * layout.chunks.size());
  EXPECT_EQ(result.compressedBlocks, compressed);
  std::string report;
  EXPECT_TRUE(verifyCache(path, p, &report)) << report;
  std::remove(path.c_str());
}

// Chunk buffers are reused from chunk to chunk: a chunk filled over a fuller one must not keep any
// of the fuller one's texels, counts or rows.
TEST(CacheStream, ReusedChunkBuffersKeepNothingOfTheChunkBefore) {
  const PreparedMesh p = prepared("shell", 16);
  Layout layout;
  buildLayout(p, smallTextures(), layout);
  ASSERT_GE(layout.chunks.size(), 2u);
  auto byTets = [](const ChunkPlan& a, const ChunkPlan& b) { return a.tets.size() < b.tets.size(); };
  const size_t small = size_t(std::min_element(layout.chunks.begin(), layout.chunks.end(), byTets) - layout.chunks.begin());
  const size_t large = size_t(std::max_element(layout.chunks.begin(), layout.chunks.end(), byTets) - layout.chunks.begin());
  ASSERT_LT(layout.chunks[small].tets.size(), layout.chunks[large].tets.size());
  ChunkTextureBuilder builder(p, layout);
  ChunkData fresh, reused;
  builder.build(small, fresh);
  builder.build(large, reused);
  reused.reserved = 7;
  reused.stage = ChunkStage::None;
  builder.build(small, reused);
  EXPECT_EQ(reused.vertexArray, fresh.vertexArray);
  EXPECT_EQ(reused.firstWeightArray, fresh.firstWeightArray);
  EXPECT_EQ(reused.vertexIndices, fresh.vertexIndices);
  EXPECT_EQ(reused.weightArray, fresh.weightArray);
  EXPECT_EQ(reused.edgeMap, fresh.edgeMap);
  EXPECT_EQ(reused.tetMap, fresh.tetMap);
  EXPECT_EQ(reused.intervals, fresh.intervals);
  EXPECT_EQ(reused.vertexCount, fresh.vertexCount);
  EXPECT_EQ(reused.tetCount, fresh.tetCount);
  EXPECT_EQ(reused.rowCount0, fresh.rowCount0);
  EXPECT_EQ(reused.rowCount1, fresh.rowCount1);
  EXPECT_EQ(reused.reserved, 0u);
  EXPECT_EQ(reused.stage, ChunkStage::Complete);
}

// The whole build as the viewer's worker runs it: every step reported, the fractions of each step
// never going back, and the long steps reaching their end.
TEST(CacheStream, ProgressReachesTheEndOfEveryCountedStep) {
  TetMesh mesh;
  ASSERT_TRUE(makeSynthetic("blobs", 16, mesh));
  BuildOptions options;
  options.output = ::testing::TempDir() + "progress.vx";
  options.quiet = true;
  std::vector<std::pair<std::string, double>> seen;
  Progress progress;
  progress.listener = [&](const std::string& step, double fraction) {
    seen.emplace_back(step, fraction);
    return true;
  };
  BuildResult result;
  ASSERT_TRUE(buildDataset(mesh, options, result, progress));
  for (size_t i = 1; i < seen.size(); ++i)
    if (seen[i].first == seen[i - 1].first) {
      EXPECT_GE(seen[i].second, seen[i - 1].second) << seen[i].first;
    }
  for (const char* step : {"ordering rows", "filling and writing the cache chunks"}) {
    double last = -1;
    for (const auto& s : seen)
      if (s.first == step) last = s.second;
    EXPECT_EQ(last, 1.0) << step;
  }
  for (const char* suffix : {"", ".cache", ".field"}) std::remove((options.output + suffix).c_str());
}

// A listener that asks to stop while the cache is written: the build fails with its message, the
// writing thread is stopped, and no file is left under the output names or temporary ones.
TEST(CacheStream, StopsWhenAskedWhileWritingTheCache) {
  TetMesh mesh;
  ASSERT_TRUE(makeSynthetic("blobs", 20, mesh));
  const std::string dir = ::testing::TempDir() + "stop-" + std::to_string(::getpid());
  ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir '" + dir + "'").c_str()), 0);
  BuildOptions options;
  options.output = dir + "/stopped.vx";
  options.quiet = true;
  Progress progress;
  progress.listener = [&](const std::string& step, double fraction) {
    return !(step == "filling and writing the cache chunks" && fraction > 0.2);
  };
  BuildResult result;
  testing::internal::CaptureStderr();
  const bool ok = buildDataset(mesh, options, result, progress);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_NE(err.find("was cancelled"), std::string::npos) << err;
  std::FILE* listing = ::popen(("ls -A '" + dir + "'").c_str(), "r");
  ASSERT_NE(listing, nullptr);
  char line[512];
  std::string left;
  while (std::fgets(line, sizeof line, listing)) left += line;
  ::pclose(listing);
  EXPECT_EQ(left, "") << "files left behind";
  std::system(("rm -rf '" + dir + "'").c_str());
}

// The grouped face sort against one sort of the whole list, on cells with repeated corners and
// vertex numbers far apart as
// well.
TEST(TetFaces, OrderIsThatOfOneSortOfTheWholeList) {
  std::vector<uint32_t> tets;
  uint64_t state = 12345;
  auto next = [&](uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t((state >> 33) % n);
  };
  for (int t = 0; t < 5000; ++t)
    for (int c = 0; c < 4; ++c) tets.push_back(next(t % 7 == 0 ? 6 : 400)); // small ranges repeat corners
  tets.insert(tets.end(), {3000000u, 7, 3000000u, 2999999u});
  std::vector<TetFace> expected;
  for (size_t t = 0; t < tets.size() / 4; ++t)
    for (uint32_t o = 0; o < 4; ++o) {
      TetFace f;
      int k = 0;
      for (uint32_t c = 0; c < 4; ++c)
        if (c != o) f.v[k++] = tets[4 * t + c];
      std::sort(f.v, f.v + 3);
      f.tet = uint32_t(t);
      f.corner = o;
      expected.push_back(f);
    }
  // Faces that agree in vertices and tetrahedron (a repeated corner) may come in either order.
  auto byFaceAndTet = [](const TetFace& a, const TetFace& b) {
    return std::lexicographical_compare(a.v, a.v + 3, b.v, b.v + 3) ||
           (std::equal(a.v, a.v + 3, b.v) && a.tet < b.tet);
  };
  auto withCorner = [&](const TetFace& a, const TetFace& b) {
    return byFaceAndTet(a, b) || (!byFaceAndTet(b, a) && a.corner < b.corner);
  };
  std::vector<TetFace> faces = sortedTetFaces(tets);
  ASSERT_EQ(faces.size(), expected.size());
  EXPECT_TRUE(std::is_sorted(faces.begin(), faces.end(), byFaceAndTet));
  std::sort(faces.begin(), faces.end(), withCorner);
  std::sort(expected.begin(), expected.end(), withCorner);
  for (size_t i = 0; i < faces.size(); ++i) {
    ASSERT_TRUE(sameFace(faces[i], expected[i])) << i;
    ASSERT_EQ(faces[i].tet, expected[i].tet) << i;
    ASSERT_EQ(faces[i].corner, expected[i].corner) << i;
  }
}

// The boundary from the faces the preparation kept is the boundary found from scratch, outer and
// inner lists alike, also on a mesh with a hole.
TEST(TetFaces, BoundaryFromTheFaceCheckIsTheBoundaryFromScratch) {
  for (const char* name : {"shell", "marschner-lobb"}) {
    const PreparedMesh p = prepared(name, 10);
    BoundaryLists kept, scratch;
    extractBoundary(p.positions, p.tets, p.boundaryFaces, kept);
    extractBoundary(p.positions, p.tets, scratch);
    EXPECT_EQ(kept.triangles[0], scratch.triangles[0]) << name;
    EXPECT_EQ(kept.triangles[1], scratch.triangles[1]) << name;
    EXPECT_EQ(kept.components[0], scratch.components[0]) << name;
    EXPECT_EQ(kept.components[1], scratch.components[1]) << name;
    EXPECT_GT(kept.triangles[0].size(), 0u);
  }
}

// Chunks are ordered on several threads: the layout must be the one a single thread makes.
TEST(Parallel, LayoutDoesNotDependOnTheNumberOfThreads) {
  const PreparedMesh p = prepared("marschner-lobb", 18);
  Layout one, many;
  {
    ThreadCount threads("1");
    EXPECT_EQ(workerCount(), 1u);
    buildLayout(p, smallTextures(), one);
  }
  {
    ThreadCount threads("5");
    EXPECT_EQ(workerCount(), 5u);
    buildLayout(p, smallTextures(), many);
  }
  ASSERT_EQ(one.chunks.size(), many.chunks.size());
  ASSERT_GT(one.chunks.size(), 2u);
  EXPECT_EQ(one.tetEdges, many.tetEdges);
  EXPECT_EQ(one.edgeEnds, many.edgeEnds);
  for (size_t k = 0; k < one.chunks.size(); ++k) {
    EXPECT_EQ(one.chunks[k].tets, many.chunks[k].tets) << k;
    EXPECT_EQ(one.chunks[k].intervals, many.chunks[k].intervals) << k;
    EXPECT_EQ(one.chunks[k].alpha, many.chunks[k].alpha) << k;
  }
}

TEST(Parallel, RunsEveryIndexOnceReportsTheEndAndPassesOnAFailure) {
  ThreadCount threads("4");
  std::vector<std::atomic<int>> runs(1000);
  size_t lastDone = 0;
  bool backwards = false;
  parallelFor(
      runs.size(), [&](size_t i) { ++runs[i]; },
      [&](size_t done) {
        backwards |= done < lastDone;
        lastDone = done;
      });
  EXPECT_TRUE(std::all_of(runs.begin(), runs.end(), [](const std::atomic<int>& r) { return r == 1; }));
  EXPECT_EQ(lastDone, runs.size());
  EXPECT_FALSE(backwards);
  size_t calls = 0;
  parallelFor(0, [&](size_t) { ++calls; });
  EXPECT_EQ(calls, 0u);
  EXPECT_THROW(parallelFor(100, [](size_t i) {
                 if (i == 37) throw std::runtime_error("index 37");
               }),
               std::runtime_error);
}

// The face check walks the sorted faces in pieces on several threads: a cell repeated near the end
// of the face order (the highest vertex ids) or near its start must still be found, and named as
// one walk over all faces names it.
TEST(Parallel, FaceCheckFindsARepeatedCellInAnyPieceOfTheMesh) {
  ThreadCount threads("3");
  TetMesh mesh;
  ASSERT_TRUE(makeSynthetic("blobs", 20, mesh)); // 192000 faces: several pieces
  const size_t nt = mesh.tetCount();
  size_t last = 0;
  for (size_t t = 0; t < nt; ++t)
    if (*std::min_element(&mesh.tets[4 * t], &mesh.tets[4 * t] + 4) >
        *std::min_element(&mesh.tets[4 * last], &mesh.tets[4 * last] + 4))
      last = t;
  for (size_t copied : {last, size_t(0)}) {
    TetMesh broken = mesh;
    broken.tets.insert(broken.tets.end(), mesh.tets.begin() + long(4 * copied), mesh.tets.begin() + long(4 * copied + 4));
    PreparedMesh p;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prepareMesh(broken, broken.fields[0].values, false, p));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("a face is shared by 3 tetrahedra"), std::string::npos) << err;
    EXPECT_NE(err.find(std::to_string(nt) + ")"), std::string::npos) << "names the copy: " << err;
  }
}
