#include "PkDiag.h"
#include "PkTypes.h"

#include <cstdio>
#include <iostream>

namespace pk {

const double kPi = 4.0 * std::atan(1.0);
const double kTwoPi = 2.0 * kPi;
const double kDegToRad = kPi / 180.0;

std::string errorText(const std::string& text) { return "\033[31mERROR:\033[0m " + text + "\n"; }
std::string warningText(const std::string& text) { return "\033[33mWARNING:\033[0m " + text + "\n"; }

namespace {
DiagListener& listener() {
  static DiagListener l;
  return l;
}
thread_local ThreadDiagCapture* threadCapture = nullptr;
} // namespace

ThreadDiagCapture::ThreadDiagCapture() : previous_(threadCapture) { threadCapture = this; }
ThreadDiagCapture::~ThreadDiagCapture() { threadCapture = previous_; }

void ThreadDiagCapture::say(const std::vector<Line>& lines) {
  for (const Line& line : lines) (line.kind == DiagKind::Error ? error : warning)(line.text);
}

DiagListener setDiagListener(DiagListener l) {
  DiagListener previous = std::move(listener());
  listener() = std::move(l);
  return previous;
}

void error(const std::string& text) {
  if (threadCapture) return threadCapture->lines.push_back({DiagKind::Error, text});
  std::cerr << errorText(text) << std::flush;
  if (listener()) listener()(DiagKind::Error, text);
}

void warning(const std::string& text) {
  if (threadCapture) return threadCapture->lines.push_back({DiagKind::Warning, text});
  std::cerr << warningText(text) << std::flush;
  if (listener()) listener()(DiagKind::Warning, text);
}

FirstErrorWatch::FirstErrorWatch() {
  previous_ = setDiagListener([this](DiagKind kind, const std::string& text) {
    if (kind == DiagKind::Error && first_.empty()) first_ = text;
    if (previous_) previous_(kind, text);
  });
}

FirstErrorWatch::~FirstErrorWatch() { setDiagListener(std::move(previous_)); }

DiagLine::~DiagLine() {
  if (kind_ == Error)
    error(text_.str());
  else
    warning(text_.str());
}

void reportZeroHomogeneous() { error("operator*(PkVec3<T>, w) yields zero homogenous coordinate"); }

} // namespace pk
