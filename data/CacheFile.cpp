#include "CacheFile.h"

#include "ByteSource.h"
#include "Compressor.h"
#include "PkDiag.h"

#include <cassert>
#include <cfloat>
#include <cstring>
#include <new>
#include <thread>
#include <algorithm>

namespace {

// Extra zeroed bytes behind the compressed data of a block, so that the decompressor's look-ahead
// never leaves the scratch array whatever the data says.
constexpr std::size_t kScratchPadding = 64;

// No LZO1X stream decompresses to more than this many bytes per stored byte (a long match costs one
// byte per 255 bytes of length); a block that claims more cannot be honest.
constexpr std::uint64_t kMaxExpansion = 256;
constexpr std::uint64_t kExpansionSlack = 1024;

const char* const kBlockNames[kCacheBlockCount] = {
    "vertex array", "vertex weights array", "vertex indices array", "vertex weights array",
    "edgemap",      "tetmap0",              "interval tree"};

} // namespace

const char* cacheBlockName(CacheBlock block) { return kBlockNames[static_cast<int>(block)]; }

std::uint64_t cacheBlockStoredLimit(CacheBlock block, std::uint32_t width, std::uint32_t height) {
  const std::uint64_t texels = std::uint64_t(width) * std::uint64_t(height);
  if (block == CacheBlock::VertexIndices || block == CacheBlock::TetMap) return 8 * texels;
  if (block == CacheBlock::EdgeMap) return 4 * texels;
  return 16 * texels;
}

// ---------------------------------------------------------------------------------------------
// Box

float CacheBox::viewScale() const {
  float largest = halfExtent.x;
  if (halfExtent.y > largest) largest = halfExtent.y;
  if (halfExtent.z > largest) largest = halfExtent.z;
  return 1.0f / largest;
}

void CacheBox::corners(PkVec3f out[8]) const {
  const PkVec3f a = axis[0] * halfExtent.x;
  const PkVec3f b = axis[1] * halfExtent.y;
  const PkVec3f c = axis[2] * halfExtent.z;
  out[0] = centre - a - b - c;
  out[1] = centre + a - b - c;
  out[2] = centre + a + b - c;
  out[3] = centre - a + b - c;
  out[4] = centre - a - b + c;
  out[5] = centre + a - b + c;
  out[6] = centre + a + b + c;
  out[7] = centre - a + b + c;
}

PkVec3f CacheBox::modelScale() const {
  PkVec3f c[8];
  corners(c);
  return PkVec3f(1.0f, 1.0f, 1.0f) / (c[6] - c[0]);
}

PkVec3f CacheBox::modelOffset() const {
  PkVec3f c[8];
  corners(c);
  return c[0];
}

// ---------------------------------------------------------------------------------------------
// Chunk

void ChunkData::allocate(int width, int height) {
  const std::size_t values = 4 * std::size_t(width) * std::size_t(height);
  vertexArray.assign(values, 0.0f);
  firstWeightArray.assign(values, 0.0f);
  vertexIndices.assign(values, 0);
  weightArray.assign(values, 0.0f);
  edgeMap.assign(values, 0);
  tetMap.assign(values, 0);
}

void ChunkData::tetMapAsFloat(std::vector<float>& out) const {
  out.resize(tetMap.size());
  for (std::size_t i = 0; i < tetMap.size(); ++i) out[i] = static_cast<float>(tetMap[i]);
}

