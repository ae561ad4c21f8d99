// Line and token reader for the ASCII mesh formats. The whole file is held in memory; every
// failure is reported as "file:line: what" and the readers stop at the first one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vxb {

class TextScanner {
public:
  // Reads the file; prints "cannot open PATH" and returns false when it cannot.
  bool load(const std::string& path, char comment = 0);

  // Moves to the next line that has a token (comments and blank lines skipped) and splits it at
  // white space. False at the end of the file.
  bool nextLine();
  const std::vector<std::string_view>& tokens() const { return tokens_; }
  std::string_view line() const { return line_; }  // the current line without its comment
  size_t lineNumber() const { return lineNumber_; }
  bool atEnd() const { return pos_ >= text_.size(); }
  const std::string& path() const { return path_; }
  size_t size() const { return text_.size(); }  // bytes in the file: bounds the counts it may declare

  // Prints "path:line: message" as an error and returns false.
  bool fail(const std::string& message) const;
  // Prints "path: message" (no line) as an error and returns false.
  bool failFile(const std::string& message) const;

  // Strict conversions of a whole token.
  static bool toInt(std::string_view token, int64_t& value);
  static bool toDouble(std::string_view token, double& value);

  // Token i of the current line as a number; on failure reports "expected WHAT" and returns false.
  bool intAt(size_t i, int64_t& value, const char* what) const;
  bool doubleAt(size_t i, double& value, const char* what) const;
  bool finiteAt(size_t i, double& value, const char* what) const;

private:
  std::string path_;
  std::string text_;
  size_t pos_ = 0;
  size_t lineNumber_ = 0;
  char comment_ = 0;
  std::string_view line_;
  std::vector<std::string_view> tokens_;
};

} // namespace vxb
