#include "ConsoleCapture.h"

#include "PkDiag.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

namespace {

void flushAll() {
  std::cerr.flush();
  std::fflush(stderr);
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= size_t(n);
  }
}

} // namespace

ConsoleCapture::ConsoleCapture() {
  flushAll();
  // A file rather than a pipe: a long operation may write more than a pipe holds.
  char name[] = "/tmp/vorex-console-XXXXXX";
  captureFd_ = ::mkstemp(name);
  if (captureFd_ < 0) return;
  ::unlink(name);
  savedFd_ = ::dup(STDERR_FILENO);
  if (savedFd_ < 0 || ::dup2(captureFd_, STDERR_FILENO) < 0) {
    if (savedFd_ >= 0) ::close(savedFd_);
    ::close(captureFd_);
    savedFd_ = captureFd_ = -1;
  }
}

ConsoleCapture::~ConsoleCapture() { finish(); }

std::string ConsoleCapture::finish() {
  if (captureFd_ < 0) return std::string();
  flushAll();
  ::dup2(savedFd_, STDERR_FILENO);
  ::close(savedFd_);
  savedFd_ = -1;

  std::string text;
  if (::lseek(captureFd_, 0, SEEK_SET) == 0) {
    char chunk[4096];
    for (ssize_t n; (n = ::read(captureFd_, chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
  }
  ::close(captureFd_);
  captureFd_ = -1;
  writeAll(STDERR_FILENO, text.data(), text.size());
  return text;
}

std::string firstErrorLine(const std::string& console) {
  std::string tag = pk::errorText("");
  tag.pop_back(); // the tag and its space, without the line end
  for (size_t start = 0; start < console.size();) {
    size_t end = console.find('\n', start);
    if (end == std::string::npos) end = console.size();
    const size_t at = console.find(tag, start);
    if (at != std::string::npos && at < end) return console.substr(at + tag.size(), end - at - tag.size());
    start = end + 1;
  }
  return std::string();
}
