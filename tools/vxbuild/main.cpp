// vxbuild: turns a tetrahedral mesh with a point field into a Vorex dataset (OUT.vx and
// OUT.vx.cache), makes demo datasets and writes the 3D texture of the texture shading mode.
#include "datasetbuild/Builder.h"
#include "CommandLine.h"

int main(int argc, char** argv) {
  vxb::BuildOptions options;
  const int status = vxb::parseCommandLine(argc, argv, options);
  if (status >= 0) return status;
  return vxb::runVxbuild(options);
}
