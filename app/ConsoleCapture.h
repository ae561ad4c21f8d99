// Keeps what the program writes to standard error while an operation runs, and passes it on to the
// real standard error unchanged when the capture ends, so that the console still shows every line
// and the window can also show the first error of a failed operation.
#pragma once

#include <string>

class ConsoleCapture {
public:
  // Starts capturing at once; if standard error cannot be redirected nothing is captured.
  ConsoleCapture();
  // Ends the capture if finish() was not called.
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Restores standard error, writes the captured bytes to it and returns them.
  std::string finish();

private:
  int savedFd_ = -1;
  int captureFd_ = -1;
};

// The text of the first error line (after its "ERROR:" tag) in console output; empty when none.
std::string firstErrorLine(const std::string& console);
