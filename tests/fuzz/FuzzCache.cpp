// Fuzz target: the cache reader over a whole file image, then the row and chunk interval trees of
// what it read, and a write/parse round trip of a cache it accepts. The texture size is taken from
// the header when it is small (so that the fuzzer can reach the chunks quickly), else 4 × 4.
#include "CacheFile.h"
#include "DatasetWriter.h"
#include "PvIntervalTree.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

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

  if (ok) {
    std::vector<unsigned char> bytes;
    CacheData again;
    if (!writeCacheBytes(cache, bytes) || !parseCacheBytes(bytes.data(), bytes.size(), width, height, again) ||
        again.chunks.size() != cache.chunks.size())
      std::abort();
    for (std::size_t k = 0; k < cache.chunks.size(); ++k)
      if (std::memcmp(again.chunks[k].tetMap.data(), cache.chunks[k].tetMap.data(), 2 * cache.chunks[k].tetMap.size()) != 0 ||
          again.chunks[k].edgeMap != cache.chunks[k].edgeMap)
        std::abort();
  }
  return 0;
}
