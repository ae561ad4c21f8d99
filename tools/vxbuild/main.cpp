// vxbuild: turns a tetrahedral mesh with a point field into a Vorex dataset (OUT.vx and
// OUT.vx.cache), makes demo datasets and writes the 3D texture of the texture shading mode.
#include "datasetbuild/Builder.h"
#include "CommandLine.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The build walks arrays of many gigabytes (faces, edge uses, per-tetrahedron lists) in orders far
// from their layout. With the heap in transparent huge pages it takes a fraction of the page faults
// and address-translation misses that otherwise cost about a third of its time. glibc reads that
// choice (the tunable glibc.malloc.hugetlb) only when a process starts, so vxbuild starts itself
// once more with it added. VX_BUILD_SMALL_PAGES=1 keeps the plain heap.
void restartWithHugePages(char** argv) {
#ifdef __linux__
  const char* small = std::getenv("VX_BUILD_SMALL_PAGES");
  if (small && std::strcmp(small, "0") != 0) return;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  const std::string current = tunables ? tunables : "";
  if (current.find("glibc.malloc.hugetlb") != std::string::npos) return; // already chosen, by us or the caller
  const std::string wanted = current.empty() ? "glibc.malloc.hugetlb=1" : current + ":glibc.malloc.hugetlb=1";
  if (setenv("GLIBC_TUNABLES", wanted.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not restarted (no /proc): go on as we are.
  if (tunables)
    setenv("GLIBC_TUNABLES", tunables, 1);
  else
    unsetenv("GLIBC_TUNABLES");
#else
  (void)argv;
#endif
}

} // namespace

int main(int argc, char** argv) {
  restartWithHugePages(argv);
  vxb::BuildOptions options;
  const int status = vxb::parseCommandLine(argc, argv, options);
  if (status >= 0) return status;
  return vxb::runVxbuild(options);
}
