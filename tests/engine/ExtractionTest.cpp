// The extraction passes on a real context against the CPU reference of the same passes, slot by
// slot, on hand-made and on random chunks, for both program variants and both normal gathers.
#include "AppendedSurface.h"
#ifdef VX_WITH_BUILDER
#include "datasetbuild/Builder.h"
#endif
#include "ComputeExtraction.h"
#include "FragmentPasses.h"
#include "DatasetWriter.h"
#include "GLBufferObject.h"
#include "GLRenderToTexture.h"
#include "IsosurfaceEngine.h"
#include "MemoryPool.h"
#include "PkDiag.h"
#include "ReferenceExtractor.h"
#include "TexelArena.h"

#include "CaptureOutput.h"
#include "DatasetSamples.h"
#include "GLTestContext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <unistd.h>

namespace {

constexpr int W = 256, H = 256;

class HeadlessEngine : public IsosurfaceEngine {
public:
  std::vector<int> perf;

protected:
  void reportExtractPerf(int v) override { perf.push_back(v); }
};

ChunkData emptyChunk() { return samples::blankChunk(W, H); }

void setVertex(ChunkData& c, int texel, PkVec3f p, float value, PkVec3f gradient) {
  float* v = &c.vertexArray[4 * texel];
  v[0] = p.x; v[1] = p.y; v[2] = p.z; v[3] = value;
  float* g = &c.weightArray[4 * texel];
  g[0] = gradient.x; g[1] = gradient.y; g[2] = gradient.z; g[3] = value;
}

void setEdge(ChunkData& c, int texel, int from, int to) {
  std::uint8_t* e = &c.edgeMap[4 * texel];
  e[0] = std::uint8_t(from % W); e[1] = std::uint8_t(from / W);
  e[2] = std::uint8_t(to % W); e[3] = std::uint8_t(to / W);
}

// The example tetrahedron: values A 0.1, B 0.2, C 0.6, D 0.9 in vertex texels 0..3; its edges AB,
// AC, AD, BC, BD, CD in the right half of row 0 (global indices 128..133).
ChunkData exampleChunk(float low = 0.0f, float high = 1.0f) { // its row covers [low, high]
  ChunkData c = emptyChunk();
  const PkVec3f p[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const float values[4] = {0.1f, 0.2f, 0.6f, 0.9f};
  for (int i = 0; i < 4; ++i) setVertex(c, i, p[i], values[i], PkVec3f(float(i), 1, 2));
  const int ends[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
  for (int e = 0; e < 6; ++e) setEdge(c, 128 + e, ends[e][0], ends[e][1]);
  setEdge(c, 0, 1, 2); // classification edge BC of the tetrahedron in column 0
  const std::uint16_t map[8] = {128, 129, 130, 131, 0, 0, 132, 133};
  std::copy(map, map + 8, c.tetMap.begin());
  // The other slots of the row are empty as the builder leaves them: every edge joins a sentinel
  // vertex of value 1e30 to itself, which no isovalue crosses.
  setVertex(c, 4, PkVec3f(0, 0, 0), 1e30f, PkVec3f(0, 0, 0));
  setEdge(c, 134, 4, 4);
  for (int col = 1; col < W / 2; ++col) {
    setEdge(c, col, 4, 4);
    std::fill_n(c.tetMap.begin() + 8 * col, 8, std::uint16_t(134));
  }
  c.vertexCount = 4;
  c.tetCount = 1;
  c.rowCount0 = 1;
  c.rowCount1 = 1;
  c.intervals = {low, high};
  return c;
}

// Arbitrary but valid content: every index points at a real texel, so the passes and the reference
// must agree whatever the numbers mean.
ChunkData randomChunk(unsigned seed, int tetRows, int edgeRows) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), coord(-1.0f, 1.0f);
  ChunkData c = emptyChunk();
  const int vertices = 4096;
  for (int i = 0; i < vertices; ++i)
    setVertex(c, i, PkVec3f(coord(rng), coord(rng), coord(rng)), unit(rng), PkVec3f(coord(rng), coord(rng), coord(rng)));
  std::uniform_int_distribution<int> vertex(0, vertices - 1);
  auto edgeIndex = [&](int column, int row) { return row * W + column; };
  for (int r = 0; r < edgeRows; ++r)
    for (int col = W / 2; col < W; ++col) setEdge(c, edgeIndex(col, r), vertex(rng), vertex(rng));
  std::uniform_int_distribution<int> edgeCol(W / 2, W - 1), edgeRow(0, std::max(0, edgeRows - 1));
  for (int r = 0; r < tetRows; ++r)
    for (int col = 0; col < W / 2; ++col) {
      setEdge(c, edgeIndex(col, r), vertex(rng), vertex(rng));
      for (int k = 0; k < 8; ++k)
        c.tetMap[4 * (r * W + 2 * col) + k] = std::uint16_t(edgeIndex(edgeCol(rng), edgeRow(rng)));
    }
  c.vertexCount = vertices;
  c.tetCount = std::uint32_t(tetRows * W / 2);
  c.rowCount0 = tetRows;
  c.rowCount1 = edgeRows;
  for (int r = 0; r < tetRows; ++r) {
    const float a = unit(rng) * 0.6f, b = a + unit(rng) * 0.4f;
    c.intervals.push_back(a);
    c.intervals.push_back(b);
  }
  return c;
}

// Random tetrahedra as a builder lays them out: each slot's six edges join its four corners A..D
// (ascending value), each from its lower corner, and its classification edge is BC. Slots from
// `used` on (counted over all rows) are left as a builder leaves the slots past a chunk's last
// tetrahedron: every edge index their own classification texel in the left half, which the
// interpolation pass never fills, and that edge a sentinel vertex's, of a value nothing crosses.
ChunkData regularChunk(unsigned seed, int tetRows, int used = INT_MAX, int vertices = 4096) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), coord(-1.0f, 1.0f);
  ChunkData c = emptyChunk();
  for (int i = 0; i < vertices; ++i)
    setVertex(c, i, PkVec3f(coord(rng), coord(rng), coord(rng)), unit(rng), PkVec3f(coord(rng), coord(rng), coord(rng)));
  std::uniform_int_distribution<int> vertex(0, vertices - 1);
  int nextEdge = 0; // edges fill the right half row by row
  auto newEdge = [&](int from, int to) {
    const int index = (nextEdge / (W / 2)) * W + W / 2 + nextEdge % (W / 2);
    ++nextEdge;
    setEdge(c, index, from, to);
    return std::uint16_t(index);
  };
  for (int r = 0; r < tetRows; ++r) {
    float low = 1.0f, high = 0.0f;
    for (int col = 0; col < W / 2; ++col) {
      std::uint16_t* m = &c.tetMap[4 * (r * W + 2 * col)];
      if (r * (W / 2) + col >= used) {
        setVertex(c, vertices, PkVec3f(0, 0, 0), 1e30f, PkVec3f(0, 0, 0));
        setEdge(c, r * W + col, vertices, vertices);
        std::fill_n(m, 8, std::uint16_t(r * W + col));
        continue;
      }
      int v[4] = {vertex(rng), vertex(rng), vertex(rng), vertex(rng)};
      auto value = [&](int i) { return c.vertexArray[4 * i + 3]; };
      std::sort(v, v + 4, [&](int x, int y) { return value(x) < value(y) || (value(x) == value(y) && x < y); });
      const std::uint16_t ab = newEdge(v[0], v[1]), ac = newEdge(v[0], v[2]), ad = newEdge(v[0], v[3]);
      const std::uint16_t bc = newEdge(v[1], v[2]), bd = newEdge(v[1], v[3]), cd = newEdge(v[2], v[3]);
      const std::uint16_t map[8] = {ab, ac, ad, bc, 0, 0, bd, cd};
      std::copy(map, map + 8, m);
      setEdge(c, r * W + col, v[1], v[2]);
      low = std::min(low, value(v[0]));
      high = std::max(high, value(v[3]));
    }
    c.intervals.push_back(low);
    c.intervals.push_back(high);
  }
  c.tetCount = std::uint32_t(std::min(tetRows * W / 2, used));
  c.vertexCount = vertices + (c.tetCount < std::uint32_t(tetRows * W / 2) ? 1 : 0);
  c.rowCount0 = tetRows;
  c.rowCount1 = (nextEdge + W / 2 - 1) / (W / 2);
  return c;
}

CacheData cacheOf(std::vector<ChunkData> chunks) {
  CacheData cache;
  cache.header = samples::boxHeader(W, H, PkVec3f(0.5f, 0.5f, 0.5f), PkVec3f(0.5f, 0.5f, 0.5f));
  cache.chunks = std::move(chunks);
  return cache;
}

