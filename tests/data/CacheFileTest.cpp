// The extraction cache: header checks, raw and compressed blocks, every block's failure message,
// partial reads that keep the complete chunks, and the counts a file cannot back.
#include "DatasetSamples.h"

#include "CaptureOutput.h"
#include "Compressor.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <random>
#include <utility>

namespace {

constexpr int W = 1, H = 16; // 16 texels keep the files small; up to 16 rows per chunk
const std::string kTruncated = pk::warningText("wrong cache format - need 6");

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "vxdata_" + std::to_string(getpid()) + "_" + name;
}

void putU32(std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t v) {
  std::memcpy(bytes.data() + offset, &v, 4);
}

std::string parse(const std::vector<unsigned char>& bytes, CacheData& out, bool& ok, int w = W, int h = H) {
  return captureStderr([&] { ok = parseCacheBytes(bytes.data(), bytes.size(), w, h, out); });
}

// Replaces block b of chunk k (size word and data) by a new size word and data.
std::vector<unsigned char> withBlock(const std::vector<unsigned char>& bytes, const CacheLayout& layout, int k,
                                     CacheBlock b, std::uint32_t stored, const std::vector<unsigned char>& data) {
  const CacheBlockLocation& at = layout.chunks[k].blocks[static_cast<int>(b)];
  const std::size_t oldLength = 4 + (at.storedSize ? at.storedSize : at.rawSize);
  std::vector<unsigned char> out(bytes.begin(), bytes.begin() + at.offset);
  out.resize(out.size() + 4);
  putU32(out, at.offset, stored);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), bytes.begin() + at.offset + oldLength, bytes.end());
  return out;
}

std::vector<unsigned char> compressed(std::vector<unsigned char> data) {
  Compressor codec;
  const std::size_t n = codec.compress(data.data(), data.size());
  EXPECT_GT(n, 0u);
  data.resize(n);
  return data;
}

template <typename T>
std::vector<unsigned char> bytesOf(const std::vector<T>& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  return std::vector<unsigned char>(p, p + v.size() * sizeof(T));
}

bool sameChunk(const ChunkData& a, const ChunkData& b) {
  return a.vertexCount == b.vertexCount && a.vertexArray == b.vertexArray && a.firstWeightArray == b.firstWeightArray &&
         a.vertexIndices == b.vertexIndices && a.weightArray == b.weightArray && a.reserved == b.reserved &&
         a.rowCount0 == b.rowCount0 && a.rowCount1 == b.rowCount1 && a.edgeMap == b.edgeMap &&
         a.tetCount == b.tetCount && a.tetMap == b.tetMap && a.intervals == b.intervals;
}

const ChunkStage kStageBefore[kCacheBlockCount] = {ChunkStage::VertexCount, ChunkStage::VertexArray,
                                                   ChunkStage::VertexArray, ChunkStage::VertexArray,
                                                   ChunkStage::RowCounts,   ChunkStage::TetCount,
                                                   ChunkStage::TetMap};

struct UnavailableCodec {
  UnavailableCodec() { Compressor::simulateInitFailure(true); }
  ~UnavailableCodec() { Compressor::simulateInitFailure(false); }
};

} // namespace

TEST(CacheFile, SmallestCacheIs88BytesAndLoads) {
  CacheData empty = samples::cache(256, 256, 0, 0);
  const std::vector<unsigned char> bytes = samples::cacheBytes(empty);
  ASSERT_EQ(bytes.size(), 88u);
  CacheReader reader(256, 256);
  std::string err = captureStderr([&] {
    ASSERT_TRUE(reader.openBytes(bytes.data(), bytes.size()));
    EXPECT_EQ(reader.chunksLeft(), 0u);
    EXPECT_TRUE(reader.finish());
  });
  EXPECT_EQ(err, "");
  const CacheHeader& h = reader.header();
  EXPECT_EQ(h.textureWidth, 256u);
  EXPECT_EQ(h.box.centre, PkVec3f(1, 2, 3));
  EXPECT_EQ(h.box.halfExtent, PkVec3f(0.5f, 2.0f, 1.0f));
  EXPECT_EQ(h.dataMax, 1.0f);
  EXPECT_EQ(h.chunkCount, 0u);
}

TEST(CacheFile, RawAndCompressedBlocksReadToTheSameArrays) {
  const CacheData source = samples::cache(W, H, 3, 16);
  CacheLayout packedLayout, rawLayout;
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  const std::vector<unsigned char> packed = samples::cacheBytes(source, {}, &packedLayout);
  const std::vector<unsigned char> plain = samples::cacheBytes(source, raw, &rawLayout);
  for (int k = 0; k < 3; ++k) {
    for (int b = 0; b < kCacheBlockCount; ++b) {
      EXPECT_GT(packedLayout.chunks[k].blocks[b].storedSize, 0u) << "chunk " << k << " block " << b;
      EXPECT_EQ(rawLayout.chunks[k].blocks[b].storedSize, 0u);
    }
  }
  EXPECT_LT(packed.size(), plain.size());

  for (const auto* bytes : {&packed, &plain}) {
    CacheData out;
    bool ok = false;
    EXPECT_EQ(parse(*bytes, out, ok), "");
    ASSERT_TRUE(ok);
    ASSERT_EQ(out.chunks.size(), 3u);
    for (int k = 0; k < 3; ++k) {
      EXPECT_TRUE(sameChunk(out.chunks[k], source.chunks[k])) << k;
      EXPECT_EQ(out.chunks[k].stage, ChunkStage::Complete);
    }
  }
  // The same through a file on disk.
  const std::string path = tempPath("three.vx.cache");
  ASSERT_TRUE(writeCacheFile(path, source));
  CacheData fromDisk;
  bool ok = false;
  EXPECT_EQ(captureStderr([&] { ok = parseCacheFile(path, W, H, fromDisk); }), "");
  EXPECT_TRUE(ok);
  ASSERT_EQ(fromDisk.chunks.size(), 3u);
  EXPECT_TRUE(sameChunk(fromDisk.chunks[2], source.chunks[2]));
  std::remove(path.c_str());

  // The tetrahedron map reaches its texture as exact floats, 65535 included.
  std::vector<float> floats;
  fromDisk.chunks[0].tetMapAsFloat(floats);
  ASSERT_EQ(floats.size(), 4u * W * H);
  EXPECT_EQ(floats[1], 65535.0f);
  for (std::size_t i = 0; i < floats.size(); ++i) ASSERT_EQ(floats[i], float(source.chunks[0].tetMap[i]));
}

