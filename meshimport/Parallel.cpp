#include "meshimport/Parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vxb {

unsigned workerCount() {
  if (const char* text = std::getenv("VX_BUILD_THREADS")) {
    const long n = std::strtol(text, nullptr, 10);
    if (n > 0) return unsigned(std::min(n, 256L));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void parallelFor(size_t count, const std::function<void(size_t)>& fn,
                 const std::function<void(size_t done)>& onProgress) {
  std::atomic<size_t> next{0}, finished{0};
  std::exception_ptr failure;
  std::mutex failureMutex;
  auto work = [&](bool caller) {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= count) break;
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (!failure) failure = std::current_exception();
        next.store(count); // the others stop taking work
      }
      const size_t done = finished.fetch_add(1) + 1;
      if (caller && onProgress) onProgress(done);
    }
  };
  const size_t threads = std::min<size_t>(workerCount(), count);
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work, false);
  work(true);
  for (std::thread& h : helpers) h.join();
  if (failure) std::rethrow_exception(failure);
  if (onProgress) onProgress(finished.load());
}

} // namespace vxb
