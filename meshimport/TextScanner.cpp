#include "meshimport/TextScanner.h"

#include "PkDiag.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vxb {

bool TextScanner::load(const std::string& path, char comment) {
  path_ = path;
  comment_ = comment;
  pos_ = 0;
  lineNumber_ = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    pk::ErrorLine() << "cannot open " << path;
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) {
    pk::ErrorLine() << "cannot read " << path;
    return false;
  }
  text_ = s.str();
  return true;
}

bool TextScanner::nextLine() {
  while (pos_ < text_.size()) {
    size_t end = text_.find('\n', pos_);
    if (end == std::string::npos) end = text_.size();
    std::string_view l(text_.data() + pos_, end - pos_);
    pos_ = end + 1;
    ++lineNumber_;
    if (comment_) {
      const size_t c = l.find(comment_);
      if (c != std::string_view::npos) l = l.substr(0, c);
    }
    tokens_.clear();
    size_t i = 0;
    while (i < l.size()) {
      while (i < l.size() && (l[i] == ' ' || l[i] == '\t' || l[i] == '\r' || l[i] == '\f' || l[i] == '\v')) ++i;
      const size_t b = i;
      while (i < l.size() && !(l[i] == ' ' || l[i] == '\t' || l[i] == '\r' || l[i] == '\f' || l[i] == '\v')) ++i;
      if (i > b) tokens_.push_back(l.substr(b, i - b));
    }
    if (!tokens_.empty()) {
      line_ = l;
      return true;
    }
  }
  tokens_.clear();
  line_ = {};
  return false;
}

bool TextScanner::fail(const std::string& message) const {
  pk::ErrorLine() << path_ << ':' << lineNumber_ << ": " << message;
  return false;
}

bool TextScanner::failFile(const std::string& message) const {
  pk::ErrorLine() << path_ << ": " << message;
  return false;
}

bool TextScanner::toInt(std::string_view token, int64_t& value) {
  if (token.empty() || token.size() > 30) return false;
  const std::string t(token);
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno || end != t.c_str() + t.size()) return false;
  value = v;
  return true;
}

bool TextScanner::toDouble(std::string_view token, double& value) {
  if (token.empty() || token.size() > 64) return false;
  const std::string t(token);
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size()) return false;
  value = v;
  return true;
}

bool TextScanner::intAt(size_t i, int64_t& value, const char* what) const {
  if (i >= tokens_.size()) return fail(std::string("expected ") + what);
  if (!toInt(tokens_[i], value))
    return fail(std::string("expected ") + what + ", found \"" + std::string(tokens_[i]) + "\"");
  return true;
}

bool TextScanner::doubleAt(size_t i, double& value, const char* what) const {
  if (i >= tokens_.size()) return fail(std::string("expected ") + what);
  if (!toDouble(tokens_[i], value))
    return fail(std::string("expected ") + what + ", found \"" + std::string(tokens_[i]) + "\"");
  return true;
}

bool TextScanner::finiteAt(size_t i, double& value, const char* what) const {
  if (!doubleAt(i, value, what)) return false;
  if (!std::isfinite(value))
    return fail(std::string("expected ") + what + ", found \"" + std::string(tokens_[i]) + "\"");
  return true;
}

} // namespace vxb
