// Console diagnostics of Vorex: one line per message on standard error, errors tagged with a red
// "ERROR:", warnings with a yellow "WARNING:". Every module reports through these helpers.
#pragma once

#include <sstream>
#include <string>

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

// The exact text a message gets on the console, for tests that compare output.
std::string errorText(const std::string& text);
std::string warningText(const std::string& text);

} // namespace pk