TEST(CacheFile, HeaderRefusals) {
  CacheData d = samples::cache(512, 256, 0, 0);
  CacheData out;
  bool ok = true;
  EXPECT_EQ(parse(samples::cacheBytes(d), out, ok, 256, 256),
            pk::warningText("cache constructed for 512 texture width - need 256"));
  EXPECT_FALSE(ok);
  ok = true;
  d = samples::cache(256, 128, 0, 0);
  EXPECT_EQ(parse(samples::cacheBytes(d), out, ok, 256, 256),
            pk::warningText("cache constructed for 128 texture height - need 256"));
  EXPECT_FALSE(ok);
  ok = true;

  CacheWriteOptions version7;
  version7.magic = 0xCACE0008u;
  EXPECT_EQ(parse(samples::cacheBytes(samples::cache(W, H, 1, 2), version7), out, ok),
            pk::warningText("wrong cache format 7 - need 6"));
  EXPECT_FALSE(ok);
  EXPECT_TRUE(out.chunks.empty());
  ok = true;
  std::vector<unsigned char> bytes = samples::cacheBytes(samples::cache(W, H, 1, 2));
  putU32(bytes, bytes.size() - 4, 0xDEADBEEFu);
  EXPECT_EQ(parse(bytes, out, ok), pk::warningText("wrong cache format " + std::to_string(0xDEADBEEFu - 0xCACE0001u) + " - need 6"));
  EXPECT_FALSE(ok);
  EXPECT_EQ(out.chunks.size(), 1u); // the chunk itself was complete

  const std::string missing = tempPath("missing.vx.cache");
  ok = true;
  EXPECT_EQ(captureStderr([&] { ok = parseCacheFile(missing, W, H, out); }),
            pk::warningText("cannot read file " + missing));
  EXPECT_FALSE(ok);
  ok = true;
  EXPECT_EQ(captureStderr([&] { ok = parseCacheFile(::testing::TempDir(), W, H, out); }), kTruncated);
  EXPECT_FALSE(ok);
}

TEST(CacheFile, ChecksThatReportAndGoOn) {
  CacheData d = samples::cache(W, H, 1, 3);
  d.header.dataMin = d.header.dataMax = 0.25f;
  d.chunks[0].vertexCount = W * H + 1;
  CacheData out;
  bool ok = false;
  EXPECT_EQ(parse(samples::cacheBytes(d), out, ok),
            pk::errorText("invalid data range") + pk::errorText("benutze nur 16 von 17 Vertices"));
  EXPECT_TRUE(ok);
  EXPECT_EQ(out.chunks[0].vertexCount, 17u);
}

TEST(CacheFile, ChunkWithoutRowsLoadsAndMeetsNoValue) {
  CacheData d = samples::cache(W, H, 2, 0);
  d.chunks[1] = samples::chunk(W, H, 1, 5);
  for (CacheWriteOptions::Blocks mode : {CacheWriteOptions::Blocks::CompressWhenSmaller, CacheWriteOptions::Blocks::Raw}) {
    CacheWriteOptions options;
    options.blocks = mode;
    CacheData out;
    bool ok = false;
    EXPECT_EQ(parse(samples::cacheBytes(d, options), out, ok), "");
    ASSERT_TRUE(ok);
    EXPECT_EQ(out.chunks[0].intervalCount(), 0u);
    const ChunkData::Range none = out.chunks[0].intervalRange();
    EXPECT_EQ(none.low, FLT_MAX);
    EXPECT_EQ(none.high, -FLT_MAX);
    const ChunkData::Range some = out.chunks[1].intervalRange();
    EXPECT_EQ(some.low, 0.0f);
    EXPECT_EQ(some.high, 0.75f);
  }
}

