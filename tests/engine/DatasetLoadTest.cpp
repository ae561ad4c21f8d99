// Opening datasets in the engine: what a failed geometry file, a missing or broken cache and a
// cache that fails part-way leave behind, with their console messages.
#include "DatasetWriter.h"
#include "GLRenderToTexture.h"
#include "ComputeExtraction.h"
#include "ChunkSelection.h"
#include "FragmentPasses.h"
#include "GLBufferObject.h"
#include "GeometryFile.h"
#include "IsosurfaceEngine.h"
#include "PkDiag.h"

#include "CaptureOutput.h"
#include "DatasetSamples.h"
#include "GLTestContext.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr int W = 256, H = 256;

ChunkData smallChunk(float low, float high) {
  ChunkData c = samples::blankChunk(W, H);
  c.tetCount = 100;
  c.rowCount0 = 1;
  c.rowCount1 = 1;
  c.intervals = {low, high};
  return c;
}

CacheData smallCache(int chunks) {
  CacheData cache;
  cache.header = samples::boxHeader(W, H, PkVec3f(1, 2, 3), PkVec3f(2, 4, 1));
  for (int k = 0; k < chunks; ++k) cache.chunks.push_back(smallChunk(0.1f * float(k), 0.1f * float(k) + 0.3f));
  return cache;
}

GeometryData triangleGeometry(int trianglesInList1) {
  GeometryData g;
  g.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  g.triangles[0] = {0, 1, 2};
  for (int i = 0; i < trianglesInList1; ++i) g.triangles[1].insert(g.triangles[1].end(), {0, 2, 3});
  return g;
}

class DatasetLoad : public ::testing::Test {
protected:
  GLTestContext gl;
  QTemporaryDir dir;
  IsosurfaceEngine engine;

  void SetUp() override {
    ASSERT_TRUE(gl.ok());
    // The fragment passes' chunk textures and output targets are what these tests look at.
    engine.options.backend = ExtractionBackend::FragmentPasses;
    engine.initializeGL();
  }
  void TearDown() override { engine.releaseGL(); }
  std::string path(const char* name) const { return QDir(dir.path()).filePath(QString::fromLatin1(name)).toStdString(); }
  bool load(const std::string& p) { return engine.loadDataset(QString::fromStdString(p)); }
  static bool writeBytes(const std::string& p, const std::vector<unsigned char>& bytes) {
    QFile f(QString::fromStdString(p));
    return f.open(QIODevice::WriteOnly) &&
           f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
  }

  // A good dataset "good.vx" with three chunks and two boundary lists.
  std::string writeGood() {
    const std::string p = path("good.vx");
    EXPECT_TRUE(writeGeometryFile(p, triangleGeometry(2)));
    EXPECT_TRUE(writeCacheFile(p + ".cache", smallCache(3)));
    return p;
  }

  // The geometry file `name` and the bytes of a cache of `chunks` chunks (not yet written, for a
  // test to damage) whose chunk `warned` claims one vertex more than its texture holds.
  std::vector<unsigned char> cacheToDamage(const char* name, int chunks, int warned, CacheLayout& layout) {
    EXPECT_TRUE(writeGeometryFile(path(name), triangleGeometry(0)));
    CacheData cache = smallCache(chunks);
    cache.chunks[std::size_t(warned)].vertexCount = W * H + 1;
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(writeCacheBytes(cache, bytes, {}, &layout));
    return bytes;
  }
};

} // namespace

