// Progress of the long steps on standard error: a line per step, and on a terminal a percentage
// that updates in place. Quiet progress prints nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace vxb {

class Progress {
public:
  explicit Progress(bool quiet = true);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts a step of `total` units (0: no percentage). Ends the previous step.
  void begin(const std::string& step, size_t total = 0);
  // Reports that `done` units of the current step are finished; cheap enough to call often.
  void update(size_t done);
  // Ends the current step, printing how long it took. A step still open when the object goes away
  // counts as failed and gets no "done".
  void end();

  // Told at every begin and update (the step and its fraction done, 0 when it has no total), from
  // the thread the work runs on. Returning false asks the work to stop: cancelled() becomes true,
  // and the builder gives up at its next check, leaving no files.
  std::function<bool(const std::string& step, double fraction)> listener;
  bool cancelled() const { return cancelled_; }

private:
  bool quiet_;
  bool terminal_;
  bool open_ = false;
  std::string step_;
  size_t total_ = 0;
  int lastPercent_ = -1;
  bool cancelled_ = false;
  std::chrono::steady_clock::time_point start_;
};

} // namespace vxb
