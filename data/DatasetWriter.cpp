#include "DatasetWriter.h"

#include "Compressor.h"
#include "PkDiag.h"

#include <cstdio>
#include <cstring>

namespace {

void put(std::vector<unsigned char>& out, const void* data, std::size_t n) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  out.insert(out.end(), bytes, bytes + n);
}
void putU32(std::vector<unsigned char>& out, std::uint32_t v) { put(out, &v, 4); }
void putI32(std::vector<unsigned char>& out, std::int32_t v) { put(out, &v, 4); }
void putF32(std::vector<unsigned char>& out, float v) { put(out, &v, 4); }
void putVec(std::vector<unsigned char>& out, const PkVec3f& v) {
  putF32(out, v.x);
  putF32(out, v.y);
  putF32(out, v.z);
}

bool writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file && std::fclose(file) != 0) ok = false;
  if (!ok) pk::error("cannot write file " + path);
  return ok;
}

// Appends one block: compressed when that is asked for, pays and fits in what a reader takes for
// the block (storedLimit bytes), raw otherwise. A compressed block beyond that limit would make the
// reader fail a file whose raw form it reads.
CacheBlockLocation putBlock(std::vector<unsigned char>& out, const void* data, std::size_t rawSize,
                            bool tryCompression, std::uint64_t storedLimit, Compressor& codec,
                            std::vector<unsigned char>& work) {
  CacheBlockLocation where;
  where.offset = out.size();
  where.rawSize = rawSize;
  std::size_t stored = 0;
  if (tryCompression && rawSize > 0 && codec.isAvailable()) {
    work.assign(static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + rawSize);
    stored = codec.compress(work.data(), rawSize);
    if (stored > storedLimit) stored = 0;
  }
  putU32(out, static_cast<std::uint32_t>(stored));
  if (stored)
    put(out, work.data(), stored);
  else
    put(out, data, rawSize);
  where.storedSize = static_cast<std::uint32_t>(stored);
  return where;
}

} // namespace

bool writeGeometryBytes(const GeometryData& geometry, std::vector<unsigned char>& out) {
  out.clear();
  for (int k = 0; k < 2; ++k) {
    if (geometry.triangles[k].size() % 3 != 0) {
      pk::ErrorLine() << "geometry triangle list " << k << " has a length that is not a multiple of 3";
      return false;
    }
  }
  out.reserve(20 + 12 * (geometry.vertices.size() + geometry.triangleCount(0) + geometry.triangleCount(1)));
  putU32(out, kGeometryStartMagic);
  putU32(out, static_cast<std::uint32_t>(geometry.vertices.size()));
  putU32(out, geometry.triangleCount(0));
  putU32(out, geometry.triangleCount(1));
  for (const PkVec3f& v : geometry.vertices) putVec(out, v);
  for (int k = 0; k < 2; ++k)
    if (!geometry.triangles[k].empty()) put(out, geometry.triangles[k].data(), 4 * geometry.triangles[k].size());
  putU32(out, kGeometryEndMagic);
  return true;
}

bool writeGeometryFile(const std::string& path, const GeometryData& geometry) {
  std::vector<unsigned char> bytes;
  return writeGeometryBytes(geometry, bytes) && writeBytes(path, bytes);
}