TEST_F(DatasetLoad, AGoodDatasetFillsTheEngine) {
  engine.rotation[1] = 30;
  engine.dirty = false;
  std::vector<std::pair<int, int>> progress;
  engine.loadProgress = [&](int done, int total) { progress.emplace_back(done, total); };
  ASSERT_TRUE(load(writeGood()));
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{1, 3}, {2, 3}, {3, 3}}));
  EXPECT_EQ(engine.dataset.chunks.size(), 3u);
  EXPECT_TRUE(engine.hasDataset());
  EXPECT_EQ(engine.dataset.totalTets, 300u);
  EXPECT_EQ(engine.dataset.boundaryTriangles0, 1);
  EXPECT_EQ(engine.dataset.boundaryTriangles1, 2);
  EXPECT_FLOAT_EQ(engine.viewScale, 0.25f);
  EXPECT_TRUE(engine.dirty);
  EXPECT_EQ(engine.rotation[1], 0.0f);
  for (const auto& chunk : engine.dataset.chunks) {
    ASSERT_TRUE(chunk->vertexTex && chunk->weightTex && chunk->edgeMapTex && chunk->tetMapTex && chunk->rowTree);
    EXPECT_EQ(chunk->rowCount1, 1);
  }
  // The chunk tree finds chunk 1 ([0.1, 0.4]) and chunk 2 ([0.2, 0.5]) at 0.45... only chunk 2.
  engine.dataset.chunkTree->startQuery(0.45f);
  const IntervalEntry* e = engine.dataset.chunkTree->next();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, 2);
  EXPECT_EQ(engine.dataset.chunkTree->next(), nullptr);
  EXPECT_EQ(takeGLError(), 0u);
}

// Loading makes no output targets: the chunks an extraction runs over take sets of four from a
// pool that grows on demand and gets back the sets of chunks no longer extracted; reopening and
// clearing give every buffer back to the render target.
TEST_F(DatasetLoad, OutputBuffersComeFromAPoolForTheExtractedChunksOnly) {
  const std::string p = writeGood();
  ASSERT_TRUE(load(p));
  FragmentPassExtractor* passes = engine.fragmentBackend();
  ASSERT_NE(passes, nullptr);
  const GLRenderToTexture& target = *passes->renderTarget();
  EXPECT_EQ(target.bufferCount(), 0);
  const std::size_t loaded = engine.datasetGraphicsBytes();
  auto extractAt = [&](float iso) {
    engine.isovalue = iso;
    engine.requestExtraction();
    engine.extract();
  };
  extractAt(0.45f); // chunk 2 only
  EXPECT_EQ(passes->chunksWithOutputs(), 1);
  EXPECT_EQ(target.bufferCount(), 4);
  extractAt(0.25f); // all three
  EXPECT_EQ(passes->chunksWithOutputs(), 3);
  EXPECT_EQ(target.bufferCount(), 12);
  EXPECT_EQ(engine.datasetGraphicsBytes(), loaded + 12 * std::size_t(W) * H * 16 * 2);
  extractAt(0.45f); // two sets go back to the pool, none is made
  EXPECT_EQ(passes->chunksWithOutputs(), 1);
  EXPECT_EQ(passes->outputSets(), 3);
  extractAt(0.05f); // chunk 0 takes one from the pool
  EXPECT_EQ(passes->chunksWithOutputs(), 1);
  EXPECT_EQ(target.bufferCount(), 12);
  ASSERT_TRUE(load(p));
  EXPECT_EQ(target.bufferCount(), 0);
  extractAt(0.25f);
  ASSERT_TRUE(load(p));
  extractAt(0.25f);
  EXPECT_EQ(target.bufferCount(), 12);
  engine.clearChunks();
  EXPECT_EQ(target.bufferCount(), 0);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(DatasetLoad, TheComputeBackEndKeepsItsOwnBuffersAndNoTargets) {
  const std::string p = writeGood();
  IsosurfaceEngine compute;
  compute.options.backend = ExtractionBackend::Compute;
  compute.initializeGL();
  if (compute.activeBackend() != ExtractionBackend::Compute) {
    compute.releaseGL();
    GTEST_SKIP() << "no compute shaders in this context";
  }
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(compute.loadDataset(QString::fromStdString(p)));
  EXPECT_EQ(compute.dataset.chunks.size(), 3u);
  EXPECT_EQ(compute.computeBackend()->chunkCount(), 3);
  EXPECT_EQ(compute.fragmentBackend(), nullptr);
  for (const auto& chunk : compute.dataset.chunks) {
    EXPECT_TRUE(chunk->rowTree);
    EXPECT_FALSE(chunk->vertexTex || chunk->weightTex || chunk->edgeMapTex || chunk->tetMapTex);
  }
  EXPECT_TRUE(compute.dirty);
  compute.clearChunks();
  EXPECT_EQ(compute.computeBackend()->chunkCount(), 0);
  EXPECT_EQ(takeGLError(), 0u);
  compute.releaseGL();
}

TEST_F(DatasetLoad, ABadGeometryFileChangesNothing) {
  ASSERT_TRUE(load(writeGood()));
  const std::string missing = path("missing.vx");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(load(missing)); }), pk::errorText(missing + " not found"));

  const std::string notMesh = path("notmesh.vx");
  QFile f(QString::fromStdString(notMesh));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("this is not a mesh at all");
  f.close();
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(load(notMesh)); }), pk::errorText(notMesh + " is not a tet mesh we can use"));

  // An index outside the vertex list is refused before anything is uploaded.
  const std::string broken = path("broken.vx");
  GeometryData g = triangleGeometry(0);
  g.triangles[0][2] = 99;
  ASSERT_TRUE(writeGeometryFile(broken, g));
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(load(broken)); }), pk::errorText(broken + " mesh is broken ?"));

  EXPECT_EQ(engine.dataset.chunks.size(), 3u);
  EXPECT_TRUE(engine.hasDataset());
  EXPECT_EQ(engine.dataset.boundaryTriangles1, 2);
}

