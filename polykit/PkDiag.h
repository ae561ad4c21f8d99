// Console diagnostics of Vorex: one line per message on standard error, errors tagged with a red
// "ERROR:", warnings with a yellow "WARNING:". Every module reports through these helpers.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace pk {

void error(const std::string& text);
void warning(const std::string& text);

// Collects one message with stream syntax and writes it as one line when it goes out of scope:
//   pk::ErrorLine() << "unknown edge : " << edge << " value: " << value;
class DiagLine {
public:
  enum Kind { Error, Warning };
  explicit DiagLine(Kind kind) : kind_(kind) {}
  DiagLine(const DiagLine&) = delete;
  DiagLine& operator=(const DiagLine&) = delete;
  ~DiagLine();
  template <typename T>
  DiagLine& operator<<(const T& v) {
    text_ << v;
    return *this;
  }

private:
  Kind kind_;
  std::ostringstream text_;
};

struct ErrorLine : DiagLine {
  ErrorLine() : DiagLine(Error) {}
};
struct WarningLine : DiagLine {
  WarningLine() : DiagLine(Warning) {}
};

// Hears every message after it was written to the console: its kind and its text without the tag.
// The viewer uses it to show a failed operation's first error in the window as well.
enum class DiagKind { Error, Warning };
using DiagListener = std::function<void(DiagKind, const std::string&)>;
// Installs the listener (an empty one removes it) and returns the previous one.
DiagListener setDiagListener(DiagListener listener);

// While it lives, the messages of the thread that made it are kept in `lines` instead of going to
// the console and the listener: a worker thread's messages, which its owner says later, in order,
// on its own thread with say().
class ThreadDiagCapture {
public:
  struct Line {
    DiagKind kind;
    std::string text;
  };
  ThreadDiagCapture();
  ~ThreadDiagCapture();
  ThreadDiagCapture(const ThreadDiagCapture&) = delete;
  ThreadDiagCapture& operator=(const ThreadDiagCapture&) = delete;
  std::vector<Line> lines;
  static void say(const std::vector<Line>& lines);

private:
  ThreadDiagCapture* previous_;
};

// Collects the first error reported while it lives, passing every message on to the listener
// that was installed before it.
class FirstErrorWatch {
public:
  FirstErrorWatch();
  ~FirstErrorWatch();
  FirstErrorWatch(const FirstErrorWatch&) = delete;
  FirstErrorWatch& operator=(const FirstErrorWatch&) = delete;
  const std::string& firstError() const { return first_; }

private:
  DiagListener previous_;
  std::string first_;
};

// The exact text a message gets on the console, for tests that compare output.
std::string errorText(const std::string& text);
std::string warningText(const std::string& text);

} // namespace pk