namespace {

bool chunkArraysFit(const ChunkData& c, std::size_t texels) {
  const std::size_t n = 4 * texels;
  return c.vertexArray.size() == n && c.firstWeightArray.size() == n && c.vertexIndices.size() == n &&
         c.weightArray.size() == n && c.edgeMap.size() == n && c.tetMap.size() == n && c.intervals.size() % 2 == 0;
}

void putCacheHeader(std::vector<unsigned char>& out, const CacheHeader& h, std::uint32_t chunkCount,
                    std::uint32_t magic, CacheLayout& where) {
  putU32(out, magic);
  putU32(out, h.textureWidth);
  putU32(out, h.textureHeight);
  putVec(out, h.box.centre);
  for (int a = 0; a < 3; ++a) putVec(out, h.box.axis[a]);
  putVec(out, h.box.halfExtent);
  putF32(out, h.dataMin);
  putF32(out, h.dataMax);
  where.chunkCountOffset = out.size();
  putU32(out, chunkCount);
}

// Appends one chunk record; `base` is the file offset at which `out` starts.
CacheChunkLocation putCacheChunk(std::vector<unsigned char>& out, std::size_t base, const ChunkData& c,
                                 const CacheHeader& h, bool compress, Compressor& codec,
                                 std::vector<unsigned char>& work) {
  const std::size_t texels = std::size_t(h.textureWidth) * h.textureHeight;
  CacheChunkLocation chunk;
  chunk.offset = base + out.size();
  auto block = [&](CacheBlock b, const void* data, std::size_t bytes) {
    CacheBlockLocation& at = chunk.blocks[static_cast<int>(b)];
    at = putBlock(out, data, bytes, compress, cacheBlockStoredLimit(b, h.textureWidth, h.textureHeight), codec, work);
    at.offset += base;
  };
  putU32(out, c.vertexCount);
  block(CacheBlock::VertexArray, c.vertexArray.data(), 16 * texels);
  block(CacheBlock::FirstWeights, c.firstWeightArray.data(), 16 * texels);
  block(CacheBlock::VertexIndices, c.vertexIndices.data(), 8 * texels);
  block(CacheBlock::Weights, c.weightArray.data(), 16 * texels);
  putU32(out, c.reserved);
  putI32(out, c.rowCount0);
  putI32(out, c.rowCount1);
  block(CacheBlock::EdgeMap, c.edgeMap.data(), 4 * texels);
  putU32(out, c.tetCount);
  block(CacheBlock::TetMap, c.tetMap.data(), 8 * texels);
  putU32(out, c.intervalCount());
  block(CacheBlock::Intervals, c.intervals.data(), 4 * c.intervals.size());
  return chunk;
}

} // namespace

bool writeCacheBytes(const CacheData& cache, std::vector<unsigned char>& out,
                     const CacheWriteOptions& options, CacheLayout* layout) {
  out.clear();
  const CacheHeader& h = cache.header;
  const std::size_t texels = std::size_t(h.textureWidth) * h.textureHeight;
  for (std::size_t k = 0; k < cache.chunks.size(); ++k) {
    if (!chunkArraysFit(cache.chunks[k], texels)) {
      pk::ErrorLine() << "cannot write cache: chunk " << k << " has arrays of the wrong size";
      return false;
    }
  }

  CacheLayout where;
  putCacheHeader(out, h, static_cast<std::uint32_t>(cache.chunks.size()), options.magic, where);
  const bool compress = options.blocks == CacheWriteOptions::Blocks::CompressWhenSmaller;
  Compressor codec;
  std::vector<unsigned char> work;
  for (const ChunkData& c : cache.chunks) where.chunks.push_back(putCacheChunk(out, 0, c, h, compress, codec, work));
  where.endMagicOffset = out.size();
  putU32(out, options.magic);
  if (layout) *layout = std::move(where);
  return true;
}

bool writeCacheFile(const std::string& path, const CacheData& cache, const CacheWriteOptions& options,
                    CacheLayout* layout) {
  std::vector<unsigned char> bytes;
  return writeCacheBytes(cache, bytes, options, layout) && writeBytes(path, bytes);
}

CacheChunkEncoder::CacheChunkEncoder() : codec_(new Compressor) {}
CacheChunkEncoder::~CacheChunkEncoder() = default;

bool CacheChunkEncoder::encode(const ChunkData& chunk, const CacheHeader& header, const CacheWriteOptions& options,
                               std::size_t index, EncodedCacheChunk& out) {
  out.bytes.clear();
  if (!chunkArraysFit(chunk, std::size_t(header.textureWidth) * header.textureHeight)) {
    pk::ErrorLine() << "cannot write cache: chunk " << index << " has arrays of the wrong size";
    return false;
  }
  const bool compress = options.blocks == CacheWriteOptions::Blocks::CompressWhenSmaller;
  out.location = putCacheChunk(out.bytes, 0, chunk, header, compress, *codec_, work_);
  return true;
}