TEST_F(DatasetLoad, MissingOrBrokenCacheKeepsTheGeometryButNoSurface) {
  ASSERT_TRUE(load(writeGood()));
  const std::string lonely = path("lonely.vx");
  ASSERT_TRUE(writeGeometryFile(lonely, triangleGeometry(0)));
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(load(lonely)); }), pk::errorText("data " + lonely + ".cache not found"));
  EXPECT_FALSE(engine.hasDataset());
  EXPECT_TRUE(engine.dataset.chunks.empty());
  EXPECT_EQ(engine.dataset.boundaryTriangles0, 1);
  EXPECT_EQ(engine.dataset.boundaryTriangles1, 0);

  const std::string wrong = path("wrong.vx");
  ASSERT_TRUE(writeGeometryFile(wrong, triangleGeometry(0)));
  CacheWriteOptions v5;
  v5.magic = 0xCACE0006u;
  ASSERT_TRUE(writeCacheFile(wrong + ".cache", smallCache(1), v5));
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(load(wrong)); }),
            pk::warningText("wrong cache format 5 - need 6") + pk::errorText("data " + wrong + ".cache not readable"));
  EXPECT_FALSE(engine.hasDataset());
  // Painting a dataset without a surface draws the boundaries and the box only.
  EXPECT_FALSE(engine.renderFrame(64, 64).isNull());
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(DatasetLoad, ACacheThatFailsPartWayKeepsTheCompleteChunks) {
  const std::string p = path("part.vx");
  ASSERT_TRUE(writeGeometryFile(p, triangleGeometry(0)));
  std::vector<unsigned char> bytes;
  CacheLayout layout;
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  ASSERT_TRUE(writeCacheBytes(smallCache(3), bytes, raw, &layout));
  // Cut the file in the middle of the third chunk's edge map.
  const std::size_t cut = layout.chunks[2].blocks[int(CacheBlock::EdgeMap)].offset + 100;
  bytes.resize(cut);
  ASSERT_TRUE(writeBytes(p + ".cache", bytes));

  const std::string err = captureStderr([&] { EXPECT_FALSE(load(p)); });
  EXPECT_EQ(err, pk::warningText("wrong cache format - need 6") + pk::errorText("data " + p + ".cache not readable"));
  ASSERT_EQ(engine.dataset.chunks.size(), 3u);
  EXPECT_TRUE(engine.dataset.chunks[2]->weightTex != nullptr);
  EXPECT_TRUE(engine.dataset.chunks[2]->edgeMapTex == nullptr);
  EXPECT_TRUE(engine.dataset.chunks[2]->rowTree == nullptr);
  EXPECT_EQ(engine.chunksLoaded(), 2);
  EXPECT_EQ(engine.chunksInFile(), 3);
  // Chunks 0 and 1 are complete: the next paint extracts them before drawing anything, without
  // anyone asking for it, and draws only what it extracted.
  EXPECT_TRUE(engine.dirty);
  engine.isovalue = 0.2f;
  EXPECT_FALSE(engine.renderFrame(64, 64).isNull());
  EXPECT_FALSE(engine.dirty);
  EXPECT_EQ(engine.lastExtraction().activeChunks, 2);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(DatasetLoad, AFailedOpenLeavesNoCountOfThePreviousDataset) {
  ASSERT_TRUE(load(writeGood()));
  EXPECT_EQ(engine.dataset.totalTets, 300u);
  const std::string lonely = path("lonely.vx");
  ASSERT_TRUE(writeGeometryFile(lonely, triangleGeometry(0)));
  captureStderr([&] { EXPECT_FALSE(load(lonely)); });
  EXPECT_EQ(engine.dataset.totalTets, 0u);
  EXPECT_EQ(engine.chunksLoaded(), 0);
}

TEST_F(DatasetLoad, OpeningBeforeOpenGLIsReadyIsRefused) {
  IsosurfaceEngine fresh;
  const std::string p = writeGood();
  const std::string err = captureStderr([&] { EXPECT_FALSE(fresh.loadDataset(QString::fromStdString(p))); });
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(fresh.hasDataset());
}

namespace {

// The contents of an array buffer as floats.
std::vector<float> bufferFloats(GLBufferObject& buffer) {
  GLint bytes = 0;
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, buffer.id());
  glGetBufferParameterivARB(GL_ARRAY_BUFFER_ARB, GL_BUFFER_SIZE_ARB, &bytes);
  std::vector<float> out(std::size_t(bytes) / sizeof(float));
  if (bytes > 0) glGetBufferSubDataARB(GL_ARRAY_BUFFER_ARB, 0, bytes, out.data());
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
  return out;
}

std::vector<float> floatsOf(const std::vector<PkVec3f>& v) {
  std::vector<float> out;
  for (const PkVec3f& p : v) out.insert(out.end(), {p.x, p.y, p.z});
  return out;
}

} // namespace