TEST(CacheFile, ThirdChunkFailingKeepsTwoUsableChunks) {
  CacheLayout layout;
  const CacheData source = samples::cache(W, H, 3, 4);
  std::vector<unsigned char> bytes = samples::cacheBytes(source, {}, &layout);
  // Cut the vertex array's stream of chunk 2 short by its last byte.
  const CacheBlockLocation& at = layout.chunks[2].blocks[0];
  std::vector<unsigned char> stream(bytes.begin() + at.offset + 4, bytes.begin() + at.offset + 4 + at.storedSize);
  stream.pop_back();
  bytes = withBlock(bytes, layout, 2, CacheBlock::VertexArray, static_cast<std::uint32_t>(stream.size()), stream);

  // The engine's loop: a record per chunk, textures as their arrays arrive, tree entries at the end.
  CacheReader reader(W, H);
  int records = 0, textures = 0, treeEntries = 0;
  bool ok = true;
  std::string err = captureStderr([&] {
    ASSERT_TRUE(reader.openBytes(bytes.data(), bytes.size()));
    ChunkData data;
    for (std::uint32_t k = 0; k < reader.header().chunkCount && ok; ++k) {
      ++records;
      ok = reader.readChunk(data, [&](ChunkStage s, const ChunkData&) {
        if (s == ChunkStage::VertexArray || s == ChunkStage::WeightArray || s == ChunkStage::EdgeMap ||
            s == ChunkStage::TetMap)
          ++textures;
        if (s == ChunkStage::Complete) ++treeEntries;
      });
    }
    if (ok) ok = reader.finish();
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(records, 3);
  EXPECT_EQ(textures, 8);
  EXPECT_EQ(treeEntries, 2);
  EXPECT_EQ(err, pk::warningText("internal error - decompression failed: -4") +
                     pk::errorText("failure decompressing vertex array"));

  CacheData out;
  EXPECT_EQ(parse(bytes, out, ok), err);
  EXPECT_FALSE(ok);
  ASSERT_EQ(out.chunks.size(), 3u);
  EXPECT_TRUE(sameChunk(out.chunks[0], source.chunks[0]));
  EXPECT_TRUE(sameChunk(out.chunks[1], source.chunks[1]));
  EXPECT_EQ(out.chunks[2].stage, ChunkStage::VertexCount);
}

TEST(CacheFile, EveryBlockFailsWithItsOwnMessage) {
  CacheLayout layout;
  const CacheData source = samples::cache(W, H, 1, 16);
  const std::vector<unsigned char> good = samples::cacheBytes(source, {}, &layout);
  const std::vector<std::vector<unsigned char>> arrays = {
      bytesOf(source.chunks[0].vertexArray), bytesOf(source.chunks[0].firstWeightArray),
      bytesOf(source.chunks[0].vertexIndices), bytesOf(source.chunks[0].weightArray),
      bytesOf(source.chunks[0].edgeMap),      bytesOf(source.chunks[0].tetMap),
      bytesOf(source.chunks[0].intervals)};
  const std::size_t scratch[kCacheBlockCount] = {16 * W * H, 16 * W * H, 8 * W * H, 16 * W * H,
                                                 4 * W * H,  8 * W * H,  16 * W * H};

  for (int b = 0; b < kCacheBlockCount; ++b) {
    const CacheBlock block = static_cast<CacheBlock>(b);
    const std::string message = pk::errorText(std::string("failure decompressing ") + cacheBlockName(block));
    const CacheBlockLocation& at = layout.chunks[0].blocks[b];
    const std::vector<unsigned char> stream(good.begin() + at.offset + 4, good.begin() + at.offset + 4 + at.storedSize);
    auto check = [&](const std::vector<unsigned char>& bytes, const std::string& expected, const char* what) {
      CacheData out;
      bool ok = true;
      EXPECT_EQ(parse(bytes, out, ok), expected) << cacheBlockName(block) << ": " << what;
      EXPECT_FALSE(ok);
      ASSERT_EQ(out.chunks.size(), 1u);
      EXPECT_EQ(out.chunks[0].stage, kStageBefore[b]) << cacheBlockName(block) << ": " << what;
    };

    // Damaged stream: the codec's line, then the block's.
    std::vector<unsigned char> cut(stream.begin(), stream.end() - 1);
    check(withBlock(good, layout, 0, block, static_cast<std::uint32_t>(cut.size()), cut),
          pk::warningText("internal error - decompression failed: -4") + message, "cut stream");

    // A stored size beyond the scratch array: refused before anything is read.
    std::vector<unsigned char> big(scratch[b] + 1, 0);
    check(withBlock(good, layout, 0, block, static_cast<std::uint32_t>(big.size()), big), message, "oversized");

    // A valid stream of only half the array: it would leave stale bytes, so it fails too.
    const std::vector<unsigned char> halfStream = compressed(std::vector<unsigned char>(arrays[b].size() / 2, 0));
    check(withBlock(good, layout, 0, block, static_cast<std::uint32_t>(halfStream.size()), halfStream), message,
          "short output");

    // A stream that would produce more than the array holds: the codec stops at the array's end.
    std::vector<unsigned char> longer = arrays[b];
    longer.insert(longer.end(), arrays[b].begin(), arrays[b].end());
    const std::vector<unsigned char> longStream = compressed(longer);
    check(withBlock(good, layout, 0, block, static_cast<std::uint32_t>(longStream.size()), longStream),
          pk::warningText("internal error - decompression failed: -5") + message, "overrun");
  }
}

TEST(CacheFile, UnavailableCodecFailsCompressedBlocksOnly) {
  const CacheData source = samples::cache(W, H, 2, 8);
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  const std::vector<unsigned char> packed = samples::cacheBytes(source);
  const std::vector<unsigned char> plain = samples::cacheBytes(source, raw);
  UnavailableCodec off;
  CacheData out;
  bool ok = true;
  EXPECT_EQ(parse(packed, out, ok), pk::errorText("lzo_init() failed !!!") + pk::errorText("decompressor not available") +
                                        pk::errorText("failure decompressing vertex array"));
  EXPECT_FALSE(ok);
  EXPECT_EQ(parse(plain, out, ok), pk::errorText("lzo_init() failed !!!") + pk::errorText("lzo_init() failed !!!"));
  EXPECT_TRUE(ok);
  EXPECT_TRUE(sameChunk(out.chunks[1], source.chunks[1]));
}

TEST(CacheFile, CountsTheFileCannotBackAreRefused) {
  CacheLayout layout;
  const CacheData source = samples::cache(W, H, 2, 16);
  const std::vector<unsigned char> good = samples::cacheBytes(source, {}, &layout);
  CacheData out;
  bool ok = true;

  // C far beyond what the file holds: refused in the header, no chunk at all.
  for (std::uint32_t c : {3000u, 0xFFFFFFFFu}) {
    std::vector<unsigned char> bytes = good;
    putU32(bytes, layout.chunkCountOffset, c);
    EXPECT_EQ(parse(bytes, out, ok), kTruncated) << c;
    EXPECT_TRUE(out.chunks.empty());
  }
  // One chunk more than there is: the two real ones are read, the third runs into the end.
  std::vector<unsigned char> bytes = good;
  putU32(bytes, layout.chunkCountOffset, 3);
  bytes.resize(bytes.size() + 200, 0);
  // The end magic now stands where the third chunk's vertex count belongs.
  EXPECT_EQ(parse(bytes, out, ok), pk::errorText("benutze nur 16 von 3402498055 Vertices") + kTruncated);
  ASSERT_EQ(out.chunks.size(), 3u);
  EXPECT_EQ(out.chunks[1].stage, ChunkStage::Complete);

  // N within the texture height but beyond a raw block's reach: the file ends early.
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  CacheLayout rawLayout;
  const std::vector<unsigned char> plain = samples::cacheBytes(samples::cache(W, H, 2, 4), raw, &rawLayout);
  bytes = plain;
  putU32(bytes, rawLayout.chunks[1].blocks[6].offset - 4, H);
  EXPECT_EQ(parse(bytes, out, ok), kTruncated);
  EXPECT_EQ(out.chunks.back().stage, ChunkStage::TetMap);

  // N far beyond what a compressed block could expand to: that block's failure.
  bytes = good;
  ASSERT_GT(layout.chunks[1].blocks[6].storedSize, 0u);
  putU32(bytes, layout.chunks[1].blocks[6].offset - 4, 0x40000000u);
  EXPECT_EQ(parse(bytes, out, ok), pk::errorText("failure decompressing interval tree"));
  EXPECT_FALSE(ok);
}

// One row interval per texture row: a chunk that claims more is refused with the interval block's
// failure before anything is allocated for its rows, however little the claim costs in the file.
TEST(CacheFile, RowsBeyondTheTextureHeightAreRefused) {
  const std::string refused = pk::errorText("failure decompressing interval tree");
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  for (auto [w, h] : {std::pair<int, int>{W, H}, {16, 256}}) {
    for (const auto& options : {CacheWriteOptions(), raw}) {
      const bool packed = options.blocks != CacheWriteOptions::Blocks::Raw;
      const std::string what = std::to_string(w) + " x " + std::to_string(h) + (packed ? " packed" : " raw");
      CacheData source = samples::cache(w, h, 2, std::uint32_t(h));
      CacheData out;
      bool ok = false;
      EXPECT_EQ(parse(samples::cacheBytes(source, options), out, ok, w, h), "") << what;
      EXPECT_TRUE(ok) << what;

      // One row too many in the second chunk; the first stays usable.
      source.chunks[1].intervals.push_back(0.0f);
      source.chunks[1].intervals.push_back(1.0f);
      CacheLayout layout;
      std::vector<unsigned char> bytes = samples::cacheBytes(source, options, &layout);
      EXPECT_EQ(parse(bytes, out, ok, w, h), refused) << what;
      EXPECT_FALSE(ok);
      ASSERT_EQ(out.chunks.size(), 2u) << what;
      EXPECT_EQ(out.chunks[0].stage, ChunkStage::Complete);
      EXPECT_EQ(out.chunks[1].stage, ChunkStage::TetMap) << what;
      EXPECT_TRUE(out.chunks[1].intervals.empty()) << what;

      // Tens of millions of rows claimed by a few bytes: refused the same way, nothing allocated.
      for (std::uint32_t claim : {50000000u, 0xFFFFFFFFu}) {
        putU32(bytes, layout.chunks[1].blocks[6].offset - 4, claim);
        EXPECT_EQ(parse(bytes, out, ok, w, h), refused) << what << " " << claim;
        ASSERT_EQ(out.chunks.size(), 2u);
        EXPECT_EQ(out.chunks[1].intervals.capacity(), 0u) << what;
      }
    }
  }
}

TEST(CacheFile, FileEndingEarlyKeepsTheCompleteChunks) {
  CacheLayout layout;
  const std::vector<unsigned char> good = samples::cacheBytes(samples::cache(W, H, 3, 4), {}, &layout);
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {2, 0}, {40, 0}, {layout.chunkCountOffset + 2, 0}, {layout.chunks[0].offset + 2, 0},
      {layout.chunks[1].blocks[4].offset + 3, 1}, {layout.chunks[2].offset, 2}, {layout.endMagicOffset + 3, 3}};
  for (auto [cut, expected] : cuts) {
    std::vector<unsigned char> bytes(good.begin(), good.begin() + cut);
    CacheData out;
    bool ok = true;
    EXPECT_EQ(parse(bytes, out, ok), kTruncated) << cut;
    EXPECT_FALSE(ok);
    std::size_t complete = 0;
    for (const ChunkData& c : out.chunks) complete += c.stage == ChunkStage::Complete;
    EXPECT_EQ(complete, expected) << cut;
  }
}

TEST(CacheFile, BoxGivesScaleAndUniforms) {
  CacheBox box;
  box.centre = PkVec3f(1, 2, 3);
  box.axis[0] = PkVec3f(1, 0, 0);
  box.axis[1] = PkVec3f(0, 1, 0);
  box.axis[2] = PkVec3f(0, 0, 1);
  box.halfExtent = PkVec3f(0.5f, 2.0f, 1.0f);
  EXPECT_EQ(box.viewScale(), 0.5f);
  PkVec3f c[8];
  box.corners(c);
  EXPECT_EQ(c[0], PkVec3f(0.5f, 0, 2));
  EXPECT_EQ(c[2], PkVec3f(1.5f, 4, 2));
  EXPECT_EQ(c[6], PkVec3f(1.5f, 4, 4));
  EXPECT_EQ(c[7], PkVec3f(0.5f, 4, 4));
  EXPECT_EQ(box.modelOffset(), PkVec3f(0.5f, 0, 2));
  EXPECT_EQ(box.modelScale(), PkVec3f(1.0f, 0.25f, 0.5f));
  box.halfExtent.y = 0;
  EXPECT_TRUE(std::isinf(box.modelScale().y));
}

// Row intervals that compress, but not by half: a long list of them packs into more than the
// reader's scratch array of the block while still beating the raw size.
TEST(CacheFile, WriterKeepsEveryBlockWithinWhatTheReaderTakes) {
  for (std::uint32_t rows : {1u, 4u, 40u, 63u, 100u, 300u}) {
    CacheData source = samples::cache(W, H, 1, 0);
    std::uint32_t state = 12345u + rows;
    for (std::uint32_t j = 0; j < rows; ++j) {
      state = state * 1103515245u + 12345u;
      const float low = float((state >> 16) % 64) / 64.0f;
      source.chunks[0].intervals.push_back(low);
      source.chunks[0].intervals.push_back(low + 0.25f);
    }
    CacheLayout layout;
    const std::vector<unsigned char> bytes = samples::cacheBytes(source, {}, &layout);
    ASSERT_EQ(layout.chunks.size(), 1u);
    for (int b = 0; b < kCacheBlockCount; ++b)
      EXPECT_LE(layout.chunks[0].blocks[b].storedSize, cacheBlockStoredLimit(static_cast<CacheBlock>(b), W, H))
          << "rows " << rows << " block " << cacheBlockName(static_cast<CacheBlock>(b));
    // What the reader takes back comes back unchanged; no more rows than the texture has must be taken.
    CacheData out;
    bool ok = false;
    parse(bytes, out, ok);
    if (rows <= std::uint32_t(H)) {
      EXPECT_TRUE(ok) << rows;
    }
    if (!ok) continue;
    ASSERT_EQ(out.chunks.size(), 1u);
    EXPECT_TRUE(sameChunk(out.chunks[0], source.chunks[0])) << rows;
  }
}

TEST(CacheFile, WriterRefusesArraysOfTheWrongSize) {
  CacheData d = samples::cache(W, H, 2, 4);
  d.chunks[1].edgeMap.pop_back();
  std::vector<unsigned char> bytes;
  bool ok = true;
  EXPECT_EQ(captureStderr([&] { ok = writeCacheBytes(d, bytes); }),
            pk::errorText("cannot write cache: chunk 1 has arrays of the wrong size"));
  EXPECT_FALSE(ok);
}

// The chunk index passes over the W·H blocks by their size words: on every prefix of a file it
// stops where a full read stops for the file's end, with the same messages, and the byte range it
// records reads back, on its own, to the chunk the full read gives.
TEST(CacheFile, ChunkIndexAgreesWithTheFullReadAndItsRangesReadAlone) {
  const CacheData source = samples::cache(W, H, 3, 16);
  const std::vector<unsigned char> good = samples::cacheBytes(source);
  std::size_t indexed = 0; // chunks indexChunk read completely
  auto indexAll = [&](const std::vector<unsigned char>& bytes, std::vector<ChunkIndex>& out, bool& ok) {
    return captureStderr([&] {
      out.clear();
      indexed = 0;
      CacheReader reader(W, H);
      ok = reader.openBytes(bytes.data(), bytes.size());
      for (std::uint32_t k = 0; ok && k < reader.header().chunkCount; ++k) {
        out.emplace_back();
        ok = reader.indexChunk(out.back());
        indexed += ok;
      }
      if (ok) ok = reader.finish();
    });
  };
  for (std::size_t cut = 60; cut <= good.size(); cut += (cut + 3 >= good.size() ? 1 : 3)) {
    const std::vector<unsigned char> prefix(good.begin(), good.begin() + long(cut));
    CacheData full;
    bool fullOk = false, indexOk = false;
    std::vector<ChunkIndex> index;
    const std::string fullText = parse(prefix, full, fullOk);
    const std::string indexText = indexAll(prefix, index, indexOk);
    ASSERT_EQ(indexOk, fullOk) << "cut at " << cut;
    ASSERT_EQ(indexText, fullText) << "cut at " << cut;
    std::size_t complete = 0;
    for (const ChunkData& c : full.chunks) complete += c.stage == ChunkStage::Complete;
    ASSERT_EQ(indexed, complete) << "cut at " << cut;
  }
  std::vector<ChunkIndex> index;
  bool ok = false;
  EXPECT_EQ(indexAll(good, index, ok), "");
  ASSERT_TRUE(ok);
  ASSERT_EQ(index.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const ChunkData& expected = source.chunks[k];
    EXPECT_EQ(index[k].tetCount, expected.tetCount);
    EXPECT_EQ(index[k].rowCount1, expected.rowCount1);
    EXPECT_EQ(index[k].intervals, expected.intervals);
    CacheReader alone(W, H);
    ASSERT_TRUE(alone.openChunk(good.data() + index[k].offset, std::size_t(index[k].size)));
    alone.setUnusedArraysSkipped(k == 1);
    ChunkData read;
    ASSERT_TRUE(alone.readChunk(read)) << k;
    EXPECT_EQ(read.vertexArray, expected.vertexArray);
    EXPECT_EQ(read.weightArray, expected.weightArray);
    EXPECT_EQ(read.edgeMap, expected.edgeMap);
    EXPECT_EQ(read.tetMap, expected.tetMap);
    EXPECT_EQ(read.intervals, expected.intervals);
    // The arrays the viewer never uses are left empty when skipped, read otherwise.
    EXPECT_EQ(read.firstWeightArray.empty(), k == 1);
    if (k != 1) {
      EXPECT_EQ(read.vertexIndices, expected.vertexIndices);
    }
  }
}

// Skipping the unused arrays passes over their bytes unread, but their size words are still checked.
TEST(CacheFile, SkippedArraysAreNotDecompressedButTheirSizesAreChecked) {
  CacheLayout layout;
  const CacheData source = samples::cache(W, H, 1, 16);
  const std::vector<unsigned char> good = samples::cacheBytes(source, {}, &layout);
  const CacheBlockLocation& at = layout.chunks[0].blocks[static_cast<int>(CacheBlock::FirstWeights)];
  ASSERT_GT(at.storedSize, 2u);
  auto readWith = [&](const std::vector<unsigned char>& bytes, bool skip, bool& ok) {
    return captureStderr([&] {
      CacheReader reader(W, H);
      ChunkData c;
      ok = reader.openBytes(bytes.data(), bytes.size());
      reader.setUnusedArraysSkipped(skip);
      ok = ok && reader.readChunk(c) && reader.finish();
    });
  };
  std::vector<unsigned char> garbled = good;
  garbled[at.offset + 4] ^= 0xFF;
  garbled[at.offset + 5] ^= 0xFF;
  bool ok = false;
  EXPECT_EQ(readWith(garbled, true, ok), "");
  EXPECT_TRUE(ok);
  EXPECT_NE(readWith(garbled, false, ok), "");
  EXPECT_FALSE(ok);
  std::vector<unsigned char> oversized = good;
  putU32(oversized, at.offset, 16 * W * H + 1);
  EXPECT_EQ(readWith(oversized, true, ok), pk::errorText("failure decompressing vertex weights array"));
  EXPECT_FALSE(ok);
}

// The viewer's read of a 256 × 256 cache as the builder writes it (arrays padded with zeros past the
// vertices the edge map names and the rows the intervals cover): decompressing only the fronts
// gives every array exactly as the whole read does, and damage in a front still fails the read.
TEST(CacheFile, SkippingThePaddingReadsTheSameArrays) {
  constexpr int S = 256;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  auto padded = [&](int vertices, int rows, int highestNamed) {
    ChunkData c = samples::blankChunk(S, S);
    c.vertexCount = std::uint32_t(vertices);
    // Values on a coarse grid, so that the arrays compress in short runs as real ones do.
    auto value = [&] { return std::floor(unit(rng) * 4.0f) / 4.0f; };
    for (int i = 0; i < 4 * vertices; ++i) c.vertexArray[i] = value(), c.weightArray[i] = value();
    // The far vertices only at the edges' second ends.
    std::uniform_int_distribution<int> near(0, highestNamed / 3), far(highestNamed / 3, highestNamed);
    for (int t = 0; t < S * rows; ++t) {
      const int lo = near(rng), hi = far(rng);
      const std::uint8_t e[4] = {std::uint8_t(lo % S), std::uint8_t(lo / S), std::uint8_t(hi % S), std::uint8_t(hi / S)};
      std::copy(e, e + 4, &c.edgeMap[4 * t]);
      for (int i = 0; i < 4; ++i) c.tetMap[4 * t + i] = std::uint16_t(rng() % 4);
    }
    c.rowCount0 = c.rowCount1 = rows;
    c.tetCount = std::uint32_t(rows * S / 2);
    for (int r = 0; r < rows; ++r) c.intervals.insert(c.intervals.end(), {0.25f, 0.75f});
    return c;
  };
  CacheData source;
  source.header = samples::boxHeader(S, S, PkVec3f(0, 0, 0), PkVec3f(1, 1, 1));
  // Fronts of a few kilobytes; one whose edge map names a vertex near the end; one without rows.
  source.chunks = {padded(3000, 40, 2999), padded(9000, 120, 60000), padded(100, 0, 0)};
  CacheLayout layout;
  const std::vector<unsigned char> good = samples::cacheBytes(source, {}, &layout);
  ASSERT_GT(layout.chunks[0].blocks[int(CacheBlock::VertexArray)].storedSize, 0u);
  auto read = [&](const std::vector<unsigned char>& bytes, bool skip, std::vector<ChunkData>& chunks) {
    return captureStderr([&] {
      CacheReader reader(S, S);
      ASSERT_TRUE(reader.openBytes(bytes.data(), bytes.size()));
      reader.setPaddingSkipped(skip);
      for (ChunkData& c : chunks)
        if (!reader.readChunk(c)) return;
      reader.finish();
    });
  };
  std::vector<ChunkData> whole(3), fronts(3);
  for (ChunkData& c : fronts) c = samples::chunk(S, S, 7, 9); // stale arrays from another chunk
  EXPECT_EQ(read(good, false, whole), "");
  EXPECT_EQ(read(good, true, fronts), "");
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(sameChunk(whole[k], source.chunks[k])) << k;
    EXPECT_TRUE(sameChunk(fronts[k], source.chunks[k])) << k;
  }

  // A damaged byte early in the vertex array's stream: both reads fail alike.
  std::vector<unsigned char> damaged = good;
  damaged[layout.chunks[0].blocks[int(CacheBlock::VertexArray)].offset + 4] = 0xFF;
  std::vector<ChunkData> a(1), b(1);
  const std::string said = read(damaged, false, a);
  EXPECT_NE(said, "");
  EXPECT_EQ(read(damaged, true, b), said);
}

