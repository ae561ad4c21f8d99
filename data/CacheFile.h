// The extraction cache (".vx.cache", format version 6): the dataset laid out as W × H textures in
// chunks, each array stored as a block (uint32 S, then the raw array when S = 0, else S bytes of
// LZO1X data that decompress to it).
//
// Header: uint32 magic 0xCACE0007, uint32 W, uint32 H, box (centre, axis 0, axis 1, axis 2,
// half-extents: 5 × 3 float32), float32 data minimum, float32 data maximum, uint32 C;
// then C chunks; then the magic again. A chunk, in file order:
//   uint32 vertex count | block: vertex array (W·H × 4 float32) | block: first vertex weights array
//   (W·H × 4 float32) | block: vertex indices array (W·H × 4 uint16) | block: vertex weights array
//   (W·H × 4 float32) | uint32 reserved | int32 row count 0 | int32 row count 1 | block: edge map
//   (W·H × 4 uint8) | uint32 tetrahedron count | block: tetrahedron map (W·H × 4 uint16) | uint32 N |
//   block: row intervals (N × 2 float32, N ≤ H: one interval per texture row)
//
// CacheReader is the parse half of reading a cache into the engine: it reads and checks the file
// chunk by chunk into plain host memory, printing the reader's messages, and leaves the textures,
// the back end's own chunk form and the interval trees to the engine. The engine's loop that keeps
// the order of effects and messages of the whole read (engine/Dataset.cpp, readCache; the engine
// first walks the chunks with indexChunk, reads each chunk with a reader of its own on worker
// threads a few chunks ahead, and takes each chunk's stages and messages in this order on its
// own thread):
//
//   CacheReader reader(textureWidth, textureHeight);
//   if (!reader.open(path)) return false;                 // nothing changed yet
//   reader.setUnusedArraysSkipped(true);
//   reader.setPaddingSkipped(true);
//   modelBox = reader.header().box; totalTets = 0; chunkTree = new PvIntervalTreeBTree(0, 1, 1, false, 400);
//   ChunkData data;                                       // reused: its arrays keep their storage
//   for (k = 0; k < reader.header().chunkCount; ++k) {
//     append a new CacheChunk;
//     bool ok = reader.readChunk(data, [&](ChunkStage s, const ChunkData& d) {
//       VertexArray: create vertexTex from d.vertexArray      (float RGBA, W × H)
//       WeightArray: create weightTex from d.weightArray      (float RGBA, W × H)
//       RowCounts:   rowCount0/1 = d.rowCount0/1
//       EdgeMap:     create edgeMapTex from d.edgeMap         (GL_RGBA8, unsigned bytes, W × H)
//       TetCount:    totalTets += d.tetCount
//       TetMap:      d.tetMapAsFloat(floats); create tetMapTex from it (float RGBA, W × H)
//       Complete:    the back end's form of the chunk; rowTree: insert (d.intervals[2j],
//                    d.intervals[2j+1], j, 0) for every row j; chunkTree->insert(range.low,
//                    range.high, k, 0) with range = d.intervalRange()
//     });                                                 // (textures only for the fragment passes)
//     if (!ok) return false;                              // chunks read so far stay usable
//   }
//   return reader.finish();                               // then the engine's view scale, rotations, uniforms
//
// With chunks on demand the engine reads indexChunk for every chunk instead (the same chunk tree;
// each row tree is built from the chunk's intervals when an isovalue first asks for its rows), and
// later each chunk's bytes alone through openChunk and readChunk.
#pragma once

#include "PkTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Compressor;

constexpr std::uint32_t kCacheVersion = 6;
constexpr std::uint32_t kCacheMagic = 0xCACE0001u + kCacheVersion; // 0xCACE0007

// The model's oriented bounding box as the cache header stores it.
struct CacheBox {
  PkVec3f centre;
  PkVec3f axis[3];
  PkVec3f halfExtent; // along axes 0, 1, 2 in x, y, z

  // 1 / the largest half-extent (a later one counts only when strictly greater).
  float viewScale() const;
  // Corners in the order c−A−B−C, c+A−B−C, c+A+B−C, c−A+B−C, c−A−B+C, c+A−B+C, c+A+B+C, c−A+B+C,
  // with A, B, C the axes times their half-extents.
  void corners(PkVec3f out[8]) const;
  // The two uniforms that map the box onto the unit cube: (1, 1, 1) / (corner 6 − corner 0)
  // component-wise (a zero divisor gives +infinity), and corner 0.
  PkVec3f modelScale() const;
  PkVec3f modelOffset() const;
};

struct CacheHeader {
  std::uint32_t textureWidth = 0;  // W the cache was built for
  std::uint32_t textureHeight = 0; // H
  CacheBox box;
  float dataMin = 0.0f;
  float dataMax = 0.0f;
  std::uint32_t chunkCount = 0; // C (the writer writes the number of chunks it is given instead)
};