// The boundary buffers hold the soups of the whole geometry file, although only the vertices the
// triangles use are read, and a second open replaces them; vertices no triangle uses (most of this
// mesh's) change nothing.
TEST_F(DatasetLoad, TheBoundaryBuffersHoldTheWholeFilesSoups) {
  GeometryData g;
  for (int i = 0; i < 2000; ++i) g.vertices.push_back(PkVec3f(float(i % 13), float(i % 7) * 0.5f, float(i) * 0.01f));
  for (int t = 0; t < 40; ++t) g.triangles[0].insert(g.triangles[0].end(), {t * 47, (t * 47 + 1000) % 2000, 1999 - t * 3});
  for (int t = 0; t < 5; ++t) g.triangles[1].insert(g.triangles[1].end(), {1500 + t, 7 * t, 1998 - t});
  const std::string p = path("mesh.vx");
  ASSERT_TRUE(writeGeometryFile(p, g));
  ASSERT_TRUE(writeCacheFile(p + ".cache", smallCache(2)));
  ASSERT_TRUE(load(writeGood()));
  ASSERT_TRUE(load(p));
  EXPECT_EQ(engine.dataset.boundaryTriangles0, 40);
  EXPECT_EQ(engine.dataset.boundaryTriangles1, 5);
  std::vector<PkVec3f> positions, normals;
  for (int list = 0; list < 2; ++list) {
    buildFlatTriangles(g, list, positions, normals);
    EXPECT_EQ(bufferFloats(*engine.dataset.boundaryBuffers[2 * list]), floatsOf(positions)) << list;
    EXPECT_EQ(bufferFloats(*engine.dataset.boundaryBuffers[2 * list + 1]), floatsOf(normals)) << list;
  }
  // A geometry file that is refused leaves them as they were.
  GeometryData broken = g;
  broken.triangles[0][7] = 2000;
  const std::string b = path("broken.vx");
  ASSERT_TRUE(writeGeometryFile(b, broken));
  captureStderr([&] { EXPECT_FALSE(load(b)); });
  buildFlatTriangles(g, 0, positions, normals);
  EXPECT_EQ(bufferFloats(*engine.dataset.boundaryBuffers[0]), floatsOf(positions));
  EXPECT_EQ(engine.dataset.boundaryTriangles0, 40);
  EXPECT_EQ(takeGLError(), 0u);
}

