#include "meshimport/Progress.h"

#include <cstdio>
#include <unistd.h>

namespace vxb {

Progress::Progress(bool quiet) : quiet_(quiet), terminal_(isatty(2) != 0) {}

Progress::~Progress() {
  // A step still open here did not finish (the work failed): end its line without "done".
  if (open_ && !quiet_ && terminal_) std::fprintf(stderr, "\n");
}

void Progress::begin(const std::string& step, size_t total) {
  end();
  step_ = step;
  total_ = total;
  lastPercent_ = -1;
  open_ = true;
  start_ = std::chrono::steady_clock::now();
  if (listener && !listener(step_, 0.0)) cancelled_ = true;
  if (quiet_) return;
  std::fprintf(stderr, "%s ...", step_.c_str());
  if (!terminal_) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

void Progress::update(size_t done) {
  if (listener && open_ && total_ > 0 && !listener(step_, done >= total_ ? 1.0 : double(done) / double(total_)))
    cancelled_ = true;
  if (quiet_ || !open_ || !terminal_ || total_ == 0) return;
  const int percent = int(done >= total_ ? 100 : done * 100 / total_);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  std::fprintf(stderr, "\r%s ... %3d%%", step_.c_str(), percent);
  std::fflush(stderr);
}

void Progress::end() {
  if (!open_) return;
  open_ = false;
  if (quiet_) return;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (terminal_)
    std::fprintf(stderr, "\r%s ... done (%.2f s)    \n", step_.c_str(), s);
  else
    std::fprintf(stderr, "%s: done (%.2f s)\n", step_.c_str(), s);
  std::fflush(stderr);
}

} // namespace vxb
