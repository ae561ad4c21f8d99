// The engine's extraction timed part by part: the engine tells when each part (the interval-tree
// queries, the two interpolation runs, the triangle assembly, the gathers, the copies of the buffer
// targets, the state set-up) has been issued, and the profiler finishes the graphics work there
// with glFinish and books the time since the last part.
#pragma once

#include "BenchReport.h"

class IsosurfaceEngine;

namespace vxbench {

// One extraction at engine.isovalue, timed part by part. False when it cannot run (no dataset, the
// passes are not ready) or stopped at a chunk over the row limit.
bool profileExtraction(IsosurfaceEngine& engine, PassTimes& times);

} // namespace vxbench