// Chunks are read ahead of their uploads, yet the reader's messages, the progress and the chunks'
// stages come in the order of a chunk-by-chunk read: a warning about chunk 1 after the progress of
// chunk 0, and a chunk that fails part-way keeps the textures of the stages before its failure.
TEST_F(DatasetLoad, ChunksReadAheadKeepTheOrderOfMessagesAndStages) {
  const std::string p = path("ahead.vx");
  CacheLayout layout;
  std::vector<unsigned char> bytes = cacheToDamage("ahead.vx", 5, 1, layout);
  // Chunk 3's edge map claims more bytes than its array can hold.
  const std::size_t at = layout.chunks[3].blocks[int(CacheBlock::EdgeMap)].offset;
  const std::uint32_t tooMany = 4 * W * H + 1;
  std::memcpy(bytes.data() + at, &tooMany, 4);
  ASSERT_TRUE(writeBytes(p + ".cache", bytes));

  engine.loadProgress = [](int done, int total) { pk::warning("progress " + std::to_string(done) + "/" + std::to_string(total)); };
  const std::string err = captureStderr([&] { EXPECT_FALSE(load(p)); });
  engine.loadProgress = nullptr;
  EXPECT_EQ(err, pk::warningText("progress 1/5") + pk::errorText("benutze nur 65536 von 65537 Vertices") +
                     pk::warningText("progress 2/5") + pk::warningText("progress 3/5") +
                     pk::errorText("failure decompressing edgemap") + pk::errorText("data " + p + ".cache not readable"));
  ASSERT_EQ(engine.dataset.chunks.size(), 4u);
  EXPECT_EQ(engine.chunksLoaded(), 3);
  const CacheChunk& failed = *engine.dataset.chunks[3];
  EXPECT_TRUE(failed.vertexTex && failed.weightTex);
  EXPECT_FALSE(failed.edgeMapTex || failed.tetMapTex || failed.rowTree);
  EXPECT_EQ(failed.rowCount1, 1);
  EXPECT_EQ(engine.dataset.totalTets, 300u);
  EXPECT_EQ(takeGLError(), 0u);
}

