// The benchmark run itself: an engine on an offscreen context, the dataset loaded, then either the
// timed extractions (with the count, the check, the PLY export and the profile) or one rendered
// frame. Needs the Qt application object and a display; the caller checks both.
#pragma once

#include "BenchOptions.h"

namespace vxbench {

// Returns the process's exit status: 0 when everything asked for worked, 1 after an error line.
int runBench(const BenchOptions& options);

} // namespace vxbench
