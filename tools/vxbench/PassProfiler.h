// The engine's extraction taken apart for timing: the same interval-tree queries and the same four
// passes per chunk with the same programs, textures and targets of the engine, but with glFinish
// after every part, so that each part's time on the graphics processor shows. It leaves the
// output buffers as the engine's extract() would (without primitive records), and the engine's
// rowMin and rowEnd as those of the last chunk.
#pragma once

#include "BenchReport.h"

#include <vector>

class IsosurfaceEngine;

namespace vxbench {

// The rows one chunk processes at an isovalue: [rowMin, rowEnd) in data rows, as the engine's
// extraction selects them (rowEnd ≤ rowMin when no row matches).
struct ChunkSpan {
  int chunk = 0;
  int rowMin = 0;
  int rowEnd = 0;
  bool drawn() const { return rowEnd > rowMin; }
};

// The chunk and row queries of the engine's extraction at `iso`, in the engine's order. False when
// a chunk's row limit exceeds the texture height (the extraction would stop there).
bool queryChunkSpans(IsosurfaceEngine& engine, float iso, std::vector<ChunkSpan>& spans);

// One extraction at engine.isovalue, timed part by part. False when it cannot run (no dataset, the
// passes are not ready, or a chunk over the row limit).
bool profileExtraction(IsosurfaceEngine& engine, PassTimes& times);

} // namespace vxbench
