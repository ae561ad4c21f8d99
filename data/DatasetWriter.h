// Writers of the two dataset files, from the host structures the parsers produce. They write what
// they are given (also invalid indices or counts, so tests can build broken files); only array
// sizes that the format cannot express are refused.
#pragma once

#include "CacheFile.h"
#include "GeometryFile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The geometry file image of geometry: header, vertices, both triangle lists, end word.
// A triangle list whose length is not a multiple of 3 is refused (empty result, false).
bool writeGeometryBytes(const GeometryData& geometry, std::vector<unsigned char>& out);
// Writes the file; false after the error "cannot write file " + path (or the size error below).
// Error "geometry triangle list k has a length that is not a multiple of 3" for a malformed list.
bool writeGeometryFile(const std::string& path, const GeometryData& geometry);

struct CacheWriteOptions {
  enum class Blocks {
    CompressWhenSmaller, // LZO1X-1 when the result is strictly smaller than the raw array, else raw
    Raw                  // every block raw (S = 0)
  };
  Blocks blocks = Blocks::CompressWhenSmaller;
  std::uint32_t magic = kCacheMagic; // written at both ends; other values make files of other versions
};

// Where things went in a written cache, for tests that damage files on purpose.
struct CacheBlockLocation {
  std::size_t offset = 0;      // offset of the block's size word S
  std::uint32_t storedSize = 0; // S: 0 for a raw block
  std::size_t rawSize = 0;      // size of the array in bytes
};
struct CacheChunkLocation {
  std::size_t offset = 0; // offset of the chunk's vertex count
  std::array<CacheBlockLocation, kCacheBlockCount> blocks{}; // indexed by CacheBlock
};
struct CacheLayout {
  std::size_t chunkCountOffset = 0;
  std::vector<CacheChunkLocation> chunks;
  std::size_t endMagicOffset = 0;
};

// The cache file image of cache, built for cache.header's texture width and height. The header's
// chunkCount is ignored: C is the number of chunks given. Every chunk's W·H arrays must have
// 4·W·H elements and its intervals an even number; otherwise the error
// "cannot write cache: chunk k has arrays of the wrong size" and false.
bool writeCacheBytes(const CacheData& cache, std::vector<unsigned char>& out,
                     const CacheWriteOptions& options = {}, CacheLayout* layout = nullptr);
// Writes the file; false after "cannot write file " + path or the size error.
bool writeCacheFile(const std::string& path, const CacheData& cache,
                    const CacheWriteOptions& options = {}, CacheLayout* layout = nullptr);

// One chunk record as the cache file stores it, made apart from the file so that chunks can be
// compressed on several threads at once; CacheFileWriter::writeEncoded appends it. The offsets of
// `location` count from the start of `bytes`.
struct EncodedCacheChunk {
  std::vector<unsigned char> bytes;
  CacheChunkLocation location;
};

// Compresses chunks into their records; one per thread (each holds its own codec and buffers).
class CacheChunkEncoder {
public:
  CacheChunkEncoder();
  ~CacheChunkEncoder();
  CacheChunkEncoder(const CacheChunkEncoder&) = delete;
  CacheChunkEncoder& operator=(const CacheChunkEncoder&) = delete;

  // The record of chunk number `index` for a cache with `header`'s texture size. False after
  // "cannot write cache: chunk " + index + " has arrays of the wrong size".
  bool encode(const ChunkData& chunk, const CacheHeader& header, const CacheWriteOptions& options,
              std::size_t index, EncodedCacheChunk& out);

private:
  std::unique_ptr<Compressor> codec_;
  std::vector<unsigned char> work_;
};

// Writes a cache file chunk by chunk as the chunks are made, so that no more than the chunk at hand
// need be in memory; the bytes are those writeCacheFile writes for the same header and chunks. The
// chunk count goes into the header first, so it must be known when the file is opened. After a
// failure every later call returns false without a message; the file is closed but not removed
// (the caller owns its name).
class CacheFileWriter {
public:
  CacheFileWriter();
  ~CacheFileWriter(); // closes a file left unfinished
  CacheFileWriter(const CacheFileWriter&) = delete;
  CacheFileWriter& operator=(const CacheFileWriter&) = delete;

  // Creates the file and writes the header for chunkCount chunks (header.chunkCount is ignored).
  // False after "cannot write file " + path.
  bool open(const std::string& path, const CacheHeader& header, std::uint32_t chunkCount,
            const CacheWriteOptions& options = {});
  // Compresses and appends the next chunk. False after "cannot write file " + path, "cannot write
  // cache: chunk k has arrays of the wrong size" or one beyond the announced count.
  bool writeChunk(const ChunkData& chunk, CacheChunkLocation* where = nullptr);
  // Appends the next chunk as a CacheChunkEncoder made it, for this writer's header and options.
  // The same failures as writeChunk, but for the sizes the encoder checked.
  bool writeEncoded(const EncodedCacheChunk& chunk, CacheChunkLocation* where = nullptr);
  // After the last chunk: the end magic, then the file is flushed and closed. False after "cannot
  // write file " + path, or when fewer chunks than announced were written.
  bool finish();
  // Bytes handed to the file so far.
  std::uint64_t bytesWritten() const;

private:
  struct State;
  bool put();
  bool fail();
  std::unique_ptr<State> state_;
};
