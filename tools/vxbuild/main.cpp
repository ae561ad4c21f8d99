// vxbuild: turns a tetrahedral mesh with a point field into a Vorex dataset (OUT.vx and
// OUT.vx.cache), makes demo datasets and writes the 3D texture of the texture shading mode.
#include "datasetbuild/Builder.h"
#include "CommandLine.h"
#include "HugePages.h"

int main(int argc, char** argv) {
  // The build walks arrays of many gigabytes in orders far from their layout: in huge pages it
  // takes a fraction of the page faults and address-translation misses that otherwise cost about a
  // third of its time. VX_BUILD_SMALL_PAGES=1 keeps the plain heap.
  pk::restartWithHugePages(argv, "VX_BUILD_SMALL_PAGES");
  vxb::BuildOptions options;
  const int status = vxb::parseCommandLine(argc, argv, options);
  if (status >= 0) return status;
  return vxb::runVxbuild(options);
}