// Writes the dataset into dir and returns the geometry file's path.
QString writeDataset(const QTemporaryDir& dir, const CacheData& cache) {
  GeometryData geometry;
  geometry.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  geometry.triangles[0] = {0, 1, 2};
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("set.vx")).toStdString();
  EXPECT_TRUE(writeGeometryFile(path, geometry));
  EXPECT_TRUE(writeCacheFile(path + ".cache", cache));
  return QString::fromStdString(path);
}

// Relative comparison for positions and gradients, exact for the w flags (weights within 1e-5), as
// vxbench's check compares. Texels of window rows [rowFirst, rowEnd) (all rows by default).
::testing::AssertionResult sameTexels(const std::vector<float>& gpu, const std::vector<float>& ref, const char* what,
                                      int rowFirst = 0, int rowEnd = H) {
  const vxbench::TargetDifference d = vxbench::compareTargets(gpu, ref, W, rowFirst, rowEnd);
  if (d.same()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << ": " << d.differing << " values differ; first: " << d.first;
}

class Extraction : public ::testing::TestWithParam<bool> {
protected:
  GLTestContext gl;
  QTemporaryDir dir;
  HeadlessEngine engine;

  void SetUp() override {
    ASSERT_TRUE(gl.ok());
    engine.options.backend = ExtractionBackend::FragmentPasses;
    engine.options.rectTextures = GetParam();
    engine.initializeGL();
    ASSERT_TRUE(engine.extractionReady());
    ASSERT_NE(engine.fragmentBackend(), nullptr);
    ASSERT_EQ(engine.fragmentBackend()->useRectTextures != 0, GetParam());
  }
  void TearDown() override { engine.releaseGL(); }

  void extractAt(float iso) {
    engine.isovalue = iso;
    engine.requestExtraction();
    engine.extract();
  }

  // Compares every output buffer the surface is drawn from, of every chunk that the reference
  // finds active, with the reference's targets over the rows the passes ran (the span's; the
  // other rows are neither written nor drawn).
  void compareWithReference(const CacheData& cache, float iso, bool flat) {
    engine.flatShading = flat;
    extractAt(iso);
    ReferenceExtractor ref(W, H);
    ReferenceOptions options;
    options.flatShading = flat;
    for (std::size_t k = 0; k < cache.chunks.size(); ++k) {
      ReferenceChunkOutput out;
      if (!ref.extractChunk(cache.chunks[k], iso, out, options)) continue;
      const std::vector<ChunkSpan>& spans = engine.lastExtraction().spans;
      const auto span = std::find_if(spans.begin(), spans.end(), [&](const ChunkSpan& s) { return s.chunk == int(k); });
      ASSERT_NE(span, spans.end()) << "chunk " << k << " iso " << iso;
      ASSERT_EQ(span->rowMin, out.span.rowMin);
      ASSERT_EQ(span->rowEnd, out.span.rowEnd);
      const int rowFirst = H - out.span.end, rowEnd = H - out.span.first;
      for (int h = 0; h < 2; ++h) {
        EXPECT_TRUE(sameTexels(engine.readOutputBuffer(int(k), h), out.positions[h], "positions", rowFirst, rowEnd))
            << "chunk " << k << " half " << h << " iso " << iso << (flat ? " flat" : " smooth");
        EXPECT_TRUE(sameTexels(engine.readOutputBuffer(int(k), 2 + h), out.normals[h], "normals", rowFirst, rowEnd))
            << "chunk " << k << " half " << h << " iso " << iso << (flat ? " flat" : " smooth");
      }
    }
    EXPECT_EQ(takeGLError(), 0u);
  }
};

} // namespace

TEST_P(Extraction, ExampleTetrahedronGivesItsTriangleOrQuad) {
  const CacheData cache = cacheOf({exampleChunk()});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  EXPECT_EQ(engine.dataset.totalTets, 1u);
  ReferenceExtractor ref(W, H);
  struct Case {
    float iso;
    float w[4]; // expected flags or weights of the four gathered vertices
  };
  const Case cases[] = {
      {0.15f, {0.5f, 0.05f / 0.5f, 0.05f / 0.8f, 0.05f / 0.8f}},           // AB, AC, AD, AD
      {0.4f, {0.3f / 0.5f, 0.3f / 0.8f, 0.2f / 0.7f, 0.5f}},               // AC, AD, BD, BC
      {0.7f, {0.6f / 0.8f, 0.6f / 0.8f, 0.5f / 0.7f, 0.1f / 0.3f}},        // AD, AD, BD, CD
      {0.05f, {-1, -1, -1, -1}},
      {0.95f, {-2, -2, -2, -2}},
  };
  for (const Case& c : cases) {
    extractAt(c.iso);
    const std::vector<float> pos = engine.readBackOutput(0, 0);
    // Data row 0 lands in the top window row; the tetrahedron in column 0 writes texels 0..3.
    const std::size_t base = std::size_t(H - 1) * W * 4;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(pos[base + 4 * k + 3], c.w[k], 1e-6f) << "iso " << c.iso << " vertex " << k;
    compareWithReference(cache, c.iso, false);
  }
  // At 0.4 the quad's last vertex is BC at weight 0.5: halfway between (1, 0, 0) and (0, 1, 0).
  extractAt(0.4f);
  const std::vector<float> pos = engine.readBackOutput(0, 0);
  const std::size_t bc = std::size_t(H - 1) * W * 4 + 12;
  EXPECT_NEAR(pos[bc], 0.5f, 1e-6f);
  EXPECT_NEAR(pos[bc + 1], 0.5f, 1e-6f);
}