// How far the reader got in a chunk; each value means that stage and every earlier one are complete.
enum class ChunkStage {
  None,        // nothing read yet
  VertexCount, // vertexCount
  VertexArray, // vertexArray
  WeightArray, // firstWeightArray, vertexIndices, weightArray
  RowCounts,   // reserved, rowCount0, rowCount1
  EdgeMap,     // edgeMap
  TetCount,    // tetCount
  TetMap,      // tetMap
  Complete     // intervals: the chunk was read completely
};

// The seven blocks of a chunk, in file order, with the words their failure messages use.
enum class CacheBlock { VertexArray, FirstWeights, VertexIndices, Weights, EdgeMap, TetMap, Intervals };
constexpr int kCacheBlockCount = 7;
const char* cacheBlockName(CacheBlock block); // "vertex array", "vertex weights array", ...
// The most compressed bytes a block may store in a W × H cache: the reader takes them into a scratch
// array of the block's element type with 4·W·H elements (16·W·H bytes for float arrays, 8·W·H for
// uint16, 4·W·H for the edge map; the row intervals use the float one). A larger stored size is that
// block's failure, so writers keep such a block raw.
std::uint64_t cacheBlockStoredLimit(CacheBlock block, std::uint32_t width, std::uint32_t height);

// One chunk in host memory. Every W·H array has 4·W·H elements, texel order row by row, W texels
// per row, row 0 first (as glTexImage2D takes it).
struct ChunkData {
  std::uint32_t vertexCount = 0;             // vertex slots in use (≤ W·H in a sound file)
  std::vector<float> vertexArray;            // x, y, z of the position and the scalar value
  std::vector<float> firstWeightArray;       // stored by the builder, not used by the viewer
  std::vector<std::uint16_t> vertexIndices;  // stored by the builder, not used by the viewer
  std::vector<float> weightArray;            // gradient x, y, z and the scalar value
  std::uint32_t reserved = 0;
  std::int32_t rowCount0 = 0;
  std::int32_t rowCount1 = 0;
  std::vector<std::uint8_t> edgeMap;         // x0, y0, x1, y1 (coordinate · 255) of one edge per texel
  std::uint32_t tetCount = 0;                // tetrahedra in the chunk
  std::vector<std::uint16_t> tetMap;         // global edge indices, four per texel, as stored
  std::vector<float> intervals;              // 2·N: low and high of texture row j at 2j and 2j + 1
  ChunkStage stage = ChunkStage::None;       // set by the reader

  std::uint32_t intervalCount() const { return static_cast<std::uint32_t>(intervals.size() / 2); }
  // Every W·H array at its full size (4 elements per texel) and zero; the rest untouched.
  void allocate(int width, int height);
  // The tetrahedron map converted value by value to float32 (the texture's content); out is resized.
  void tetMapAsFloat(std::vector<float>& out) const;
  // [smallest low, largest high] over the row intervals, starting from +FLT_MAX and −FLT_MAX (so a
  // chunk without rows gives [+FLT_MAX, −FLT_MAX], which no value meets).
  struct Range { float low, high; };
  Range intervalRange() const { return rangeOf(intervals); }
  static Range rangeOf(const std::vector<float>& intervals); // the same over intervals laid out so
};

// A whole cache in host memory: what the writer takes and what parseCacheFile returns.
struct CacheData {
  CacheHeader header;
  std::vector<ChunkData> chunks;
};

// What a chunk leaves when its W·H blocks are passed over: where it lies in the file, and the
// fields the chunk tree, the row trees and the counts need.
struct ChunkIndex {
  std::uint64_t offset = 0; // of its vertex count, from the start of the file
  std::uint64_t size = 0;   // its bytes, up to the end of its row intervals
  std::uint32_t vertexCount = 0;
  std::int32_t rowCount0 = 0;
  std::int32_t rowCount1 = 0;
  std::uint32_t tetCount = 0;
  std::vector<float> intervals; // as ChunkData::intervals
};

class CacheReader {
public:
  // textureWidth × textureHeight is the engine's texture size, which the file must repeat
  // (both in [1, 4096]).
  CacheReader(int textureWidth, int textureHeight);
  ~CacheReader();
  CacheReader(const CacheReader&) = delete;
  CacheReader& operator=(const CacheReader&) = delete;

  // Opens the file and reads the header. False after one warning:
  //   "cannot read file " + path
  //   "wrong cache format " + (magic − 0xCACE0001) + " - need 6"       wrong magic
  //   "wrong cache format - need 6"                                    the file ends early, also when
  //                                                                    C chunks cannot fit in the rest
  //   "cache constructed for " + width + " texture width - need " + W
  //   "cache constructed for " + height + " texture height - need " + H
  // Equal data minimum and maximum print the error "invalid data range" and do not fail.
  bool open(const std::string& path);
  // The same over a file image in memory, which must outlive the reader.
  bool openBytes(const unsigned char* data, std::size_t size);