// A chunk whose block fails only when decompressed ends the read where a chunk-by-chunk read ends
// it, with the same messages, although the chunks after it were already being read: nothing is
// said about them (chunk 2's vertex count here) and they are not added.
TEST_F(DatasetLoad, AChunkThatFailsToDecompressEndsTheReadBeforeTheChunksReadAhead) {
  const std::string p = path("inflate.vx");
  CacheLayout layout;
  std::vector<unsigned char> bytes = cacheToDamage("inflate.vx", 4, 2, layout);
  // Chunk 1's weights keep their size but not their stream.
  const CacheBlockLocation& weights = layout.chunks[1].blocks[int(CacheBlock::Weights)];
  ASSERT_GT(weights.storedSize, 0u);
  std::memset(bytes.data() + weights.offset + 4, 0xFF, weights.storedSize);
  ASSERT_TRUE(writeBytes(p + ".cache", bytes));
  CacheData parsed;
  const std::string byChunk = captureStderr([&] { EXPECT_FALSE(parseCacheBytes(bytes.data(), bytes.size(), W, H, parsed)); });
  ASSERT_NE(byChunk.find("failure decompressing vertex weights array"), std::string::npos) << byChunk;

  for (ExtractionBackend backend : {ExtractionBackend::FragmentPasses, ExtractionBackend::Compute}) {
    engine.releaseGL();
    engine.options.backend = backend;
    captureStderr([&] { engine.initializeGL(); });
    if (engine.activeBackend() != backend) continue; // no compute shaders in this context
    SCOPED_TRACE(backendName(backend));
    engine.loadProgress = [](int done, int total) { pk::warning("progress " + std::to_string(done) + "/" + std::to_string(total)); };
    const std::string err = captureStderr([&] { EXPECT_FALSE(load(p)); });
    engine.loadProgress = nullptr;
    EXPECT_EQ(err, pk::warningText("progress 1/4") + byChunk + pk::errorText("data " + p + ".cache not readable"));
    ASSERT_EQ(engine.dataset.chunks.size(), 2u);
    EXPECT_EQ(engine.chunksLoaded(), 1);
    EXPECT_EQ(engine.dataset.totalTets, 100u);
    EXPECT_FALSE(engine.dataset.chunks[1]->rowTree);
    if (backend == ExtractionBackend::FragmentPasses) {
      EXPECT_TRUE(engine.dataset.chunks[1]->vertexTex);
      EXPECT_FALSE(engine.dataset.chunks[1]->weightTex);
    }
    EXPECT_EQ(takeGLError(), 0u);
  }
}

// Chunks opened on demand build their row trees when an isovalue first asks for their rows: the
// spans are those of a whole read, and only the chunks asked for have a tree.
TEST_F(DatasetLoad, RowTreesOnDemandAreBuiltWhenAskedAndGiveTheSameSpans) {
  CacheData cache;
  cache.header = samples::boxHeader(W, H, PkVec3f(1, 2, 3), PkVec3f(2, 4, 1));
  for (int k = 0; k < 6; ++k) {
    ChunkData c = smallChunk(0, 0);
    c.rowCount0 = c.rowCount1 = 40;
    c.intervals.clear();
    for (int j = 0; j < 40; ++j) {
      const float low = 0.12f * float(k) + float((j * 13) % 10) / 100.0f;
      c.intervals.insert(c.intervals.end(), {low, low + 0.02f * float(j % 5) + 0.01f});
    }
    cache.chunks.push_back(c);
  }
  const std::string p = path("rows.vx");
  ASSERT_TRUE(writeGeometryFile(p, triangleGeometry(0)));
  ASSERT_TRUE(writeCacheFile(p + ".cache", cache));
  ASSERT_TRUE(load(p));
  IsosurfaceEngine lazy;
  lazy.options.backend = ExtractionBackend::FragmentPasses;
  lazy.options.chunksOnDemand = true;
  lazy.initializeGL();
  ASSERT_TRUE(lazy.loadDataset(QString::fromStdString(p)));
  ASSERT_EQ(lazy.dataset.chunks.size(), 6u);
  for (const auto& chunk : lazy.dataset.chunks) EXPECT_EQ(chunk->rowTree, nullptr);
  const std::vector<int> first = activeChunks(lazy.dataset, 0.3f);
  ASSERT_FALSE(first.empty());
  ASSERT_LT(first.size(), 6u);
  const Selection some = selectSpans(lazy.dataset, 0.3f);
  for (std::size_t k = 0; k < 6; ++k)
    EXPECT_EQ(lazy.dataset.chunks[k]->rowTree != nullptr, std::count(first.begin(), first.end(), int(k)) == 1) << k;
  for (float iso = 0.0f; iso <= 1.0f; iso += 0.01f) {
    const Selection a = selectSpans(engine.dataset, iso), b = selectSpans(lazy.dataset, iso);
    ASSERT_EQ(a.spans.size(), b.spans.size()) << iso;
    for (std::size_t i = 0; i < a.spans.size(); ++i) {
      EXPECT_EQ(a.spans[i].chunk, b.spans[i].chunk) << iso;
      EXPECT_EQ(a.spans[i].rowMin, b.spans[i].rowMin) << iso;
      EXPECT_EQ(a.spans[i].rowEnd, b.spans[i].rowEnd) << iso;
    }
  }
  lazy.releaseGL();
  EXPECT_EQ(takeGLError(), 0u);
}

