// The benchmark run itself: an engine on an offscreen context, the dataset loaded, then either the
// timed extractions (with the count, the check, the PLY export and the profile) or one rendered
// frame. Needs the Qt application object and a display; the caller checks both.
#pragma once

#include "BenchOptions.h"

namespace vxbench {

// Returns the process's exit status: 0 when everything asked for worked, 1 after an error line.
int runBench(const BenchOptions& options);

// Whether a path names a dataset (NAME.vx) rather than a mesh for the builder.
bool isDataset(const std::string& path);
// Points options.dataset at the dataset of the mesh it names (its first field, or options.field)
// in the cache folder the viewer uses ($XDG_CACHE_HOME/vorex), built there first with the
// builder's own code when it is not there yet. False after an error line.
bool buildFromMesh(BenchOptions& options);

} // namespace vxbench