namespace {

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

} // namespace

// The chunk-by-chunk writer against the whole-cache one: the same bytes, compressed and raw, with
// every block where the whole-cache writer says it is.
TEST(CacheFileWriter, WritesTheBytesOfTheWholeCacheWriter) {
  const CacheData source = samples::cache(W, H, 3, 5);
  for (auto blocks : {CacheWriteOptions::Blocks::CompressWhenSmaller, CacheWriteOptions::Blocks::Raw}) {
    CacheWriteOptions options;
    options.blocks = blocks;
    CacheLayout whole;
    const std::vector<unsigned char> expected = samples::cacheBytes(source, options, &whole);
    const std::string path = tempPath("streamed.vx.cache");
    CacheFileWriter writer;
    ASSERT_TRUE(writer.open(path, source.header, 3, options));
    for (int k = 0; k < 3; ++k) {
      CacheChunkLocation at;
      ASSERT_TRUE(writer.writeChunk(source.chunks[size_t(k)], &at));
      EXPECT_EQ(at.offset, whole.chunks[size_t(k)].offset);
      for (int b = 0; b < kCacheBlockCount; ++b) {
        EXPECT_EQ(at.blocks[size_t(b)].offset, whole.chunks[size_t(k)].blocks[size_t(b)].offset) << k << " " << b;
        EXPECT_EQ(at.blocks[size_t(b)].storedSize, whole.chunks[size_t(k)].blocks[size_t(b)].storedSize);
      }
    }
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.bytesWritten(), expected.size());
    EXPECT_TRUE(fileBytes(path) == expected) << "streamed file differs";
    CacheData back;
    ASSERT_TRUE(parseCacheFile(path, W, H, back));
    ASSERT_EQ(back.chunks.size(), 3u);
    EXPECT_TRUE(sameChunk(back.chunks[1], source.chunks[1]));
    std::remove(path.c_str());
  }
}

