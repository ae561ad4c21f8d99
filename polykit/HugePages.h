// The heap in transparent huge pages for the programs that move hundreds of megabytes: the
// builder's arrays, and the buffers the software renderer allocates and clears for every chunk and
// output batch. glibc reads that choice (the tunable glibc.malloc.hugetlb) only when a process
// starts, so such a program starts itself once more with it added, first thing in main.
#pragma once

namespace pk {

// Restarts the process (same arguments, same process id) with glibc.malloc.hugetlb=1 added to
// GLIBC_TUNABLES, unless the tunables already name it or the environment variable optOut is set to
// anything but "0". Returns only when no restart happened.
void restartWithHugePages(char** argv, const char* optOut);

} // namespace pk