  const CacheHeader& header() const { return header_; }
  std::uint32_t chunksLeft() const { return chunksLeft_; }

  // Reads the next chunk into chunk (arrays resized to their raw sizes; pass the same ChunkData
  // every time to reuse its storage). After each completed stage, onStage (when set) is called
  // with that stage, so the engine can create each texture as soon as its array is there.
  // Returns true when the chunk was read completely; false after its messages, with chunk.stage
  // saying what had been read:
  //   error "benutze nur " + W·H + " von " + count + " Vertices"   (vertex count above W·H; goes on)
  //   error "failure decompressing interval tree"                   N above the texture height H
//   error "failure decompressing " + block name                   a compressed block that fails:
  //     after the codec's own line ("decompressor not available" or "internal error - decompression
  //     failed: " + code), or alone when its stored size exceeds its scratch array or it
  //     decompresses to fewer bytes than its raw size
  //   warning "wrong cache format - need 6"                         the file ends early
  // Must not be called when chunksLeft() is 0 or after a failure.
  using StageCallback = std::function<void(ChunkStage, const ChunkData&)>;
  bool readChunk(ChunkData& chunk, const StageCallback& onStage = {});

  // Reads the next chunk's words and row intervals and passes over its W·H blocks by their size
  // words, each checked as readChunk checks it but nothing decompressed. False after readChunk's
  // messages for what it checks.
  bool indexChunk(ChunkIndex& out);
  // Reads one chunk later on its own: data holds the chunk's bytes as indexChunk found them (they
  // must outlive the reader), and readChunk then reads it. The vertex count is not warned about
  // again (indexChunk did) unless warnVertexCount, for a reader that said nothing of the index.
  bool openChunk(const unsigned char* data, std::size_t size, bool warnVertexCount = false);
  // Copies n bytes at offset of what open or openBytes opened, without moving the read position;
  // false when they are not all there. Other threads may call it while this one reads on.
  bool readAt(std::uint64_t offset, void* destination, std::size_t n) const;
  // Bytes of what was opened.
  std::uint64_t sourceSize() const;
  // The most bytes one chunk of a W × H cache can take in the file.
  static std::uint64_t largestChunkBytes(int width, int height);

  // Leaves the two arrays the viewer does not use (first weights, vertex indices) empty: their size
  // words are checked and their bytes passed over, but not decompressed.
  void setUnusedArraysSkipped(bool skip) { skipUnused_ = skip; }
  // Decompresses the vertex and weight arrays only as far as the vertices the edge map names, and
  // the tetrahedron map only as far as the rows of the row intervals, which is all the passes read
  // of them (for W, H ≤ 256); the rest of each reads as zeros. A writer pads the arrays with zeros,
  // so such a file reads the same, in a fraction of the time; the stream past what is read is not
  // checked.
  void setPaddingSkipped(bool skip) { skipPadding_ = skip; }
  // Whether a chunk's blocks are decompressed on several threads (the default).
  void setParallelBlocks(bool parallel) { parallelBlocks_ = parallel; }

  // After the last chunk: reads the end magic. False after "wrong cache format " + (word −
  // 0xCACE0001) + " - need 6", or "wrong cache format - need 6" when the file ends there.
  bool finish();

  class Source; // where the bytes come from (file or memory)

private:
  bool readHeader();
  bool readCompressed(CacheBlock block, std::uint32_t stored);
  bool readIntervals(std::vector<float>& intervals, Compressor& codec);
  bool decompressInto(CacheBlock block, std::uint32_t stored, unsigned char* destination,
                      std::size_t rawSize, Compressor& codec);
  bool blockFailure(CacheBlock block);
  void reportTruncated();

  int width_;
  int height_;
  std::unique_ptr<Source> source_;
  CacheHeader header_;
  std::uint32_t chunksLeft_ = 0;
  bool failed_ = false;
  std::vector<unsigned char> scratch_; // compressed bytes of one block, 16·W·H
  std::vector<unsigned char> blockScratch_[8]; // compressed bytes of each W·H block of a chunk
  bool skipUnused_ = false;
  bool skipPadding_ = false;
  bool quietVertexCount_ = false;
  bool parallelBlocks_ = true;
};

// Reads a whole cache: header, every chunk, end magic. out.chunks receives every chunk record the
// read started, the failing one last with its stage; returns false after the reader's messages.
bool parseCacheFile(const std::string& path, int textureWidth, int textureHeight, CacheData& out);
bool parseCacheBytes(const unsigned char* data, std::size_t size, int textureWidth,
                     int textureHeight, CacheData& out);
