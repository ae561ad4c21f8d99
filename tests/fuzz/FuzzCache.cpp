// Fuzz target: the cache reader over a whole file image, then the row and chunk interval trees of
// what it read, and a write/parse round trip of a cache it accepts; the chunk index over the same
// image (as an open with chunks on demand reads it), which must keep the chunks the full read
// completes, each of which must read back alone from the byte range the index records. The texture size is taken from
// the header when it is small (so that the fuzzer can reach the chunks quickly), else 4 × 4.
#include "CacheFile.h"
#include "DatasetWriter.h"
#include "PvIntervalTree.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool sameHeader(const CacheHeader& a, const CacheHeader& b) {
  return a.textureWidth == b.textureWidth && a.textureHeight == b.textureHeight &&
         std::memcmp(&a.box, &b.box, sizeof a.box) == 0 && std::memcmp(&a.dataMin, &b.dataMin, 4) == 0 &&
         std::memcmp(&a.dataMax, &b.dataMax, 4) == 0 && a.chunkCount == b.chunkCount;
}

bool sameChunk(const ChunkData& a, const ChunkData& b) {
  return a.vertexCount == b.vertexCount && sameBytes(a.vertexArray, b.vertexArray) &&
         sameBytes(a.firstWeightArray, b.firstWeightArray) && sameBytes(a.vertexIndices, b.vertexIndices) &&
         sameBytes(a.weightArray, b.weightArray) && a.reserved == b.reserved && a.rowCount0 == b.rowCount0 &&
         a.rowCount1 == b.rowCount1 && sameBytes(a.edgeMap, b.edgeMap) && a.tetCount == b.tetCount &&
         sameBytes(a.tetMap, b.tetMap) && sameBytes(a.intervals, b.intervals) && a.stage == b.stage;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int width = 4, height = 4;
  if (size >= 12) {
    std::uint32_t w, h;
    std::memcpy(&w, data + 4, 4);
    std::memcpy(&h, data + 8, 4);
    if (w >= 1 && w <= 16 && h >= 1 && h <= 16) width = int(w), height = int(h);
  }
  CacheData cache;
  const bool ok = parseCacheBytes(data, size, width, height, cache);

  // What the engine does with the chunks it keeps: one tree of rows per chunk, one of chunks.
  PvIntervalTreeBTree chunkTree(0, 1, 1, false, 400);
  for (std::size_t k = 0; k < cache.chunks.size(); ++k) {
    const ChunkData& c = cache.chunks[k];
    if (c.stage != ChunkStage::Complete) continue;
    PvIntervalTreeBTree rowTree(0, 1, 1, false, 400);
    for (std::uint32_t j = 0; j < c.intervalCount(); ++j) rowTree.insert(c.intervals[2 * j], c.intervals[2 * j + 1], int(j), 0);
    const ChunkData::Range r = c.intervalRange();
    chunkTree.insert(r.low, r.high, int(k), 0);
    for (float q : {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}) {
      rowTree.startQuery(q);
      while (const IntervalEntry* e = rowTree.next())
        if (!(e->low <= q && q <= e->high)) std::abort();
    }
    std::vector<float> floats;
    c.tetMapAsFloat(floats);
  }
  chunkTree.startQuery(0.5f);
  while (chunkTree.next()) {
  }

  // The index stops no earlier than the full read, and its ranges read to the same chunks.
  {
    CacheReader reader(width, height);
    std::size_t k = 0;
    if (reader.openBytes(data, size)) {
      ChunkIndex index;
      for (; reader.chunksLeft() > 0 && reader.indexChunk(index); ++k) {
        if (k >= cache.chunks.size()) break;
        const ChunkData& full = cache.chunks[k];
        if (full.stage != ChunkStage::Complete) continue;
        if (index.offset + index.size > size || !sameBytes(index.intervals, full.intervals) ||
            index.tetCount != full.tetCount || index.rowCount0 != full.rowCount0 || index.rowCount1 != full.rowCount1)
          std::abort();
        CacheReader alone(width, height);
        ChunkData read;
        if (!alone.openChunk(data + index.offset, std::size_t(index.size)) || !alone.readChunk(read) ||
            !sameChunk(read, full))
          std::abort();
      }
    }
    std::size_t complete = 0;
    while (complete < cache.chunks.size() && cache.chunks[complete].stage == ChunkStage::Complete) ++complete;
    if (k < complete) std::abort();
  }

  // Whatever the reader accepts must come back bit for bit through the writer and the reader.
  if (ok) {
    std::vector<unsigned char> bytes;
    CacheData again;
    if (!writeCacheBytes(cache, bytes) || !parseCacheBytes(bytes.data(), bytes.size(), width, height, again) ||
        !sameHeader(again.header, cache.header) || again.chunks.size() != cache.chunks.size())
      std::abort();
    for (std::size_t k = 0; k < cache.chunks.size(); ++k)
      if (!sameChunk(again.chunks[k], cache.chunks[k])) std::abort();
  }
  return 0;
}