TEST_P(Extraction, RandomChunksMatchTheReferenceSlotBySlot) {
  const CacheData cache = cacheOf({randomChunk(1, 256, 200), randomChunk(2, 37, 256), randomChunk(3, 1, 0)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  const float cut = 0.35f;
  const std::uint32_t bits = 0x3F7FFFFEu; // the largest isovalue the slider gives
  float top;
  std::memcpy(&top, &bits, 4);
  const float equalToAVertex = cache.chunks[0].vertexArray[4 * 17 + 3];
  for (float iso : {1.1920929e-07f, 0.2f, cut, 0.5f, equalToAVertex, 0.8f, top})
    for (bool flat : {false, true}) compareWithReference(cache, iso, flat);
}

#ifdef VX_WITH_BUILDER
TEST_P(Extraction, BuilderMadeChunksInterpolateOnlyTheEdgeRowsTheirSpanUsesAndMatchTheReference) {
  // The builder places a chunk's edges in the order its rows first use them, so a narrow span
  // interpolates a narrow band of edge rows; the other edge rows keep their cleared values. The
  // drawn outputs still equal the reference's, which interpolates every edge, and narrow spans
  // after wide ones draw what a fresh engine draws.
  vxb::BuildOptions options;
  options.synthetic = "blobs:24";
  options.output = dir.filePath("blobs.vx").toStdString();
  options.quiet = true;
  ASSERT_EQ(vxb::runVxbuild(options), 0);
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(options.output + ".cache", W, H, cache));
  ASSERT_GE(cache.chunks.size(), 2u);
  ASSERT_TRUE(engine.loadDataset(QString::fromStdString(options.output)));
  int narrowed = 0;
  for (float iso : {0.5f, 0.9f, 0.15f, 0.7f, 0.95f, 0.3f}) {
    compareWithReference(cache, iso, false);
    for (const ChunkSpan& s : engine.lastExtraction().spans) {
      const int rowCount1 = int(cache.chunks[std::size_t(s.chunk)].rowCount1);
      const std::pair<int, int> edges = engine.fragmentBackend()->interpolatedEdgeRows(
          s.chunk, rowCount1, std::min(s.rowMin, s.rowEnd), std::max(s.rowMin, s.rowEnd));
      narrowed += edges.second - edges.first < rowCount1;
    }
  }
  EXPECT_GT(narrowed, 0); // some spans did run over fewer edge rows than the chunk holds

  HeadlessEngine fresh;
  fresh.options = engine.options;
  fresh.initializeGL();
  ASSERT_TRUE(fresh.loadDataset(QString::fromStdString(options.output)));
  fresh.isovalue = 0.95f;
  fresh.requestExtraction();
  fresh.extract();
  engine.isovalue = 0.95f;
  engine.requestExtraction();
  engine.extract();
  EXPECT_EQ(engine.renderFrame(96, 96), fresh.renderFrame(96, 96));
  fresh.releaseGL();
}
#endif

TEST_P(Extraction, ThroughputRecordsAndInactiveIsovalues) {
  const CacheData cache = cacheOf({exampleChunk(0.1f, 0.9f)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  // Above every chunk's range: no pass runs, dirty is cleared, the throughput is still reported.
  extractAt(0.95f);
  EXPECT_FALSE(engine.dirty);
  EXPECT_EQ(engine.lastExtraction().activeChunks, 0);
  ASSERT_EQ(engine.perf.size(), 1u);
  EXPECT_EQ(engine.perf[0], IsosurfaceEngine::throughputOf(1u, float(engine.lastExtraction().seconds)));
  EXPECT_GT(engine.lastExtraction().seconds, 0.0);
  // An opacity below 1 builds one record per slot of the processed rows: (W/4)·2·(rowEnd − rowMin).
  engine.surfaceOpacity = 0.99f;
  extractAt(0.4f);
  EXPECT_EQ(engine.lastExtraction().activeChunks, 1);
  ASSERT_EQ(engine.lastExtraction().spans.size(), 1u);
  EXPECT_EQ(engine.lastExtraction().spans[0].rowMin, 0);
  EXPECT_EQ(engine.lastExtraction().spans[0].rowEnd, 1);
  EXPECT_EQ(engine.renderer.primitives.size(), std::size_t(W / 4) * 2);
  EXPECT_EQ(engine.perf.size(), 2u);
  // The first record is the example tetrahedron: its quad starts with AC at weight 0.6.
  const PrimitiveRecord* r = engine.renderer.primitives[0];
  EXPECT_EQ(r->id, 0u);
  EXPECT_EQ(r->firstVertex, (H - 1) * W);
  EXPECT_NEAR(r->x, 0.0f, 1e-6f);
  EXPECT_NEAR(r->y, 0.6f, 1e-6f);
  engine.surfaceOpacity = 1.0f;
  extractAt(0.4f);
  EXPECT_TRUE(engine.renderer.primitives.empty());
}

TEST(ExtractionFigure, ThroughputFormulaAndItsGuards) {
  EXPECT_EQ(IsosurfaceEngine::throughputOf(1048576u * 10u, 0.5f), 20);
  EXPECT_EQ(IsosurfaceEngine::throughputOf(998250u, 0.0179f), 53); // 0.952 Mtets in 17.9 ms
  EXPECT_EQ(IsosurfaceEngine::throughputOf(0u, 0.01f), 0);
  EXPECT_EQ(IsosurfaceEngine::throughputOf(1048576u, 0.0f), 1000000); // a stopped timer: one microsecond
  EXPECT_EQ(IsosurfaceEngine::throughputOf(4000000000u, 1e-9f), INT_MAX);
}

TEST_P(Extraction, PartsAndSpansOfAnExtractionAreReported) {
  const CacheData cache = cacheOf({randomChunk(4, 40, 100), exampleChunk(0.6f, 0.9f)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  std::vector<ExtractionPart> parts;
  engine.onPartDone = [&](ExtractionPart p) { parts.push_back(p); };
  extractAt(0.3f); // only the random chunk holds 0.3 in some rows
  engine.onPartDone = nullptr;
  const ExtractionStats& stats = engine.lastExtraction();
  ASSERT_EQ(stats.spans.size(), 1u);
  EXPECT_EQ(stats.spans[0].chunk, 0);
  const RowSpan reference = chunkRowSpan(cache.chunks[0], H, 0.3f);
  EXPECT_EQ(stats.spans[0].rowMin, reference.rowMin);
  EXPECT_EQ(stats.spans[0].rowEnd, reference.rowEnd);
  using P = ExtractionPart;
  const std::vector<ExtractionPart> expected = {
      P::Queries, P::Queries, P::Setup, P::Interpolation, P::Interpolation, P::Assembly,
      P::Copies, P::VertexGather, P::Copies, P::VertexGather, P::Copies, P::NormalGather, P::Copies, P::NormalGather,
      P::Copies, P::Setup};
  EXPECT_EQ(parts, expected);
}

TEST_P(Extraction, TooManyRowsStopTheExtraction) {
  ChunkData bad = exampleChunk();
  bad.rowCount1 = H + 1;
  const CacheData cache = cacheOf({bad});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  const std::string err = captureStderr([&] { extractAt(0.4f); });
  EXPECT_EQ(err, pk::errorText("mehr tets ?"));
  EXPECT_TRUE(engine.dirty);
  EXPECT_TRUE(engine.perf.empty());
}

// Everything the engine made for the passes and the boundaries is gone after releaseGL, in both
// render target modes (the pass textures are the engine's in one, the pbuffers' in the other), and
// a second initializeGL makes them afresh.
TEST_P(Extraction, ReleaseGLDeletesPassTexturesAndBoundaryBuffers) {
  for (int mode : {GLRenderToTexture::kFramebufferMode, GLRenderToTexture::kPbufferMode}) {
    SCOPED_TRACE(mode);
    engine.releaseGL();
    engine.options.renderTargetMode = mode;
    captureStderr([&] { engine.initializeGL(); });
    const FragmentPassExtractor* passes = engine.fragmentBackend();
    ASSERT_NE(passes, nullptr);
    if (passes->renderTarget()->mode() != mode || !engine.extractionReady()) continue;
    ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cacheOf({exampleChunk()}))));
    extractAt(0.5f);
    std::vector<GLuint> textures, buffers;
    for (GLTexture* t : {passes->interpVerticesTex, passes->interpGradientsTex, passes->indicesTex}) {
      ASSERT_NE(t, nullptr);
      textures.push_back(t->id());
    }
    for (const auto& b : engine.dataset.boundaryBuffers) {
      ASSERT_NE(b, nullptr);
      buffers.push_back(b->id());
    }
    for (GLuint t : textures) EXPECT_TRUE(glIsTexture(t));
    for (GLuint b : buffers) EXPECT_TRUE(glIsBuffer(b));
    engine.releaseGL();
    EXPECT_EQ(engine.fragmentBackend(), nullptr);
    for (const auto& b : engine.dataset.boundaryBuffers) EXPECT_EQ(b, nullptr);
    for (GLuint t : textures) EXPECT_FALSE(glIsTexture(t)) << "texture " << t;
    for (GLuint b : buffers) EXPECT_FALSE(glIsBuffer(b)) << "buffer " << b;
  }
  engine.releaseGL();
  engine.options.renderTargetMode = GLRenderToTexture::kFramebufferMode;
  engine.initializeGL();
  EXPECT_TRUE(engine.extractionReady());
  EXPECT_TRUE(engine.loadDataset(writeDataset(dir, cacheOf({exampleChunk()}))));
}

INSTANTIATE_TEST_SUITE_P(ProgramVariants, Extraction, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Rectangle" : "TwoD"; });

TEST(ExtractionSetup, PbufferModeWithoutFloatPbuffersSaysWhyAndExtractsNothing) {
  GLTestContext gl;
  ASSERT_TRUE(gl.ok());
  HeadlessEngine engine;
  engine.options.renderTargetMode = GLRenderToTexture::kPbufferMode;
  const std::string err = captureStderr([&] { engine.initializeGL(); });
  ASSERT_NE(engine.fragmentBackend(), nullptr);
  if (engine.fragmentBackend()->renderTarget()->mode() != GLRenderToTexture::kPbufferMode) GTEST_SKIP() << "no pbuffers here";
  if (engine.extractionReady()) {
    engine.releaseGL();
    GTEST_SKIP() << "this platform has float pbuffers";
  }
  EXPECT_NE(err.find("isosurfaces cannot be extracted"), std::string::npos) << err;
  engine.dirty = true;
  engine.extract();
  EXPECT_FALSE(engine.dirty);
  EXPECT_TRUE(engine.perf.empty());
  engine.releaseGL();
}

// The compute back end against the same reference: the slots it appends to its vertex buffers,
// read as drawn, equal the reference's crossing slots vertex by vertex. In both forms of its pass:
// with 64-bit writes and subgroup atomics where the context has them, and the portable one.
class ComputeBackend : public ::testing::TestWithParam<bool> {
protected:
  GLTestContext gl;
  QTemporaryDir dir;
  HeadlessEngine engine;

  void SetUp() override {
    ASSERT_TRUE(gl.ok());
    engine.options.backend = ExtractionBackend::Compute;
    engine.options.portableCompute = GetParam();
    engine.initializeGL();
    if (engine.activeBackend() != ExtractionBackend::Compute) {
      engine.releaseGL();
      GTEST_SKIP() << "no compute shaders in this context";
    }
    ASSERT_TRUE(engine.extractionReady());
    // The form asked for is the one that runs (Mesa's llvmpipe has both extensions).
    const bool extensions = GLEW_ARB_gpu_shader_int64 && GLEW_ARB_shader_ballot;
    EXPECT_EQ(engine.computeBackend()->subgroups(), extensions && !GetParam());
  }
  void TearDown() override {
    if (engine.activeBackend() == ExtractionBackend::Compute) engine.releaseGL();
  }

  // The slots a compute engine draws at iso, as read from its batches.
  static vxbench::SlotVertices extractAt(HeadlessEngine& e, float iso, bool flat = false) {
    e.isovalue = iso;
    e.flatShading = flat;
    e.requestExtraction();
    e.extract();
    vxbench::SlotVertices drawn;
    const ComputeExtraction* compute = e.computeBackend();
    for (int b = 0; b < compute->batchCount(); ++b)
      EXPECT_TRUE(vxbench::groupBySlot(compute->readVertices(b), drawn)) << "iso " << iso;
    return drawn;
  }
  vxbench::SlotVertices extractAt(float iso, bool flat = false) { return extractAt(engine, iso, flat); }

  void compareWithReference(const CacheData& cache, float iso, bool flat) {
    const vxbench::SlotVertices drawn = extractAt(iso, flat);
    ReferenceExtractor ref(W, H);
    ReferenceOptions options;
    options.flatShading = flat;
    vxbench::SlotVertices expected;
    for (std::size_t k = 0; k < cache.chunks.size(); ++k) {
      ReferenceChunkOutput out;
      if (ref.extractChunk(cache.chunks[k], iso, out, options)) vxbench::referenceSlots(out, int(k), W, H, expected);
    }
    const vxbench::TargetDifference d = vxbench::compareSlots(drawn, expected);
    EXPECT_TRUE(d.same()) << d.differing << " slots differ at iso " << iso << (flat ? " flat" : " smooth") << "; first: "
                          << d.first;
    EXPECT_EQ(takeGLError(), 0u);
  }
};

TEST_P(ComputeBackend, ExampleTetrahedronAppendsItsTriangleOrQuad) {
  const CacheData cache = cacheOf({exampleChunk()});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  // Below the classification edge a triangle (AB, AC, AD); between its ends a quad as two triangles
  // (AC, AD, BD) and (AC, BD, BC); above it a triangle (AD, BD, CD); outside the values nothing.
  EXPECT_EQ(extractAt(0.15f).at(0).size(), 3u * 8);
  const vxbench::SlotVertices quad = extractAt(0.4f);
  ASSERT_EQ(quad.at(0).size(), 6u * 8);
  const float* bc = &quad.at(0)[5 * 8]; // halfway between B (1, 0, 0) and C (0, 1, 0), weight 0.5
  EXPECT_NEAR(bc[0], 0.5f, 1e-6f);
  EXPECT_NEAR(bc[1], 0.5f, 1e-6f);
  EXPECT_NEAR(bc[3], 0.5f, 1e-6f);
  EXPECT_EQ(extractAt(0.7f).at(0).size(), 3u * 8);
  EXPECT_TRUE(extractAt(0.05f).empty());
  EXPECT_TRUE(extractAt(0.95f).empty());
  for (float iso : {0.15f, 0.4f, 0.7f, 0.05f, 0.95f, 0.1f, 0.2f, 0.6f})
    for (bool flat : {false, true}) compareWithReference(cache, iso, flat);
}

TEST_P(ComputeBackend, RandomChunksMatchTheReferenceSlotBySlot) {
  // The third chunk has no edge rows: its tetrahedra read cleared edges and never cross.
  const CacheData cache = cacheOf({randomChunk(1, 256, 200), randomChunk(2, 37, 256), randomChunk(3, 1, 0)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  const std::uint32_t bits = 0x3F7FFFFEu;
  float top;
  std::memcpy(&top, &bits, 4);
  const float equalToAVertex = cache.chunks[0].vertexArray[4 * 17 + 3];
  for (float iso : {1.1920929e-07f, 0.2f, 0.35f, 0.5f, equalToAVertex, 0.8f, top})
    for (bool flat : {false, true}) compareWithReference(cache, iso, flat);
}

TEST_P(ComputeBackend, SlotsThatAllCrossFillTheOutputToItsLastPrimitive) {
  // Every slot of these chunks holds the example tetrahedron, which at 0.4 appends a quad: the
  // output's regions, sized from the work groups that append to them, fill to their last primitive.
  auto full = [](int rows) {
    ChunkData c = exampleChunk();
    for (int r = 0; r < rows; ++r)
      for (int col = 0; col < W / 2; ++col) {
        setEdge(c, r * W + col, 1, 2);
        std::copy_n(c.tetMap.begin(), 8, c.tetMap.begin() + 4 * (r * W + 2 * col));
      }
    c.tetCount = std::uint32_t(rows * W / 2);
    c.rowCount0 = rows;
    c.intervals.clear();
    for (int r = 0; r < rows; ++r) c.intervals.insert(c.intervals.end(), {0.1f, 0.9f});
    return c;
  };
  const CacheData cache = cacheOf({full(37), full(5), full(64)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  for (bool flat : {false, true}) compareWithReference(cache, 0.4f, flat);
  const ComputeExtraction* compute = engine.computeBackend();
  std::uint32_t primitives = 0;
  for (int b = 0; b < compute->batchCount(); ++b) primitives += compute->primitiveCount(b);
  EXPECT_EQ(primitives, (37u + 5u + 64u) * (W / 2));
}

TEST_P(ComputeBackend, BuilderLikeChunksAreKeptByTheirCornersAndMatchTheReference) {
  // Chunks whose slots all hold whole tetrahedra (or nothing, past the last) keep one texel per
  // slot, their four corners, and share a slab; a chunk with slots of any other shape keeps their
  // edges, two texels per slot, in a slab of its own. One extraction dispatches both forms.
  const CacheData cache = cacheOf({regularChunk(11, 30), regularChunk(12, 9, 9 * 128 - 77), randomChunk(13, 20, 100),
                                   regularChunk(14, 1, 3), regularChunk(15, 2, 0)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  EXPECT_EQ(engine.computeBackend()->slabCount(), 2);
  const std::uint32_t bits = 0x3F7FFFFEu;
  float top;
  std::memcpy(&top, &bits, 4);
  const float equalToAVertex = cache.chunks[0].vertexArray[4 * cache.chunks[0].edgeMap[4 * 200] + 3];
  for (float iso : {1.1920929e-07f, 0.25f, 0.5f, equalToAVertex, 0.9f, top})
    for (bool flat : {false, true}) compareWithReference(cache, iso, flat);
}

TEST_P(ComputeBackend, ChunksSpreadOverSeveralSlabsDrawTheSame) {
  // Slabs of 10,000 texels: the chunks' index plans a slab for the first two chunks and one for
  // the last two, and one extraction dispatches once per slab.
  HeadlessEngine small;
  small.options.backend = ExtractionBackend::Compute;
  small.options.portableCompute = GetParam();
  small.options.computeSlabTexels = 10000;
  small.initializeGL();
  const CacheData cache = cacheOf({regularChunk(7, 40), regularChunk(8, 3, INT_MAX, 600), regularChunk(9, 30),
                                   regularChunk(10, 1, 40, 300)});
  ASSERT_TRUE(small.loadDataset(writeDataset(dir, cache)));
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  for (float iso : {0.2f, 0.5f, 0.7f}) {
    const vxbench::SlotVertices spread = extractAt(small, iso), whole = extractAt(iso);
    EXPECT_FALSE(spread.empty());
    EXPECT_TRUE(spread == whole) << "iso " << iso;
  }
  EXPECT_EQ(small.computeBackend()->slabCount(), 2);
  EXPECT_EQ(engine.computeBackend()->slabCount(), 1);
  // Read whole, the slabs are sized from the chunk index before the first chunk arrives, and hold
  // no more than the chunks' vertices (and a sentinel vertex each) and their slots, one texel each.
  std::size_t most = 0;
  for (const ChunkData& c : cache.chunks) most += 16 * (2 * (std::size_t(c.vertexCount) + 1) + c.intervals.size() / 2 * (W / 2));
  EXPECT_LE(small.computeBackend()->chunkStorageBytes(), most);
  EXPECT_LE(engine.computeBackend()->chunkStorageBytes(), most);
  EXPECT_EQ(takeGLError(), 0u);
  small.releaseGL();
}

TEST_P(ComputeBackend, RecordsPartsAndTheRowLimit) {
  const CacheData cache = cacheOf({randomChunk(4, 40, 100), exampleChunk(0.6f, 0.9f)});
  ASSERT_TRUE(engine.loadDataset(writeDataset(dir, cache)));
  std::vector<ExtractionPart> parts;
  engine.onPartDone = [&](ExtractionPart p) { parts.push_back(p); };
  const vxbench::SlotVertices drawn = extractAt(0.3f);
  engine.onPartDone = nullptr;
  using P = ExtractionPart;
  EXPECT_EQ(parts, (std::vector<ExtractionPart>{P::Queries, P::Queries, P::Setup, P::Marching}));
  ASSERT_EQ(engine.lastExtraction().spans.size(), 1u);
  EXPECT_EQ(engine.perf.size(), 1u);

  // Transparent: one record per drawn triangle with an area, naming its batch and first index (a
  // primitive's second triangle only for a quad).
  engine.surfaceOpacity = 0.5f;
  extractAt(0.3f);
  std::size_t triangles = 0;
  for (const auto& slot : drawn) triangles += slot.second.size() / (3 * 8);
  ASSERT_EQ(engine.renderer.primitives.size(), triangles);
  // The primitives lie in ranges of the batch (its regions), each from its region's start; the
  // records name them by where they are drawn from.
  const std::vector<float> primitives = engine.computeBackend()->readPrimitives(0);
  const std::vector<ComputeExtraction::PrimitiveRange> ranges = engine.computeBackend()->usedRanges(0);
  ASSERT_GE(ranges.size(), 2u);
  std::vector<int> perPrimitive(primitives.size() / 32, 0);
  for (const PrimitiveRecord* r : engine.renderer.primitives) {
    EXPECT_EQ(r->id, ComputeExtraction::kBatchPrimitive);
    ASSERT_EQ(r->firstVertex % 3, 0);
    const std::size_t drawnAt = std::size_t(r->firstVertex) / 6;
    std::size_t p = 0; // where readPrimitives has it
    for (const ComputeExtraction::PrimitiveRange& range : ranges) {
      if (drawnAt >= range.first && drawnAt < range.first + range.count) {
        p += drawnAt - range.first;
        break;
      }
      p += range.count;
    }
    ASSERT_LT(p, perPrimitive.size()) << "a record outside the drawn ranges";
    ++perPrimitive[p];
    EXPECT_EQ(r->x, primitives[32 * p]);
  }
  for (std::size_t p = 0; p < perPrimitive.size(); ++p) {
    // A triangle repeats its third vertex (the normal's w is the first vertex's only).
    const bool triangle = std::equal(&primitives[32 * p + 16], &primitives[32 * p + 23], &primitives[32 * p + 24]);
    EXPECT_EQ(perPrimitive[p], triangle ? 1 : 2) << "primitive " << p;
  }
  engine.surfaceOpacity = 1.0f;
  extractAt(0.3f);
  EXPECT_TRUE(engine.renderer.primitives.empty());

  // A chunk over the row limit stops the extraction as the passes do.
  QTemporaryDir other;
  ChunkData bad = exampleChunk();
  bad.rowCount1 = H + 1;
  ASSERT_TRUE(engine.loadDataset(writeDataset(other, cacheOf({bad}))));
  engine.perf.clear();
  const std::string err = captureStderr([&] {
    engine.isovalue = 0.4f;
    engine.requestExtraction();
    engine.extract();
  });
  EXPECT_EQ(err, pk::errorText("mehr tets ?"));
  EXPECT_TRUE(engine.dirty);
  EXPECT_TRUE(engine.perf.empty());
}

TEST_P(ComputeBackend, HoldsFarLessGraphicsMemoryThanThePasses) {
  const CacheData cache = cacheOf({randomChunk(5, 64, 128), randomChunk(6, 64, 128)});
  const QString path = writeDataset(dir, cache);
  auto loadAndExtract = [&](IsosurfaceEngine& e) {
    EXPECT_TRUE(e.loadDataset(path));
    e.isovalue = 0.5f;
    e.requestExtraction();
    e.extract();
    EXPECT_EQ(e.lastExtraction().activeChunks, 2);
  };
  loadAndExtract(engine);
  const std::size_t compute = engine.datasetGraphicsBytes();
  HeadlessEngine passes;
  passes.options.backend = ExtractionBackend::FragmentPasses;
  passes.initializeGL();
  loadAndExtract(passes);
  const std::size_t fragment = passes.datasetGraphicsBytes();
  passes.releaseGL();
  // Per extracted chunk the passes hold four data textures and four output targets with their
  // buffers (about 11.5 MB); the compute buffers hold 64 rows of tetrahedra and their vertices, and
  // its output batch room for four vertices per slot of those rows.
  EXPECT_GT(fragment, 2 * std::size_t(11) << 20);
  EXPECT_LT(compute, fragment / 4) << compute << " compute, " << fragment << " fragment";
}

INSTANTIATE_TEST_SUITE_P(PassForms, ComputeBackend, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Portable" : "Subgroups"; });

// The chunk arena: ranges keep their texels when it grows, freed ones are filled first-fit (next
// to each other they join), and what does not fit under the limit is refused without a change.
TEST(TexelArenaTest, RangesKeepTheirTexelsWhileItGrowsAndHolesAreReused) {
  GLTestContext gl;
  ASSERT_TRUE(gl.ok());
  TexelArena arena(GL_R32UI, 4, 1000);
  auto range = [](std::uint32_t from, std::size_t count) {
    std::vector<std::uint32_t> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = from + std::uint32_t(i);
    return v;
  };
  auto joined = [](std::vector<std::uint32_t> x, const std::vector<std::uint32_t>& y) {
    x.insert(x.end(), y.begin(), y.end());
    return x;
  };
  auto contents = [&] {
    std::vector<std::uint32_t> v(arena.capacityTexels());
    GLint buffer = 0;
    glBindTexture(GL_TEXTURE_BUFFER, arena.texture());
    glGetTexLevelParameteriv(GL_TEXTURE_BUFFER, 0, GL_TEXTURE_BUFFER_DATA_STORE_BINDING, &buffer);
    glBindTexture(GL_TEXTURE_BUFFER, 0);
    glBindBuffer(GL_TEXTURE_BUFFER, GLuint(buffer));
    glGetBufferSubData(GL_TEXTURE_BUFFER, 0, GLsizeiptr(v.size() * 4), v.data());
    glBindBuffer(GL_TEXTURE_BUFFER, 0);
    return v;
  };
  const std::size_t a = arena.store(range(100, 100).data(), 100);
  const std::size_t b = arena.store(range(200, 50).data(), 50); // grows by copying a's texels
  const std::size_t c = arena.store(range(300, 300).data(), 300);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 100u);
  EXPECT_EQ(c, 150u);
  EXPECT_GE(arena.capacityTexels(), 450u);
  EXPECT_EQ(arena.usedTexels(), 450u);
  std::vector<std::uint32_t> v = contents();
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin(), v.begin() + 450), joined(range(100, 150), range(300, 300)));

  // a and b freed join into one hole of 150, which a range of 120 then takes.
  arena.free(a, 100);
  arena.free(b, 50);
  EXPECT_EQ(arena.store(range(500, 120).data(), 120), 0u);
  v = contents();
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin(), v.begin() + 120), range(500, 120));
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin() + 150, v.begin() + 450), range(300, 300));

  // Past the limit: refused, nothing moved. The last range freed shortens the arena, down to the
  // hole before it.
  const std::size_t capacity = arena.capacityTexels();
  EXPECT_EQ(arena.store(range(0, 600).data(), 600), TexelArena::kNone);
  EXPECT_EQ(arena.capacityTexels(), capacity);
  arena.free(c, 300);
  EXPECT_EQ(arena.store(range(900, 700).data(), 700), 120u);
  EXPECT_EQ(arena.usedTexels(), 820u);
  v = contents();
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin(), v.begin() + 820), joined(range(500, 120), range(900, 700)));

  // A range copied from another arena on the graphics side goes where a stored one would; one past
  // the other's ranges, or from the arena itself, is refused.
  TexelArena other(GL_R32UI, 4, 1000);
  ASSERT_EQ(other.store(range(700, 80).data(), 80), 0u);
  arena.free(0, 120);
  EXPECT_EQ(arena.storeCopy(other, 10, 70), 0u);
  EXPECT_EQ(arena.storeCopy(other, 50, 31), TexelArena::kNone);
  EXPECT_EQ(arena.storeCopy(arena, 0, 10), TexelArena::kNone);
  EXPECT_EQ(arena.usedTexels(), 770u);
  v = contents();
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin(), v.begin() + 70), range(710, 70));
  EXPECT_EQ(std::vector<std::uint32_t>(v.begin() + 120, v.begin() + 820), range(900, 700));
  other.release();
  arena.release();
  EXPECT_EQ(arena.capacityBytes(), 0u);
  EXPECT_EQ(takeGLError(), 0u);

  // A buffer the driver cannot make (four terabytes): refused, the arena as it was, the driver's
  // error left to be read. The data is not read before the buffer exists.
  TexelArena huge(GL_R32UI, 4, std::size_t(1) << 42);
  const std::uint32_t few[4] = {1, 2, 3, 4};
  ASSERT_NE(huge.store(few, 4), TexelArena::kNone);
  EXPECT_EQ(huge.store(few, std::size_t(1) << 40), TexelArena::kNone);
  EXPECT_EQ(takeGLError(), GLenum(GL_OUT_OF_MEMORY));
  EXPECT_EQ(huge.usedTexels(), 4u);
  EXPECT_EQ(huge.store(few + 1, 3), 4u);
  huge.release();
}

