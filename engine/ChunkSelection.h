// Which parts of the dataset an isovalue needs: the chunk tree gives the active chunks, each
// chunk's row tree the span of tetrahedron rows that may cross. Both back ends extract the spans
// this selection returns, and the surface is drawn from them.
#pragma once

#include "ExtractionTypes.h"

#include <functional>
#include <vector>

class Dataset;
struct CacheChunk;

// Ids of the chunks whose value range holds iso, in the chunk tree's order, valid indices only.
std::vector<int> activeChunks(const Dataset& dataset, float iso);

// The chunk's row query at iso (building its row tree when it is pending): first = the smallest of
// `start` and the rows found, end = 1 + the largest of 0 and the rows found (so end ≤ first when
// no row holds iso and start is high).
void rowSpan(CacheChunk& chunk, float iso, int start, int& first, int& end);

struct Selection {
  std::vector<ChunkSpan> spans; // the active chunks' spans, in the chunk tree's order
  // A chunk claims more rows than the texture height: the selection stopped before it.
  bool overLimit = false;
};

// Every active chunk's span, up to a chunk over the row limit. queryDone is told after the chunk
// query and after each row query (the profiler's hook).
Selection selectSpans(const Dataset& dataset, float iso, const std::function<void()>& queryDone = {});
