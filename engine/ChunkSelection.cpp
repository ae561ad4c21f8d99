#include "ChunkSelection.h"

#include "Dataset.h"
#include "PvIntervalTree.h"

#include <algorithm>

std::vector<int> activeChunks(const Dataset& dataset, float iso) {
  // All ids first: the callers' row queries must not run inside the chunk query.
  std::vector<int> active;
  if (!dataset.chunkTree) return active;
  dataset.chunkTree->startQuery(iso);
  while (const IntervalEntry* e = dataset.chunkTree->next())
    if (e->id >= 0 && std::size_t(e->id) < dataset.chunks.size()) active.push_back(e->id);
  return active;
}

void rowSpan(CacheChunk& chunk, float iso, int start, int& first, int& end) {
  first = start;
  int largest = 0;
  if (PvIntervalTreeBTree* rows = chunk.rows()) {
    rows->startQuery(iso);
    while (const IntervalEntry* e = rows->next()) {
      first = std::min(first, e->id);
      largest = std::max(largest, e->id);
    }
  }
  end = 1 + largest;
}

Selection selectSpans(const Dataset& dataset, float iso, const std::function<void()>& queryDone) {
  Selection selection;
  const std::vector<int> active = activeChunks(dataset, iso);
  if (queryDone) queryDone();
  for (int k : active) {
    CacheChunk& chunk = *dataset.chunks[std::size_t(k)];
    const int limit = std::max(chunk.rowCount0, chunk.rowCount1);
    if (limit > dataset.textureHeight) {
      selection.overLimit = true;
      break;
    }
    int first = 0, end = 0;
    rowSpan(chunk, iso, limit, first, end);
    if (queryDone) queryDone();
    selection.spans.push_back(ChunkSpan{k, first, end});
  }
  return selection;
}