// llvmpipe keeps one compiled pass per combination of two properties of the bound buffer textures'
// sizes (a power of two or not; bits 8 to 15 of the size in bytes). Every buffer texture is padded
// to the same combination, so that the pass compiled at start-up is the one every extraction uses.
TEST(TexelArenaTest, BufferTexturesAreSizedToOneClassForTheDriversCompiledPasses) {
  for (std::size_t bytes : {std::size_t(1), std::size_t(16), std::size_t(256), std::size_t(512), std::size_t(4096),
                            std::size_t(65536), std::size_t(65536 + 16), std::size_t(3) << 16, std::size_t(1) << 26,
                            (std::size_t(1) << 26) - 16, std::size_t(123456789)}) {
    const std::size_t padded = TexelArena::bufferBytes(bytes);
    EXPECT_GE(padded, bytes);
    EXPECT_LE(padded, bytes + 768) << bytes;
    EXPECT_NE((padded >> 8) & 0xFFu, 0u) << bytes;
    EXPECT_NE(padded & (padded - 1), 0u) << bytes;
  }
  GLTestContext gl;
  ASSERT_TRUE(gl.ok());
  TexelArena arena(GL_RGBA32F, 16, 1 << 20);
  const std::vector<float> texels(4 * 4096, 1.0f); // 64 KiB
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(arena.store(texels.data(), 4096), TexelArena::kNone);
    GLint bytes = 0;
    glBindTexture(GL_TEXTURE_BUFFER, arena.texture());
    glGetTexLevelParameteriv(GL_TEXTURE_BUFFER, 0, GL_TEXTURE_BUFFER_SIZE, &bytes);
    glBindTexture(GL_TEXTURE_BUFFER, 0);
    EXPECT_EQ(std::size_t(bytes), arena.capacityBytes());
    EXPECT_EQ(arena.capacityBytes(), TexelArena::bufferBytes(16 * arena.capacityTexels()));
  }
  arena.release();
  EXPECT_EQ(takeGLError(), 0u);
}

