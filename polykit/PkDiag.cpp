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

void error(const std::string& text) {
  std::cerr << errorText(text) << std::flush;
}

void warning(const std::string& text) {
  std::cerr << warningText(text) << std::flush;
}

DiagLine::~DiagLine() {
  if (kind_ == Error)
    error(text_.str());
  else
    warning(text_.str());
}

void reportZeroHomogeneous() { error("operator*(PkVec3<T>, w) yields zero homogenous coordinate"); }

} // namespace pk