// A back end's own form of each chunk is derived on the threads that read the chunks, read whole
// or on demand, and handed to the engine's thread with its chunk: the form made from that chunk's
// arrays, in a form kept from chunk to chunk. A chunk that fails is not derived, and what follows
// it is not handed over.
TEST_F(DatasetLoad, ChunksAreDerivedWhereTheyAreReadAndHandedOverWithTheirArrays) {
  CacheData cache = smallCache(6);
  for (std::size_t k = 0; k < cache.chunks.size(); ++k) cache.chunks[k].tetCount = 100 + std::uint32_t(k);
  const std::string p = path("derived.vx");
  ASSERT_TRUE(writeGeometryFile(p, triangleGeometry(0)));
  ASSERT_TRUE(writeCacheFile(p + ".cache", cache));

  struct Derived : PreparedChunk {
    std::uint32_t tetCount = 0;
    int uses = 0;
  };
  std::mutex mutex;
  std::set<std::thread::id> derivingThreads;
  std::set<const PreparedChunk*> forms;
  std::vector<int> handed; // chunk indices, with -1 for one handed over without its own form
  Dataset::Upload form;
  form.textures = false;
  form.prepareChunk = [&](const ChunkData& d, std::unique_ptr<PreparedChunk>& into) {
    if (!into) into = std::make_unique<Derived>();
    auto& derived = static_cast<Derived&>(*into);
    derived.tetCount = d.tetCount;
    ++derived.uses;
    std::lock_guard<std::mutex> lock(mutex);
    derivingThreads.insert(std::this_thread::get_id());
  };
  form.chunkComplete = [&](int k, const ChunkData& d, const PreparedChunk* prepared) {
    const auto* derived = dynamic_cast<const Derived*>(prepared);
    handed.push_back(derived && derived->tetCount == d.tetCount && d.tetCount == 100u + std::uint32_t(k) ? k : -1);
    forms.insert(prepared);
    return true;
  };
  const std::vector<int> all = {0, 1, 2, 3, 4, 5};

  Dataset whole(W, H);
  ASSERT_TRUE(whole.readCache(p + ".cache", form, nullptr));
  EXPECT_EQ(handed, all);
  EXPECT_FALSE(derivingThreads.empty());
  EXPECT_EQ(derivingThreads.count(std::this_thread::get_id()), 0u);
  EXPECT_LT(forms.size(), all.size()); // the forms go from chunk to chunk

  handed.clear();
  Dataset onDemand(W, H);
  ASSERT_TRUE(onDemand.openCache(p + ".cache", form, 0));
  EXPECT_TRUE(handed.empty());
  const std::vector<int> wanted = {4, 1, 5};
  EXPECT_EQ(onDemand.makeResident(wanted), std::vector<char>(3, 1));
  EXPECT_EQ(handed, wanted);
  EXPECT_EQ(derivingThreads.count(std::this_thread::get_id()), 0u);

  // Chunk 2's tetrahedron map fails to decompress: chunks 0 and 1 are handed over, derived; the
  // chunks read ahead of the failure are not.
  CacheLayout layout;
  CacheData damaged = cache;
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(writeCacheBytes(damaged, bytes, {}, &layout));
  const CacheBlockLocation& tets = layout.chunks[2].blocks[int(CacheBlock::TetMap)];
  ASSERT_GT(tets.storedSize, 0u);
  std::memset(bytes.data() + tets.offset + 4, 0xFF, tets.storedSize);
  ASSERT_TRUE(writeBytes(p + ".cache", bytes));
  handed.clear();
  Dataset broken(W, H);
  captureStderr([&] { EXPECT_FALSE(broken.readCache(p + ".cache", form, nullptr)); });
  EXPECT_EQ(handed, std::vector<int>({0, 1}));
  EXPECT_EQ(broken.chunksLoaded, 2);
  EXPECT_EQ(takeGLError(), 0u);
}