TEST(DepthSort, NearestToTheEyeFirstWhereverTheCameraStands) {
  GLTestContext gl;
  ASSERT_TRUE(gl.ok());
  HeadlessEngine engine;
  auto record = [&](float z) {
    auto* r = static_cast<PrimitiveRecord*>(MemoryPool::shared().allocate(sizeof(PrimitiveRecord)));
    *r = PrimitiveRecord{0, 0, 0.0f, 0.0f, z};
    engine.renderer.primitives.push_back(r);
  };
  record(-0.5f);
  record(0.5f);
  record(0.0f);
  struct View {
    float back;     // camera moved back along its direction from the origin
    float yaw;      // model rotation about y, degrees
    float scale;
    float nearest;  // z of the record nearest to the eye
  };
  // The eye at (0, 0, back) looks down −z; turned by 180 degrees the model shows its other side.
  for (const View& v : {View{3.0f, 0.0f, 1.0f, 0.5f}, View{0.5f, 0.0f, 1.0f, 0.5f}, View{3.0f, 180.0f, 1.0f, -0.5f},
                        View{6.0f, 180.0f, 0.25f, -0.5f}}) {
    engine.camera.position = PkVec3f(0, 0, 0) - v.back * engine.camera.direction;
    engine.camera.apply(0);
    glRotatef(v.yaw, 0, 1, 0);
    glScalef(v.scale, v.scale, v.scale);
    engine.depthSortPrimitives();
    EXPECT_EQ(engine.renderer.primitives.front()->z, v.nearest) << "back " << v.back << " yaw " << v.yaw;
    EXPECT_EQ(engine.renderer.primitives[1]->z, 0.0f);
  }
}

