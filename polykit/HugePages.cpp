#include "HugePages.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace pk {

void restartWithHugePages(char** argv, const char* optOut) {
#ifdef __linux__
  const char* small = optOut ? std::getenv(optOut) : nullptr;
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
  (void)optOut;
#endif
}

} // namespace pk
