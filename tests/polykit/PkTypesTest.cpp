#include "PkDiag.h"
#include "PkTypes.h"
#include "CaptureOutput.h"

#include <cmath>
#include <thread>
#include <utility>
#include <vector>

TEST(PkVec3, ArithmeticAndCross) {
  const PkVec3f a(1, 2, 3), b(4, 5, 6);
  EXPECT_EQ(a + b, PkVec3f(5, 7, 9));
  EXPECT_EQ(b - a, PkVec3f(3, 3, 3));
  EXPECT_EQ(2.0f * a, a * 2.0f);
  EXPECT_EQ(a.cross(b), PkVec3f(-3, 6, -3));
  PkVec3f c = a;
  c += b;
  c -= a;
  EXPECT_EQ(c, b);
  const PkVec3f q = a / PkVec3f(2, 0, -3);
  EXPECT_FLOAT_EQ(q.x, 0.5f);
  EXPECT_TRUE(std::isinf(q.y) && q.y > 0);
  EXPECT_FLOAT_EQ(q.z, -1.0f);
}

TEST(PkVec3, NormalisationRules) {
  // Near-unit vectors stay as they are, others are scaled, tiny ones become zero.
  const PkVec3f nearUnit(1.0f + 1e-15f, 0, 0);
  EXPECT_EQ(nearUnit.normalized(), nearUnit);
  EXPECT_EQ(PkVec3f(3, 0, 4).normalized(), PkVec3f(0.6f, 0, 0.8f));
  EXPECT_EQ(PkVec3f(1e-4f, 0, 0).normalized(), PkVec3f(1, 0, 0));
  EXPECT_EQ(PkVec3f(1e-8f, 0, 0).normalized(), PkVec3f(0, 0, 0));
  PkVec3f v(0, 2, 0);
  v.makeUnit();
  EXPECT_EQ(v, PkVec3f(0, 1, 0));
  PkVec3f tiny(1e-8f, 0, 0);
  tiny.makeUnit();
  EXPECT_EQ(tiny, PkVec3f(0, 0, 0));
  // Both rules scale a small but representable vector up to unit length.
  PkVec3f small(1e-4f, 0, 0);
  small.makeUnit();
  EXPECT_FLOAT_EQ(small.x, 1.0f);
  EXPECT_EQ(PkVec3f(0, 0, 3).unitCross(PkVec3f(3, 0, 0)), PkVec3f(0, 1, 0));
}

TEST(PkVec3, PointTimesMatrix) {
  PkMatrix4<float> m;
  m(0, 3) = 1; m(1, 3) = 2; m(2, 3) = 3; // translation in the last column, rows applied to the point
  EXPECT_EQ(m * PkVec3f(1, 1, 1), PkVec3f(2, 3, 4));
  m(3, 3) = 2;
  EXPECT_EQ(m * PkVec3f(1, 1, 1), PkVec3f(1, 1.5f, 2));
  m(3, 3) = 0;
  PkVec3f r;
  const std::string err = captureStderr([&] { r = m * PkVec3f(1, 1, 1); });
  EXPECT_EQ(err, pk::errorText("operator*(PkVec3<T>, w) yields zero homogenous coordinate"));
  EXPECT_EQ(r, PkVec3f(2, 3, 4)); // w' = 1 is used
}

TEST(Diagnostics, TagsAndOneLinePerMessage) {
  EXPECT_EQ(captureStderr([] { pk::ErrorLine() << "unknown edge : " << 4 << " value: " << 0.5f; }),
            "\033[31mERROR:\033[0m unknown edge : 4 value: 0.5\n");
  EXPECT_EQ(captureStderr([] { pk::warning("careful"); }), "\033[33mWARNING:\033[0m careful\n");
  EXPECT_DOUBLE_EQ(pk::kPi, 3.14159265358979323846);
  EXPECT_DOUBLE_EQ(pk::kDegToRad * 180.0, pk::kPi);
}

TEST(Diagnostics, ListenersHearEveryMessageAndWatchesKeepTheFirstError) {
  std::vector<std::pair<pk::DiagKind, std::string>> heard;
  pk::DiagListener before = pk::setDiagListener([&](pk::DiagKind k, const std::string& t) { heard.emplace_back(k, t); });
  std::string first;
  const std::string console = captureStderr([&] {
    pk::FirstErrorWatch watch;
    pk::warning("only a warning");
    pk::ErrorLine() << "it broke " << 3;
    pk::error("again");
    first = watch.firstError();
  });
  EXPECT_EQ(first, "it broke 3");
  EXPECT_EQ(console, pk::warningText("only a warning") + pk::errorText("it broke 3") + pk::errorText("again"));
  ASSERT_EQ(heard.size(), 3u); // the watch passed everything on to the listener installed before it
  EXPECT_EQ(heard[0].first, pk::DiagKind::Warning);
  EXPECT_EQ(heard[2].second, "again");
  pk::error("after the watch");
  EXPECT_EQ(heard.size(), 4u);
  pk::setDiagListener(before);
}

// A worker thread's messages wait in its capture, reach neither the console nor the listener from
// that thread, and are said later, in order, by the thread that owns them.
TEST(Diagnostics, AWorkerThreadsMessagesAreSaidLaterByItsOwner) {
  std::vector<std::pair<pk::DiagKind, std::string>> heard;
  pk::DiagListener before = pk::setDiagListener([&](pk::DiagKind k, const std::string& t) { heard.emplace_back(k, t); });
  std::vector<pk::ThreadDiagCapture::Line> kept;
  const std::string quiet = captureStderr([&] {
    std::thread worker([&] {
      pk::ThreadDiagCapture capture;
      pk::warning("first");
      pk::ErrorLine() << "second " << 2;
      kept = std::move(capture.lines);
    });
    worker.join();
  });
  EXPECT_EQ(quiet, "");
  EXPECT_TRUE(heard.empty());
  ASSERT_EQ(kept.size(), 2u);
  const std::string said = captureStderr([&] { pk::ThreadDiagCapture::say(kept); });
  EXPECT_EQ(said, pk::warningText("first") + pk::errorText("second 2"));
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1].first, pk::DiagKind::Error);
  // The capture is the worker's only: this thread's messages went on as ever meanwhile.
  EXPECT_EQ(captureStderr([] { pk::error("here"); }), pk::errorText("here"));
  pk::setDiagListener(before);
}