// ---- chunks resident on demand ----------------------------------------------------------------------

namespace {

// randomChunk with its values (and so its row intervals) mapped from [0, 1] onto [low, high].
ChunkData bandChunk(unsigned seed, int tetRows, float low, float high, bool regular = true, int vertices = 4096) {
  ChunkData c = regular ? regularChunk(seed, tetRows, INT_MAX, vertices) : randomChunk(seed, tetRows, 200);
  auto map = [&](float v) { return low + v * (high - low); };
  for (int i = 0; i < vertices; ++i) {
    c.vertexArray[4 * std::size_t(i) + 3] = map(c.vertexArray[4 * std::size_t(i) + 3]);
    c.weightArray[4 * std::size_t(i) + 3] = map(c.weightArray[4 * std::size_t(i) + 3]);
  }
  for (float& v : c.intervals) v = map(v);
  return c;
}

// The triangles of the compute back end's last extraction, each as its 24 floats, sorted: the
// atomic appends give them in any order.
std::vector<std::vector<float>> sortedTriangles(const IsosurfaceEngine& e) {
  std::vector<std::vector<float>> out;
  const ComputeExtraction* compute = e.computeBackend();
  for (int b = 0; compute && b < compute->batchCount(); ++b) {
    const std::vector<float> v = compute->readVertices(b);
    for (std::size_t t = 0; t + 24 <= v.size(); t += 24) out.emplace_back(v.begin() + long(t), v.begin() + long(t + 24));
  }
  std::sort(out.begin(), out.end());
  return out;
}

class ChunksOnDemand : public ::testing::Test {
protected:
  GLTestContext gl;
  QTemporaryDir dir;
  QString path;
  HeadlessEngine eager, lazy;

  // Six chunks in three value bands: two chunks at 0.2, two at 0.5, two at 0.8, four at 0.32. All
  // hold whole tetrahedra, as the builder makes them, but the last.
  void SetUp() override {
    ASSERT_TRUE(gl.ok());
    path = writeDataset(dir, cacheOf({bandChunk(21, 30, 0.0f, 0.35f), bandChunk(22, 38, 0.0f, 0.35f),
                                      bandChunk(23, 40, 0.3f, 0.65f), bandChunk(24, 34, 0.3f, 0.65f),
                                      bandChunk(25, 36, 0.6f, 1.0f), bandChunk(26, 35, 0.6f, 1.0f, false)}));
    eager.initializeGL();
    lazy.options.chunksOnDemand = true;
    lazy.initializeGL();
  }
  void TearDown() override {
    lazy.releaseGL();
    eager.releaseGL();
  }
  void extractAt(IsosurfaceEngine& e, float iso) {
    e.isovalue = iso;
    e.requestExtraction();
    e.extract();
  }
  // Extracts both at iso: the chunks on demand draw what the chunks read whole draw, within budget.
  void expectSameAt(float iso, std::size_t budget) {
    extractAt(eager, iso);
    extractAt(lazy, iso);
    ASSERT_FALSE(lazy.dirty) << iso;
    EXPECT_EQ(sortedTriangles(lazy), sortedTriangles(eager)) << iso;
    EXPECT_LE(lazy.datasetGraphicsBytes(), budget) << iso;
  }
};

} // namespace

