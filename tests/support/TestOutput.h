// Pictures of failing checks: kept in the folder VX_TEST_OUTPUT names (build/test-output when the
// tests run under ctest), so a failure in CI can be looked at. Nothing is written when the check
// passed or the variable is not set.
#pragma once

#include <QDir>
#include <QImage>
#include <QString>

#include <gtest/gtest.h>

// Saves image as <test suite>.<test name>-<what>.png when the current test has failed so far.
// Returns the path written, or an empty string.
inline QString keepFrameIfFailed(const QImage& image, const QString& what) {
  if (!::testing::Test::HasFailure() || image.isNull()) return QString();
  const QString folder = qEnvironmentVariable("VX_TEST_OUTPUT");
  if (folder.isEmpty() || !QDir().mkpath(folder)) return QString();
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  QString name = info ? QString::fromUtf8(info->test_suite_name()) + "." + QString::fromUtf8(info->name()) : "test";
  name.replace('/', '_');
  const QString path = QDir(folder).filePath(name + "-" + what + ".png");
  return image.save(path) ? path : QString();
}