ChunkData::Range ChunkData::rangeOf(const std::vector<float>& intervals) {
  Range r{FLT_MAX, -FLT_MAX};
  for (std::size_t j = 0; j + 1 < intervals.size(); j += 2) {
    if (intervals[j] < r.low) r.low = intervals[j];
    if (intervals[j + 1] > r.high) r.high = intervals[j + 1];
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Reader

class CacheReader::Source {
public:
  explicit Source(std::unique_ptr<vxdata::ByteSource> in) : in_(std::move(in)) {}
  vxdata::ByteSource& in() { return *in_; }

private:
  std::unique_ptr<vxdata::ByteSource> in_;
};

CacheReader::CacheReader(int textureWidth, int textureHeight)
    : width_(textureWidth), height_(textureHeight) {
  assert(textureWidth >= 1 && textureWidth <= 4096 && textureHeight >= 1 && textureHeight <= 4096);
}

CacheReader::~CacheReader() = default;

void CacheReader::reportTruncated() {
  failed_ = true;
  pk::warning("wrong cache format - need " + std::to_string(kCacheVersion));
}

bool CacheReader::open(const std::string& path) {
  auto file = std::make_unique<vxdata::FileSource>();
  if (!file->open(path)) {
    pk::warning("cannot read file " + path);
    source_.reset();
    failed_ = true;
    return false;
  }
  source_ = std::make_unique<Source>(std::move(file));
  return readHeader();
}

bool CacheReader::openBytes(const unsigned char* data, std::size_t size) {
  source_ = std::make_unique<Source>(std::make_unique<vxdata::MemorySource>(data, size));
  return readHeader();
}

bool CacheReader::readHeader() {
  failed_ = false;
  chunksLeft_ = 0;
  header_ = CacheHeader();
  vxdata::ByteSource& in = source_->in();
  const std::uint64_t texels = std::uint64_t(width_) * std::uint64_t(height_);

  std::uint32_t magic;
  if (!in.readU32(magic)) return reportTruncated(), false;
  if (magic != kCacheMagic) {
    failed_ = true;
    pk::WarningLine() << "wrong cache format " << std::uint32_t(magic - 0xCACE0001u) << " - need "
                      << kCacheVersion;
    return false;
  }
  if (!in.readU32(header_.textureWidth)) return reportTruncated(), false;
  if (header_.textureWidth != std::uint32_t(width_)) {
    failed_ = true;
    pk::WarningLine() << "cache constructed for " << header_.textureWidth
                      << " texture width - need " << width_;
    return false;
  }
  if (!in.readU32(header_.textureHeight)) return reportTruncated(), false;
  if (header_.textureHeight != std::uint32_t(height_)) {
    failed_ = true;
    pk::WarningLine() << "cache constructed for " << header_.textureHeight
                      << " texture height - need " << height_;
    return false;
  }

  float box[15];
  if (!in.read(box, sizeof box)) return reportTruncated(), false;
  header_.box.centre = PkVec3f(box[0], box[1], box[2]);
  for (int a = 0; a < 3; ++a) header_.box.axis[a] = PkVec3f(box[3 + 3 * a], box[4 + 3 * a], box[5 + 3 * a]);
  header_.box.halfExtent = PkVec3f(box[12], box[13], box[14]);

  if (!in.readF32(header_.dataMin) || !in.readF32(header_.dataMax)) return reportTruncated(), false;
  if (header_.dataMax - header_.dataMin == 0.0f) pk::error("invalid data range");

  if (!in.readU32(header_.chunkCount)) return reportTruncated(), false;
  // The smallest chunk: four words, each W·H block at least its size word and one byte, and the
  // row-interval block of a chunk without rows (one size word). C chunks and the end magic must fit.
  const std::uint64_t minChunk = 4 + 4 * 5 + 12 + 5 + 4 + 5 + 4 + 4;
  if (std::uint64_t(header_.chunkCount) * minChunk + 4 > in.remaining()) return reportTruncated(), false;

  try {
    scratch_.assign(16 * texels + kScratchPadding, 0);
  } catch (const std::bad_alloc&) {
    return reportTruncated(), false;
  }
  chunksLeft_ = header_.chunkCount;
  return true;
}

bool CacheReader::blockFailure(CacheBlock block) {
  failed_ = true;
  pk::error(std::string("failure decompressing ") + cacheBlockName(block));
  return false;
}

bool CacheReader::readCompressed(CacheBlock block, std::uint32_t stored) {
  // The compressed bytes go to the scratch array of the block's element type.
  if (stored > cacheBlockStoredLimit(block, std::uint32_t(width_), std::uint32_t(height_)))
    return blockFailure(block);
  if (!source_->in().read(scratch_.data(), stored)) return reportTruncated(), false;
  return true;
}

bool CacheReader::decompressInto(CacheBlock block, std::uint32_t stored, unsigned char* destination,
                                 std::size_t rawSize, Compressor& codec) {
  const std::size_t length = codec.decompress(scratch_.data(), stored, destination, rawSize);
  // A block must fill its array completely: anything shorter would leave stale bytes behind.
  if (length == 0 || length != rawSize) return blockFailure(block);
  return true;
}

namespace {

// Decompresses the given blocks, spread over up to four threads (the largest first, each to the
// least loaded thread). Each block's outcome goes to its own length and code.
struct Inflation {
  const unsigned char* source;
  std::size_t stored;
  unsigned char* destination;
  std::size_t rawSize;
  std::size_t needed; // the bytes that are read (the rest is padding), at most rawSize
  std::size_t length = 0;
  int code = 0;
};

void inflate(Inflation& j, const Compressor& codec) {
  j.length = j.needed < j.rawSize
                 ? codec.decompressFront(j.source, j.stored, j.destination, j.rawSize, j.needed, j.code)
                 : codec.decompressQuietly(j.source, j.stored, j.destination, j.rawSize, j.code);
}

// One past the highest vertex slot an edge map names (slot y·W + x for the texel coordinates
// (x, y) of either end), at most W·H. The fragment passes read vertices at about (x, y)·W/255,
// which for W, H ≤ 256 is never past (x, y) itself.
std::size_t verticesNamed(const std::vector<std::uint8_t>& edgeMap, std::size_t width, std::size_t texels) {
  std::size_t highest = 0;
  for (std::size_t t = 0; t + 4 <= edgeMap.size(); t += 4) {
    const std::uint8_t* e = &edgeMap[t];
    highest = std::max({highest, e[1] * width + e[0], e[3] * width + e[2]});
  }
  return std::min(texels, highest + 1);
}

void inflateAll(std::vector<Inflation*>& jobs, const Compressor& codec, bool parallel) {
  const unsigned hardware = parallel ? std::max(1u, std::thread::hardware_concurrency()) : 1u;
  const std::size_t threads = std::min<std::size_t>({std::size_t(hardware), jobs.size(), 4});
  auto run = [&codec](const std::vector<Inflation*>& list) {
    for (Inflation* j : list) inflate(*j, codec);
  };
  if (threads <= 1) {
    run(jobs);
    return;
  }
  std::sort(jobs.begin(), jobs.end(), [](const Inflation* a, const Inflation* b) { return a->rawSize > b->rawSize; });
  std::vector<std::vector<Inflation*>> lists(threads);
  std::vector<std::size_t> load(threads, 0);
  for (Inflation* j : jobs) {
    const std::size_t t = std::size_t(std::min_element(load.begin(), load.end()) - load.begin());
    lists[t].push_back(j);
    load[t] += j->rawSize;
  }
  std::vector<std::thread> workers;
  for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(run, std::cref(lists[t]));
  run(lists[0]);
  for (std::thread& w : workers) w.join();
}

} // namespace

bool CacheReader::readChunk(ChunkData& chunk, const StageCallback& onStage) {
  assert(source_ && !failed_ && chunksLeft_ > 0);
  if (!source_ || failed_ || chunksLeft_ == 0) return false;
  --chunksLeft_;
  vxdata::ByteSource& in = source_->in();
  const std::size_t texels = std::size_t(width_) * std::size_t(height_);
  chunk.stage = ChunkStage::None;
  auto reached = [&](ChunkStage stage) {
    chunk.stage = stage;
    if (onStage) onStage(stage, chunk);
  };

  if (!in.readU32(chunk.vertexCount)) return reportTruncated(), false;
  if (chunk.vertexCount > texels && !quietVertexCount_)
    pk::ErrorLine() << "benutze nur " << texels << " von " << chunk.vertexCount << " Vertices";
  reached(ChunkStage::VertexCount);

  Compressor codec;

  chunk.vertexArray.resize(4 * texels);
  chunk.weightArray.resize(4 * texels);
  chunk.edgeMap.resize(4 * texels);
  chunk.tetMap.resize(4 * texels);
  if (skipUnused_) {
    chunk.firstWeightArray.clear();
    chunk.vertexIndices.clear();
  } else {
    chunk.firstWeightArray.resize(4 * texels);
    chunk.vertexIndices.resize(4 * texels);
  }

  // The chunk up to its tetrahedron map, in file order: six W·H blocks with three words after the
  // weights and one after the edge map. The first pass reads them all, the compressed bytes into a
  // scratch array per block, and stops at the first that is cut short or claims too many bytes;
  // the blocks before it are then decompressed in parallel; the last pass checks them in file
  // order and reports each stage, or the first failure, exactly as a block-by-block read would.
  struct Step {
    CacheBlock block;
    unsigned char* destination; // null for the words
    std::size_t rawSize;
    ChunkStage stageAfter;      // reached after this step, or None
    std::uint32_t stored = 0;
    bool unused = false;        // a block the viewer does not use, when skipped
  };
  auto bytes = [](auto& v) { return reinterpret_cast<unsigned char*>(v.data()); };
  Step steps[] = {
      {CacheBlock::VertexArray, bytes(chunk.vertexArray), 16 * texels, ChunkStage::VertexArray},
      {CacheBlock::FirstWeights, bytes(chunk.firstWeightArray), 16 * texels, ChunkStage::None},
      {CacheBlock::VertexIndices, bytes(chunk.vertexIndices), 8 * texels, ChunkStage::None},
      {CacheBlock::Weights, bytes(chunk.weightArray), 16 * texels, ChunkStage::WeightArray},
      {CacheBlock::Weights, nullptr, 0, ChunkStage::RowCounts}, // reserved, row counts
      {CacheBlock::EdgeMap, chunk.edgeMap.data(), 4 * texels, ChunkStage::EdgeMap},
      {CacheBlock::EdgeMap, nullptr, 0, ChunkStage::TetCount}, // tetrahedron count
      {CacheBlock::TetMap, bytes(chunk.tetMap), 8 * texels, ChunkStage::TetMap},
  };
  constexpr int kSteps = int(sizeof steps / sizeof steps[0]);
  steps[1].unused = steps[2].unused = skipUnused_;

  enum class Stop { None, Truncated, TooLarge } stop = Stop::None;
  int stopAt = kSteps;
  for (int i = 0; i < kSteps && stop == Stop::None; ++i) {
    Step& st = steps[i];
    bool ok = true;
    if (!st.destination && st.stageAfter == ChunkStage::RowCounts)
      ok = in.readU32(chunk.reserved) && in.readI32(chunk.rowCount0) && in.readI32(chunk.rowCount1);
    else if (!st.destination && st.stageAfter == ChunkStage::TetCount)
      ok = in.readU32(chunk.tetCount);
    else if (!in.readU32(st.stored))
      ok = false;
    else if (st.stored == 0 && !st.unused)
      ok = in.read(st.destination, st.rawSize);
    else {
      const std::size_t count = st.stored == 0 ? st.rawSize : st.stored;
      if (st.stored > cacheBlockStoredLimit(st.block, std::uint32_t(width_), std::uint32_t(height_))) {
        stop = Stop::TooLarge;
      } else {
        std::vector<unsigned char>& scratch = blockScratch_[i];
        if (scratch.size() < count + kScratchPadding) scratch.assign(count + kScratchPadding, 0);
        ok = in.read(scratch.data(), count);
      }
    }
    if (!ok) stop = Stop::Truncated;
    if (stop != Stop::None) stopAt = i;
  }

  std::vector<Inflation> inflations(kSteps);
  auto inflation = [&](int i) -> Inflation& {
    const Step& st = steps[i];
    return inflations[i] = Inflation{blockScratch_[i].data(), st.stored, st.destination, st.rawSize, st.rawSize};
  };
  // With the padding skipped, the vertex and weight arrays are decompressed as far as the vertices
  // the edge map names (which goes first for that), and the tetrahedron map as far as the rows of
  // the row intervals (the word after it, read ahead).
  constexpr int kVertexStep = 0, kWeightStep = 3, kEdgeStep = 5, kTetStep = 7;
  std::size_t vertexBytes = 16 * texels, tetBytes = 8 * texels;
  bool edgeMapInflated = false;
  if (skipPadding_ && width_ <= 256 && height_ <= 256) {
    const Step& edges = steps[kEdgeStep];
    if (kEdgeStep < stopAt) {
      bool whole = edges.stored == 0; // read raw already
      if (!whole) {
        Inflation& e = inflation(kEdgeStep);
        inflate(e, codec);
        edgeMapInflated = true;
        whole = e.code == 0 && e.length == edges.rawSize;
      }
      if (whole) vertexBytes = 16 * verticesNamed(chunk.edgeMap, std::size_t(width_), texels);
    }
    std::uint32_t rows = 0;
    if (kTetStep < stopAt && in.readAt(in.position(), &rows, sizeof rows))
      tetBytes = 8 * std::size_t(width_) * std::min<std::size_t>(rows, std::size_t(height_));
  }
  std::vector<Inflation*> jobs;
  for (int i = 0; i < stopAt; ++i) {
    const Step& st = steps[i];
    if (!st.destination || st.stored == 0 || st.unused || (i == kEdgeStep && edgeMapInflated)) continue;
    Inflation& j = inflation(i);
    if (i == kVertexStep || i == kWeightStep) j.needed = vertexBytes;
    if (i == kTetStep) j.needed = tetBytes;
    jobs.push_back(&j);
  }
  inflateAll(jobs, codec, parallelBlocks_);

  for (int i = 0; i < kSteps; ++i) {
    const Step& st = steps[i];
    if (i == stopAt) {
      if (stop == Stop::Truncated) return reportTruncated(), false;
      return blockFailure(st.block);
    }
    if (st.destination && st.stored != 0 && !st.unused) {
      const Inflation& done = inflations[i];
      Compressor::reportFailure(done.code);
      // A block must fill its array completely: anything shorter would leave stale bytes behind.
      if (done.length == 0 || done.length != st.rawSize) return blockFailure(st.block);
    }
    if (st.stageAfter != ChunkStage::None) reached(st.stageAfter);
  }

  if (!readIntervals(chunk.intervals, codec)) return false;
  reached(ChunkStage::Complete);
  return true;
}

bool CacheReader::readIntervals(std::vector<float>& intervals, Compressor& codec) {
  // The row intervals: one per texture row, so N beyond the texture height means nothing and is
  // refused before anything is allocated for it. Within that, a raw block must still fit in what is
  // left, and a compressed one cannot expand beyond the codec's largest ratio.
  vxdata::ByteSource& in = source_->in();
  std::uint32_t rows, stored;
  if (!in.readU32(rows) || !in.readU32(stored)) return reportTruncated(), false;
  if (rows > std::uint32_t(height_)) return blockFailure(CacheBlock::Intervals);
  const std::uint64_t rawSize = 8ull * rows;
  if (stored == 0) {
    if (rawSize > in.remaining()) return reportTruncated(), false;
    intervals.resize(2ull * rows);
    if (!in.read(intervals.data(), rawSize)) return reportTruncated(), false;
  } else {
    if (!readCompressed(CacheBlock::Intervals, stored)) return false;
    if (rawSize > kMaxExpansion * stored + kExpansionSlack) return blockFailure(CacheBlock::Intervals);
    intervals.resize(2ull * rows);
    if (!decompressInto(CacheBlock::Intervals, stored, reinterpret_cast<unsigned char*>(intervals.data()), rawSize,
                        codec))
      return false;
  }
  return true;
}

namespace {

// Reads the words between a chunk's blocks where they lie, a few at a time (one read each), as far
// as the file holds them; the blocks in between are passed over by offset alone. A word is there
// exactly when a sequential read of it would succeed.
class WordCursor {
public:
  WordCursor(vxdata::ByteSource& in) : in_(in), pos_(in.position()), size_(in.position() + in.remaining()) {}
  std::uint64_t position() const { return pos_; }
  // The next n words (n ≤ 4) in one read.
  void fetch(std::size_t n) {
    at_ = 0;
    have_ = std::size_t(std::min<std::uint64_t>(4 * n, size_ - pos_));
    if (!in_.readAt(pos_, buffer_, have_)) have_ = 0; // the file shrank or failed under us
  }
  template <typename T> bool word(T& v) {
    static_assert(sizeof(T) == 4, "words are four bytes");
    if (at_ + 4 > have_) return false;
    std::memcpy(&v, buffer_ + at_, 4);
    at_ += 4;
    pos_ += 4;
    return true;
  }
  bool skip(std::uint64_t n) {
    if (n > size_ - pos_) return false;
    pos_ += n;
    return true;
  }

private:
  vxdata::ByteSource& in_;
  std::uint64_t pos_, size_;
  unsigned char buffer_[16];
  std::size_t have_ = 0, at_ = 0;
};

} // namespace

bool CacheReader::indexChunk(ChunkIndex& out) {
  assert(source_ && !failed_ && chunksLeft_ > 0);
  if (!source_ || failed_ || chunksLeft_ == 0) return false;
  --chunksLeft_;
  vxdata::ByteSource& in = source_->in();
  const std::size_t texels = std::size_t(width_) * std::size_t(height_);
  out = ChunkIndex();
  out.offset = in.position();
  WordCursor at(in);
  at.fetch(2); // the vertex count and the first size word
  if (!at.word(out.vertexCount)) return reportTruncated(), false;
  if (out.vertexCount > texels)
    pk::ErrorLine() << "benutze nur " << texels << " von " << out.vertexCount << " Vertices";
  // Each W·H block by its size word, checked as a read checks it; then the words after it (fetched
  // with the block's own size word, wordsAfter more) are read.
  auto passBlock = [&](CacheBlock block, std::size_t rawSize, std::size_t wordsAfter) {
    std::uint32_t stored;
    if (!at.word(stored)) return reportTruncated(), false;
    if (stored > cacheBlockStoredLimit(block, std::uint32_t(width_), std::uint32_t(height_)))
      return blockFailure(block);
    if (!at.skip(stored == 0 ? rawSize : stored)) return reportTruncated(), false;
    at.fetch(wordsAfter);
    return true;
  };
  if (!passBlock(CacheBlock::VertexArray, 16 * texels, 1) || !passBlock(CacheBlock::FirstWeights, 16 * texels, 1) ||
      !passBlock(CacheBlock::VertexIndices, 8 * texels, 1) || !passBlock(CacheBlock::Weights, 16 * texels, 4))
    return false;
  std::uint32_t reserved;
  if (!at.word(reserved) || !at.word(out.rowCount0) || !at.word(out.rowCount1)) return reportTruncated(), false;
  if (!passBlock(CacheBlock::EdgeMap, 4 * texels, 2)) return false;
  if (!at.word(out.tetCount)) return reportTruncated(), false;
  if (!passBlock(CacheBlock::TetMap, 8 * texels, 0)) return false;
  // The row intervals through the stream, from where the cursor got to.
  if (!in.skip(at.position() - in.position())) return reportTruncated(), false;
  Compressor codec;
  if (!readIntervals(out.intervals, codec)) return false;
  out.size = in.position() - out.offset;
  return true;
}

bool CacheReader::openChunk(const unsigned char* data, std::size_t size, bool warnVertexCount) {
  source_ = std::make_unique<Source>(std::make_unique<vxdata::MemorySource>(data, size));
  failed_ = false;
  chunksLeft_ = 1;
  quietVertexCount_ = !warnVertexCount;
  const std::size_t scratchBytes = 16 * std::size_t(width_) * std::size_t(height_) + kScratchPadding;
  if (scratch_.size() < scratchBytes) scratch_.assign(scratchBytes, 0);
  return true;
}

bool CacheReader::readAt(std::uint64_t offset, void* destination, std::size_t n) const {
  return source_ && source_->in().readAt(offset, destination, n);
}

std::uint64_t CacheReader::sourceSize() const {
  if (!source_) return 0;
  return source_->in().position() + source_->in().remaining();
}

std::uint64_t CacheReader::largestChunkBytes(int width, int height) {
  const auto w = std::uint32_t(width), h = std::uint32_t(height);
  // The vertex count, six W·H blocks with their size words (each at most its raw size or its stored
  // limit), the three words after the weights and the one after the edge map, then the row
  // intervals: their count and size word and at most the larger of their raw size and limit.
  std::uint64_t bytes = 4 + 4 * 6 + 3 * 4 + 4 + 8;
  const std::uint64_t texels = std::uint64_t(w) * h;
  const std::uint64_t raw[] = {16 * texels, 16 * texels, 8 * texels, 16 * texels, 4 * texels, 8 * texels};
  const CacheBlock blocks[] = {CacheBlock::VertexArray, CacheBlock::FirstWeights, CacheBlock::VertexIndices,
                               CacheBlock::Weights,     CacheBlock::EdgeMap,      CacheBlock::TetMap};
  for (int i = 0; i < 6; ++i) bytes += std::max(raw[i], cacheBlockStoredLimit(blocks[i], w, h));
  return bytes + std::max<std::uint64_t>(8ull * h, cacheBlockStoredLimit(CacheBlock::Intervals, w, h));
}

bool CacheReader::finish() {
  assert(source_ && !failed_ && chunksLeft_ == 0);
  if (!source_ || failed_ || chunksLeft_ != 0) return false;
  std::uint32_t magic;
  if (!source_->in().readU32(magic)) return reportTruncated(), false;
  if (magic != kCacheMagic) {
    failed_ = true;
    pk::WarningLine() << "wrong cache format " << std::uint32_t(magic - 0xCACE0001u) << " - need "
                      << kCacheVersion;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Whole files

namespace {
bool readAll(CacheReader& reader, bool opened, CacheData& out) {
  out = CacheData();
  out.header = reader.header();
  if (!opened) return false;
  for (std::uint32_t k = 0; k < out.header.chunkCount; ++k) {
    out.chunks.emplace_back();
    if (!reader.readChunk(out.chunks.back())) return false;
  }
  return reader.finish();
}
} // namespace

bool parseCacheFile(const std::string& path, int textureWidth, int textureHeight, CacheData& out) {
  CacheReader reader(textureWidth, textureHeight);
  const bool opened = reader.open(path);
  return readAll(reader, opened, out);
}

bool parseCacheBytes(const unsigned char* data, std::size_t size, int textureWidth, int textureHeight,
                     CacheData& out) {
  CacheReader reader(textureWidth, textureHeight);
  const bool opened = reader.openBytes(data, size);
  return readAll(reader, opened, out);
}