// The header announces the chunk count before any chunk: a writer given more or fewer chunks, or a
// chunk the format cannot hold, fails with its message and writes no further.
TEST(CacheFileWriter, RefusesChunksThatDoNotMatchItsHeader) {
  const CacheData source = samples::cache(W, H, 2, 4);
  const std::string path = tempPath("mismatch.vx.cache");
  {
    CacheFileWriter writer;
    ASSERT_TRUE(writer.open(path, source.header, 1));
    ASSERT_TRUE(writer.writeChunk(source.chunks[0]));
    bool ok = true;
    EXPECT_EQ(captureStderr([&] { ok = writer.writeChunk(source.chunks[1]); }),
              pk::errorText("cannot write cache: more than the 1 chunks its header announces"));
    EXPECT_FALSE(ok);
    EXPECT_EQ(captureStderr([&] { ok = writer.finish(); }), "") << "one message per failure";
    EXPECT_FALSE(ok);
  }
  {
    CacheFileWriter writer;
    ASSERT_TRUE(writer.open(path, source.header, 2));
    ASSERT_TRUE(writer.writeChunk(source.chunks[0]));
    bool ok = true;
    EXPECT_EQ(captureStderr([&] { ok = writer.finish(); }),
              pk::errorText("cannot write cache: 1 of the 2 chunks its header announces were written"));
    EXPECT_FALSE(ok);
  }
  {
    CacheFileWriter writer;
    ASSERT_TRUE(writer.open(path, source.header, 2));
    CacheData broken = source;
    broken.chunks[0].tetMap.pop_back();
    bool ok = true;
    EXPECT_EQ(captureStderr([&] { ok = writer.writeChunk(broken.chunks[0]); }),
              pk::errorText("cannot write cache: chunk 0 has arrays of the wrong size"));
    EXPECT_FALSE(ok);
    EXPECT_FALSE(writer.writeChunk(source.chunks[1]));
  }
  std::remove(path.c_str());
}