TEST_F(ChunksOnDemand, WorkWhileChunksAreReadRunsOnceBeforeTheyAreResidentWhateverIsMissing) {
  // The engine makes its outputs while the chunks an isovalue needs are read: that work must run
  // exactly once per request, while the reads are under way, also when nothing is missing.
  ASSERT_TRUE(lazy.loadDataset(path));
  int calls = 0;
  std::vector<char> resident = lazy.dataset.makeResident({0, 1}, true, [&] {
    ++calls;
    EXPECT_FALSE(lazy.dataset.isResident(0));
    EXPECT_FALSE(lazy.dataset.isResident(1));
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(resident, std::vector<char>({1, 1}));
  calls = 0;
  resident = lazy.dataset.makeResident({1, 0}, true, [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(resident, std::vector<char>({1, 1}));
  ASSERT_TRUE(eager.loadDataset(path));
  calls = 0;
  eager.dataset.makeResident({2}, true, [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  // Through the engine: the output batch is made before the extraction and not grown by it.
  extractAt(lazy, 0.5f);
  const std::size_t bytes = lazy.computeBackend()->graphicsBytes();
  extractAt(lazy, 0.5f);
  EXPECT_EQ(lazy.computeBackend()->graphicsBytes(), bytes);
  extractAt(eager, 0.5f);
  EXPECT_EQ(sortedTriangles(lazy), sortedTriangles(eager));
}

TEST_F(ChunksOnDemand, OpeningReadsTheIndexAndEvictedChunksComeBackTheSame) {
  if (lazy.activeBackend() != ExtractionBackend::Compute) GTEST_SKIP() << "no compute shaders here";
  ASSERT_TRUE(eager.loadDataset(path));
  ASSERT_TRUE(lazy.loadDataset(path));
  ASSERT_TRUE(lazy.dataset.onDemand());
  EXPECT_EQ(lazy.dataset.totalTets, eager.dataset.totalTets);
  EXPECT_EQ(lazy.chunksLoaded(), 6);
  for (int k = 0; k < 6; ++k) EXPECT_FALSE(lazy.dataset.isResident(k)) << k;
  EXPECT_EQ(lazy.dataset.residency().bytesRead, 0u);

  // Room for the two largest chunks and the outputs of any band: every band fits, and each move to
  // another band evicts. The outputs and the boundary surfaces count against the budget too.
  std::vector<std::size_t> sizes;
  for (int k = 0; k < 6; ++k) sizes.push_back(eager.computeBackend()->chunkBytes(k));
  for (float iso : {0.2f, 0.5f, 0.8f}) extractAt(eager, iso);
  const std::size_t outputs = eager.computeBackend()->graphicsBytes() - eager.computeBackend()->chunkStorageBytes();
  std::sort(sizes.rbegin(), sizes.rend());
  ASSERT_GT(lazy.dataset.boundaryBytes(), 0u);
  const std::size_t budget = sizes[0] + sizes[1] + outputs + lazy.dataset.boundaryBytes();
  lazy.dataset.setBudgetBytes(budget);
  for (float iso : {0.2f, 0.5f, 0.8f, 0.2f, 0.5f}) {
    expectSameAt(iso, budget);
    EXPECT_EQ(lazy.lastExtraction().activeChunks, 2) << iso;
  }
  EXPECT_EQ(lazy.dataset.residency().loads, 10);
  EXPECT_EQ(lazy.dataset.residency().evictions, 8);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, ChunksShareSlabsWhileTheWholeIndexFitsTheBudgetAndTakeTheirOwnAfter) {
  // With room for every chunk of the index, chunks read on demand share the slab their index
  // plans, as a dataset read whole does (but the irregular one), so that one dispatch reaches them
  // all. Once the budget no longer holds the whole index, every chunk is evicted and comes back in
  // a slab of its own, whose memory goes with it: a shared slab keeps its memory while any of its
  // chunks stays. A new budget that holds the index again brings the shared slab back.
  if (lazy.activeBackend() != ExtractionBackend::Compute) GTEST_SKIP() << "no compute shaders here";
  ASSERT_TRUE(eager.loadDataset(path));
  ASSERT_TRUE(lazy.loadDataset(path));
  lazy.dataset.setBudgetBytes(0);
  const ComputeExtraction* compute = lazy.computeBackend();
  for (float iso : {0.2f, 0.5f, 0.8f, 0.32f}) {
    SCOPED_TRACE(iso);
    extractAt(eager, iso);
    extractAt(lazy, iso);
    EXPECT_EQ(sortedTriangles(lazy), sortedTriangles(eager));
  }
  EXPECT_EQ(lazy.dataset.residency().loads, 6);
  EXPECT_EQ(compute->slabCount(), 2); // the irregular chunk's own beside the shared one
  EXPECT_EQ(compute->chunkStorageBytes(), eager.computeBackend()->chunkStorageBytes());

  // Room for the two largest chunks and the outputs of any band, as below.
  std::vector<std::size_t> sizes;
  std::size_t resident = 0;
  for (int k = 0; k < 6; ++k) sizes.push_back(compute->chunkBytes(k));
  std::sort(sizes.rbegin(), sizes.rend());
  const std::size_t outputs = compute->graphicsBytes() - compute->chunkStorageBytes();
  const std::size_t budget = sizes[0] + sizes[1] + outputs + lazy.dataset.boundaryBytes();
  lazy.dataset.setBudgetBytes(budget);
  for (float iso : {0.5f, 0.8f}) {
    expectSameAt(iso, budget);
    resident = 0;
    for (int k = 0; k < 6; ++k) resident += lazy.dataset.isResident(k) ? compute->chunkBytes(k) : 0;
    EXPECT_EQ(compute->chunkStorageBytes(), resident);
  }
  EXPECT_EQ(lazy.dataset.residency().evictions, 6 + 2);
  EXPECT_EQ(lazy.dataset.residency().loads, 6 + 2 + 2);
  // Under that budget the chunks keep slabs of their own; a new budget that holds the whole index
  // brings the shared slab back, at the next request.
  extractAt(lazy, 0.2f);
  EXPECT_EQ(compute->chunkStorageBytes(), compute->chunkBytes(0) + compute->chunkBytes(1));
  lazy.dataset.setBudgetBytes(0);
  extractAt(eager, 0.8f);
  extractAt(lazy, 0.8f);
  EXPECT_EQ(sortedTriangles(lazy), sortedTriangles(eager));
  EXPECT_EQ(lazy.dataset.residency().evictions, 6 + 2 + 2 + 2);
  EXPECT_EQ(lazy.dataset.residency().loads, 6 + 2 + 2 + 2 + 2);
  // Chunk 4 in the shared slab, which has room for the whole index, the irregular chunk 5 beside it.
  EXPECT_GT(compute->chunkStorageBytes(), resident + 2 * compute->chunkBytes(4));
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, ChunksWantedAgainAreGatheredIntoASlabTheyShareWithinTheBudget) {
  // Under a budget below the whole index every chunk comes in a slab of its own, one dispatch each.
  // Chunks wanted a second time in a row move into a slab they share, where the budget leaves room
  // for the copy, so that one dispatch reaches them. Chunks evicted from it leave room there; where
  // the budget would refuse a chunk with nothing left to evict, chunks in slabs of their own move
  // into that room instead. The surfaces stay those of the dataset read whole.
  if (lazy.activeBackend() != ExtractionBackend::Compute) GTEST_SKIP() << "no compute shaders here";
  // Three bands of four chunks, all of one size (every one of their 600 vertices used).
  std::vector<ChunkData> chunks;
  const float bands[3][2] = {{0.0f, 0.3f}, {0.35f, 0.65f}, {0.7f, 1.0f}};
  for (int b = 0; b < 3; ++b)
    for (int i = 0; i < 4; ++i) chunks.push_back(bandChunk(unsigned(40 + 4 * b + i), 32, bands[b][0], bands[b][1], true, 600));
  QTemporaryDir here;
  const QString set = writeDataset(here, cacheOf(chunks));
  ASSERT_TRUE(eager.loadDataset(set));
  ASSERT_TRUE(lazy.loadDataset(set));
  const std::size_t unit = eager.computeBackend()->chunkBytes(0);
  for (int k = 1; k < 12; ++k) ASSERT_EQ(eager.computeBackend()->chunkBytes(k), unit);
  const ComputeExtraction* compute = lazy.computeBackend();
  Dataset& dataset = lazy.dataset;
  dataset.setBudgetBytes(unit * 17 / 2);
  dataset.setReservedBytes(0);
  const std::vector<char> all4(4, 1), all7(7, 1);

  EXPECT_EQ(dataset.makeResident({0, 1, 2, 3}), all4);
  EXPECT_EQ(compute->slabCount(), 4);
  EXPECT_EQ(dataset.makeResident({0, 1, 2, 3}), all4); // the second time: gathered
  EXPECT_EQ(compute->slabCount(), 1);
  EXPECT_EQ(compute->chunkStorageBytes(), TexelArena::bufferBytes(4 * unit - 4 * 4096 * 16) + TexelArena::bufferBytes(4 * 4096 * 16));
  EXPECT_EQ(dataset.residency().residentBytes, 4 * unit);

  // Chunks 4 to 8 come in slabs of their own; with room for eight and a half, chunk 8 evicts 2 and
  // 3 (least recently used) but frees nothing, as 0 and 1 keep the gathered slab: 4 and 5 move into
  // the room 2 and 3 left. Nothing is refused, nothing more evicted.
  EXPECT_EQ(dataset.makeResident({0, 1, 4, 5, 6, 7, 8}), all7);
  EXPECT_EQ(dataset.residency().evictions, 2);
  EXPECT_FALSE(dataset.isResident(2));
  EXPECT_FALSE(dataset.isResident(3));
  EXPECT_EQ(compute->slabCount(), 4);
  EXPECT_LE(compute->chunkStorageBytes(), dataset.budgetBytes());
  EXPECT_EQ(dataset.residency().residentBytes, 4 * unit + 3 * compute->chunkBytes(6));
  EXPECT_GT(compute->chunkBytes(6), unit); // its own slab's padding

  // The moved chunks draw what they drew. Under a budget that also holds the outputs (and still not
  // the whole index), every band extracts as read whole.
  for (float iso : {0.15f, 0.5f, 0.85f}) extractAt(eager, iso);
  const std::size_t outputs = eager.computeBackend()->graphicsBytes() - eager.computeBackend()->chunkStorageBytes();
  const std::size_t budget = unit * 17 / 2 + outputs + dataset.boundaryBytes();
  dataset.setBudgetBytes(budget);
  for (float iso : {0.5f, 0.15f, 0.85f, 0.5f, 0.5f}) expectSameAt(iso, budget);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, AChunkBeyondWhatTheIndexForesawMovesEveryChunkToItsOwnSlabWithinTheBudget) {
  // The index plans each chunk a share of the shared slab at one texel per slot; the irregular
  // chunk takes two in a slab of its own. A budget that holds the shared slab (allocated whole
  // with the first chunk) and the outputs, but not that chunk beside it, must not be passed: the
  // shared slab's free room counts against it, and rather than leave the chunk out, every chunk
  // moves to a slab of its own and the request runs again.
  if (lazy.activeBackend() != ExtractionBackend::Compute) GTEST_SKIP() << "no compute shaders here";
  ASSERT_TRUE(eager.loadDataset(path));
  ASSERT_TRUE(lazy.loadDataset(path));
  for (float iso : {0.2f, 0.5f, 0.8f}) extractAt(eager, iso);
  const ComputeExtraction* compute = lazy.computeBackend();
  const std::size_t outputs = eager.computeBackend()->graphicsBytes() - eager.computeBackend()->chunkStorageBytes();
  lazy.dataset.setBudgetBytes(0);
  for (float iso : {0.2f, 0.5f}) extractAt(lazy, iso);
  ASSERT_EQ(compute->slabCount(), 1);
  // (and a few kilobytes for the dispatch tables, less than the irregular chunk takes)
  const std::size_t budget = compute->chunkStorageBytes() + outputs + lazy.dataset.boundaryBytes() + 4096;
  lazy.dataset.setBudgetBytes(budget);
  const std::string err = captureStderr([&] { extractAt(lazy, 0.8f); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(sortedTriangles(lazy), sortedTriangles(eager));
  EXPECT_LE(lazy.datasetGraphicsBytes(), budget);
  EXPECT_EQ(compute->chunkStorageBytes(), compute->chunkBytes(4) + compute->chunkBytes(5));
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, ABudgetBelowOneIsovaluesChunksSaysSoAndExtractsWhatFits) {
  ASSERT_TRUE(lazy.loadDataset(path));
  lazy.dataset.setBudgetBytes(1); // not even one chunk
  std::string err = captureStderr([&] { extractAt(lazy, 0.32f); });
  EXPECT_NE(err.find("holds 0 of the 4 chunks this isovalue needs"), std::string::npos) << err;
  EXPECT_FALSE(lazy.dirty);
  EXPECT_TRUE(lazy.lastExtraction().spans.empty());
  EXPECT_FALSE(lazy.renderFrame(64, 64).isNull());
  // Without a bound all four come in, and nothing is said.
  lazy.dataset.setBudgetBytes(0);
  err = captureStderr([&] { extractAt(lazy, 0.32f); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(lazy.lastExtraction().spans.size(), 4u);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, ABudgetForPartOfAnIsovalueExtractsThePartThatFits) {
  // The fragment passes hold a chunk's textures and, once extracted, its output targets. A budget
  // with room for two of the four chunks at 0.32 (and the boundary surfaces) extracts two of them,
  // says so, and draws what they give; the outputs of all four do not fit, and must not be set
  // aside before any chunk is read.
  lazy.releaseGL();
  lazy.options.backend = ExtractionBackend::FragmentPasses;
  lazy.initializeGL();
  ASSERT_TRUE(lazy.extractionReady());
  ASSERT_TRUE(lazy.loadDataset(path));
  const std::size_t chunk = std::size_t(52) * W * H, outputs = std::size_t(4) * 2 * W * H * 16;
  lazy.dataset.setBudgetBytes(lazy.dataset.boundaryBytes() + 2 * (chunk + outputs) + chunk / 2);
  const std::string err = captureStderr([&] { extractAt(lazy, 0.32f); });
  EXPECT_NE(err.find("holds 2 of the 4 chunks this isovalue needs"), std::string::npos) << err;
  EXPECT_EQ(lazy.lastExtraction().spans.size(), 2u);
  EXPECT_LE(lazy.datasetGraphicsBytes(), lazy.dataset.budgetBytes());
  EXPECT_FALSE(lazy.renderFrame(64, 64).isNull());
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, ACacheThatShrinksOrBreaksWhileOpenGivesAnErrorAndKeepsWhatIsResident) {
  ASSERT_TRUE(lazy.loadDataset(path));
  extractAt(lazy, 0.2f);
  const std::size_t drawn = lazy.lastExtraction().spans.size();
  ASSERT_EQ(drawn, 2u);
  // The file is cut in half under the open dataset: a chunk not yet resident cannot be read.
  const std::string cache = path.toStdString() + ".cache";
  ASSERT_EQ(::truncate(cache.c_str(), off_t(QFileInfo(QString::fromStdString(cache)).size() / 2)), 0);
  std::string err = captureStderr([&] { extractAt(lazy, 0.8f); });
  EXPECT_NE(err.find("the cache file changed since it was opened"), std::string::npos) << err;
  EXPECT_TRUE(lazy.lastExtraction().spans.empty());
  // Said once; what is resident is still extracted and drawn.
  err = captureStderr([&] { extractAt(lazy, 0.2f); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(lazy.lastExtraction().spans.size(), drawn);
  EXPECT_FALSE(lazy.renderFrame(64, 64).isNull());
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(ChunksOnDemand, AChunkThatCannotBeDecompressedIsSaidOnceAndLeftOut) {
  // Chunk 2's vertex array is damaged in the middle of its compressed bytes; the index still
  // reads, so the damage shows only when the chunk is wanted.
  CacheData data = cacheOf({bandChunk(31, 40, 0.0f, 0.35f), bandChunk(32, 40, 0.3f, 0.65f)});
  const std::vector<unsigned char> bytes = samples::cacheBytes(data);
  const QString broken = writeDataset(dir, data);
  std::vector<unsigned char> damaged = bytes;
  CacheReader reader(W, H);
  ASSERT_TRUE(reader.openBytes(bytes.data(), bytes.size()));
  ChunkIndex first, second;
  ASSERT_TRUE(reader.indexChunk(first));
  ASSERT_TRUE(reader.indexChunk(second));
  // The vertex array's size word follows the vertex count; garble what follows it.
  for (std::size_t i = second.offset + 8; i < second.offset + 40; ++i) damaged[i] = 0xFF;
  QFile out(broken + ".cache");
  ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
  out.write(reinterpret_cast<const char*>(damaged.data()), qint64(damaged.size()));
  out.close();
  ASSERT_TRUE(lazy.loadDataset(broken));
  std::string err = captureStderr([&] { extractAt(lazy, 0.5f); });
  EXPECT_NE(err.find("chunk 1 of"), std::string::npos) << err;
  EXPECT_TRUE(lazy.lastExtraction().spans.empty());
  err = captureStderr([&] { extractAt(lazy, 0.5f); });
  EXPECT_EQ(err, "");
  extractAt(lazy, 0.2f);
  EXPECT_EQ(lazy.lastExtraction().spans.size(), 1u);
}

// The fragment passes with chunks on demand: the chunk textures come and go with residency, and
// every drawn chunk's output buffers equal those of an engine that read everything at open.
TEST_F(ChunksOnDemand, TheFragmentPassesDrawTheSameFromEvictedAndReloadedChunks) {
  lazy.releaseGL();
  eager.releaseGL();
  for (IsosurfaceEngine* e : {&eager, &lazy}) {
    e->options.backend = ExtractionBackend::FragmentPasses;
    e->initializeGL();
    ASSERT_TRUE(e->extractionReady());
    ASSERT_TRUE(e->loadDataset(path));
  }
  ASSERT_TRUE(lazy.dataset.onDemand());
  // Two chunks' textures beside the output targets of two chunks and the boundary surfaces.
  lazy.dataset.setBudgetBytes(std::size_t(2) * 52 * W * H + std::size_t(2) * 4 * 2 * W * H * 16 +
                              lazy.dataset.boundaryBytes());
  for (float iso : {0.5f, 0.2f, 0.8f, 0.5f}) {
    SCOPED_TRACE(iso);
    extractAt(eager, iso);
    extractAt(lazy, iso);
    ASSERT_EQ(lazy.lastExtraction().spans.size(), 2u);
    for (const ChunkSpan& s : lazy.lastExtraction().spans) {
      EXPECT_TRUE(lazy.dataset.chunks[std::size_t(s.chunk)]->hasTextures());
      for (int t = 0; t < 4; ++t) EXPECT_EQ(lazy.readOutputBuffer(s.chunk, t), eager.readOutputBuffer(s.chunk, t));
    }
    int withTextures = 0;
    for (const auto& chunk : lazy.dataset.chunks) withTextures += chunk->hasTextures();
    EXPECT_EQ(withTextures, 2);
  }
  EXPECT_EQ(lazy.dataset.residency().evictions, 6);
  EXPECT_EQ(takeGLError(), 0u);
}
