// The command line of vxbuild.
#pragma once

#include "datasetbuild/Builder.h"

namespace vxb {

// Fills options from argv. Returns -1 to go on, or the exit status to end with at once (0 after
// --help, 2 after a usage error, which is printed).
int parseCommandLine(int argc, char** argv, BuildOptions& options);

const char* usageText();

} // namespace vxb
