// Runs a piece of code and returns what it wrote to standard error (or standard output).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

template <typename F>
std::string captureStderr(F&& f) {
  ::testing::internal::CaptureStderr();
  std::forward<F>(f)();
  return ::testing::internal::GetCapturedStderr();
}

template <typename F>
std::string captureStdout(F&& f) {
  ::testing::internal::CaptureStdout();
  std::forward<F>(f)();
  return ::testing::internal::GetCapturedStdout();
}