struct CacheFileWriter::State {
  std::string path;
  std::FILE* file = nullptr;
  CacheHeader header;
  CacheWriteOptions options;
  std::uint32_t chunkCount = 0;
  std::uint32_t chunksWritten = 0;
  std::uint64_t offset = 0;
  bool failed = false;
  CacheChunkEncoder encoder;
  EncodedCacheChunk encoded;
  std::vector<unsigned char> bytes;
};

CacheFileWriter::CacheFileWriter() = default;

CacheFileWriter::~CacheFileWriter() {
  if (state_ && state_->file) std::fclose(state_->file);
}

bool CacheFileWriter::put() {
  State& s = *state_;
  if (!s.bytes.empty() && std::fwrite(s.bytes.data(), 1, s.bytes.size(), s.file) != s.bytes.size()) return fail();
  s.offset += s.bytes.size();
  s.bytes.clear();
  return true;
}

bool CacheFileWriter::fail() {
  State& s = *state_;
  if (!s.failed) pk::error("cannot write file " + s.path);
  s.failed = true;
  if (s.file) std::fclose(s.file);
  s.file = nullptr;
  return false;
}

bool CacheFileWriter::open(const std::string& path, const CacheHeader& header, std::uint32_t chunkCount,
                           const CacheWriteOptions& options) {
  state_.reset(new State);
  State& s = *state_;
  s.path = path;
  s.header = header;
  s.options = options;
  s.chunkCount = chunkCount;
  s.file = std::fopen(path.c_str(), "wb");
  if (!s.file) return fail();
  CacheLayout where;
  putCacheHeader(s.bytes, header, chunkCount, options.magic, where);
  return put();
}

bool CacheFileWriter::writeChunk(const ChunkData& chunk, CacheChunkLocation* where) {
  if (!state_ || state_->failed || !state_->file) return false;
  State& s = *state_;
  if (!s.encoder.encode(chunk, s.header, s.options, s.chunksWritten, s.encoded)) {
    s.failed = true;
    return false;
  }
  return writeEncoded(s.encoded, where);
}

bool CacheFileWriter::writeEncoded(const EncodedCacheChunk& chunk, CacheChunkLocation* where) {
  if (!state_ || state_->failed || !state_->file) return false;
  State& s = *state_;
  if (s.chunksWritten >= s.chunkCount) {
    pk::ErrorLine() << "cannot write cache: more than the " << s.chunkCount << " chunks its header announces";
    s.failed = true;
    return false;
  }
  CacheChunkLocation at = chunk.location;
  at.offset += std::size_t(s.offset);
  for (CacheBlockLocation& b : at.blocks) b.offset += std::size_t(s.offset);
  if (!chunk.bytes.empty() && std::fwrite(chunk.bytes.data(), 1, chunk.bytes.size(), s.file) != chunk.bytes.size())
    return fail();
  s.offset += chunk.bytes.size();
  ++s.chunksWritten;
  if (where) *where = at;
  return true;
}

bool CacheFileWriter::finish() {
  if (!state_ || state_->failed || !state_->file) return false;
  State& s = *state_;
  if (s.chunksWritten != s.chunkCount) {
    pk::ErrorLine() << "cannot write cache: " << s.chunksWritten << " of the " << s.chunkCount
                    << " chunks its header announces were written";
    s.failed = true;
    return false;
  }
  putU32(s.bytes, s.options.magic);
  if (!put()) return false;
  std::FILE* f = s.file;
  s.file = nullptr;
  if (std::fflush(f) != 0 || std::ferror(f)) {
    std::fclose(f);
    return fail();
  }
  if (std::fclose(f) != 0) return fail();
  return true;
}

std::uint64_t CacheFileWriter::bytesWritten() const { return state_ ? state_->offset : 0; }