// A device that takes no more bytes: the failure is reported once, whether the chunk's bytes or
// only the final flush meet it, and never as success.
TEST(CacheFileWriter, ReportsAFullDevice) {
  const CacheData source = samples::cache(W, H, 2, 4);
  CacheFileWriter writer;
  bool ok = true;
  std::string err = captureStderr([&] {
    ok = writer.open("/dev/full", source.header, 2) && writer.writeChunk(source.chunks[0]) &&
         writer.writeChunk(source.chunks[1]) && writer.finish();
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, pk::errorText("cannot write file /dev/full"));
  // A header alone stays in the stream's buffer until finish() flushes it.
  CacheData empty = source;
  empty.chunks.clear();
  CacheFileWriter small;
  err = captureStderr([&] { ok = small.open("/dev/full", empty.header, 0) && small.finish(); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, pk::errorText("cannot write file /dev/full"));
  err = captureStderr([&] { ok = small.open(tempPath("no-such-dir/x.vx.cache"), empty.header, 0); });
  EXPECT_FALSE(ok);
  EXPECT_NE(err.find("cannot write file"), std::string::npos);
}

namespace {

// The chunk index as one word after another gives it, the blocks passed over by their size words:
// what the reader's index must agree with, field by field and message by message.
struct WordByWordIndex {
  std::vector<ChunkIndex> chunks; // the ones indexed completely
  bool ok = false;
};

WordByWordIndex indexWordByWord(const std::vector<unsigned char>& bytes, int w, int h) {
  WordByWordIndex out;
  CacheReader header(w, h);
  if (!header.openBytes(bytes.data(), bytes.size())) return out;
  const std::size_t texels = std::size_t(w) * std::size_t(h);
  std::size_t pos = 4 * 3 + 4 * 15 + 4 * 2 + 4;
  auto word = [&](auto& v) {
    if (pos + 4 > bytes.size()) return false;
    std::memcpy(&v, bytes.data() + pos, 4);
    pos += 4;
    return true;
  };
  auto truncated = [&] { pk::warning("wrong cache format - need 6"); };
  auto failure = [&](CacheBlock b) { pk::error(std::string("failure decompressing ") + cacheBlockName(b)); };
  auto block = [&](CacheBlock b, std::size_t raw) {
    std::uint32_t stored;
    if (!word(stored)) return truncated(), false;
    if (stored > cacheBlockStoredLimit(b, std::uint32_t(w), std::uint32_t(h))) return failure(b), false;
    const std::size_t length = stored ? stored : raw;
    if (length > bytes.size() - pos) return truncated(), false;
    pos += length;
    return true;
  };
  for (std::uint32_t k = 0; k < header.header().chunkCount; ++k) {
    ChunkIndex c;
    c.offset = pos;
    if (!word(c.vertexCount)) return truncated(), out;
    if (c.vertexCount > texels) pk::ErrorLine() << "benutze nur " << texels << " von " << c.vertexCount << " Vertices";
    std::uint32_t reserved, rows, stored;
    if (!block(CacheBlock::VertexArray, 16 * texels) || !block(CacheBlock::FirstWeights, 16 * texels) ||
        !block(CacheBlock::VertexIndices, 8 * texels) || !block(CacheBlock::Weights, 16 * texels))
      return out;
    if (!word(reserved) || !word(c.rowCount0) || !word(c.rowCount1)) return truncated(), out;
    if (!block(CacheBlock::EdgeMap, 4 * texels)) return out;
    if (!word(c.tetCount)) return truncated(), out;
    if (!block(CacheBlock::TetMap, 8 * texels)) return out;
    if (!word(rows) || !word(stored)) return truncated(), out;
    if (rows > std::uint32_t(h)) return failure(CacheBlock::Intervals), out;
    c.intervals.resize(2 * std::size_t(rows));
    if (stored == 0) {
      if (8 * std::size_t(rows) > bytes.size() - pos) return truncated(), out;
      if (rows) std::memcpy(c.intervals.data(), bytes.data() + pos, 8 * std::size_t(rows));
      pos += 8 * std::size_t(rows);
    } else {
      if (stored > cacheBlockStoredLimit(CacheBlock::Intervals, std::uint32_t(w), std::uint32_t(h)))
        return failure(CacheBlock::Intervals), out;
      if (stored > bytes.size() - pos) return truncated(), out;
      std::vector<unsigned char> packed(bytes.begin() + long(pos), bytes.begin() + long(pos + stored));
      packed.resize(packed.size() + 64);
      Compressor codec;
      const std::size_t n = 8 * std::size_t(rows) > 256 * std::size_t(stored) + 1024
                                ? 0
                                : codec.decompress(packed.data(), stored, reinterpret_cast<unsigned char*>(c.intervals.data()),
                                                   8 * std::size_t(rows));
      if (n == 0 || n != 8 * std::size_t(rows)) return failure(CacheBlock::Intervals), out;
      pos += stored;
    }
    c.size = pos - c.offset;
    out.chunks.push_back(c);
  }
  std::uint32_t magic;
  if (!word(magic)) return truncated(), out;
  if (magic != kCacheMagic) {
    pk::WarningLine() << "wrong cache format " << std::uint32_t(magic - 0xCACE0001u) << " - need " << kCacheVersion;
    return out;
  }
  out.ok = true;
  return out;
}

bool sameIndex(const ChunkIndex& a, const ChunkIndex& b) {
  return a.offset == b.offset && a.size == b.size && a.vertexCount == b.vertexCount && a.rowCount0 == b.rowCount0 &&
         a.rowCount1 == b.rowCount1 && a.tetCount == b.tetCount &&
         a.intervals.size() == b.intervals.size() &&
         (a.intervals.empty() || std::memcmp(a.intervals.data(), b.intervals.data(), 4 * a.intervals.size()) == 0);
}

} // namespace

// The reader's index, from a file and from memory, on every prefix of a cache and on copies with
// each word between the blocks (size words, counts) set to telling values: the same chunks, fields
// and messages as a word-by-word walk through the file.
TEST(CacheFile, ChunkIndexFromDiskAgreesWithAWordByWordWalk) {
  CacheData source = samples::cache(W, H, 3, 16);
  source.chunks[1].vertexCount = 17; // one more than the texels: said, and read on
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  for (const CacheWriteOptions& options : {CacheWriteOptions(), raw}) {
    CacheLayout layout;
    const std::vector<unsigned char> good = samples::cacheBytes(source, options, &layout);
    std::vector<std::vector<unsigned char>> variants;
    for (std::size_t n = 60; n <= good.size(); ++n) variants.emplace_back(good.begin(), good.begin() + long(n));
    for (const CacheChunkLocation& chunk : layout.chunks) {
      std::vector<std::size_t> words = {chunk.offset};
      for (const CacheBlockLocation& b : chunk.blocks) words.push_back(b.offset);
      const std::size_t rowWords = chunk.blocks[int(CacheBlock::Weights)].offset + 4 +
                                   (chunk.blocks[int(CacheBlock::Weights)].storedSize
                                        ? chunk.blocks[int(CacheBlock::Weights)].storedSize
                                        : chunk.blocks[int(CacheBlock::Weights)].rawSize);
      words.insert(words.end(), {rowWords, rowWords + 4, rowWords + 8, chunk.blocks[int(CacheBlock::Intervals)].offset - 4});
      for (std::size_t at : words)
        for (std::uint32_t value : {0u, 1u, 7u, 64u, 65u, 0xFFFFFFFFu}) {
          std::vector<unsigned char> v = good;
          putU32(v, at, value);
          variants.push_back(v);
        }
    }
    const std::string path = tempPath("indexed.vx.cache");
    for (std::size_t i = 0; i < variants.size(); ++i) {
      const std::vector<unsigned char>& bytes = variants[i];
      WordByWordIndex expected;
      const std::string expectedText = captureStderr([&] { expected = indexWordByWord(bytes, W, H); });
      std::FILE* f = std::fopen(path.c_str(), "wb");
      ASSERT_TRUE(f);
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
      for (bool fromDisk : {false, true}) {
        std::vector<ChunkIndex> index;
        bool ok = false;
        const std::string text = captureStderr([&] {
          CacheReader reader(W, H);
          ok = fromDisk ? reader.open(path) : reader.openBytes(bytes.data(), bytes.size());
          while (ok && reader.chunksLeft() > 0) {
            ChunkIndex c;
            ok = reader.indexChunk(c);
            if (ok) index.push_back(c);
          }
          if (ok) ok = reader.finish();
        });
        const std::string what = "variant " + std::to_string(i) + (fromDisk ? " from disk" : " from memory");
        ASSERT_EQ(text, expectedText) << what;
        ASSERT_EQ(ok, expected.ok) << what;
        ASSERT_EQ(index.size(), expected.chunks.size()) << what;
        for (std::size_t k = 0; k < index.size(); ++k) ASSERT_TRUE(sameIndex(index[k], expected.chunks[k])) << what << " chunk " << k;
      }
    }
    std::remove(path.c_str());
  }
}
