// Work spread over the processor's cores: parallelFor runs fn(i) for every i in [0, count), each
// index exactly once, on the calling thread and up to workerCount() − 1 more. The calling thread
// reports the number of finished indices to onProgress (when set) as it goes, so progress and its
// listener stay on the thread the work runs on.
#pragma once

#include <cstddef>
#include <functional>

namespace vxb {

// Threads that parallel work uses: the hardware's, at least 1. The environment variable
// VX_BUILD_THREADS, when set to a positive number, takes its place.
unsigned workerCount();

void parallelFor(size_t count, const std::function<void(size_t)>& fn,
                 const std::function<void(size_t done)>& onProgress = {});

} // namespace vxb
