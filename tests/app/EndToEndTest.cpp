// The viewer end to end: the control window on a dataset made by the builder, driven by mouse and
// keyboard input as a user would drive it, with pictures of the view after every step.
#include "GLGPUIsosurface.h"
#include "RenderControlWindow.h"

#include "TestOutput.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QMouseEvent>
#include <QProcess>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBox>

namespace {

// Pixels of two frames of the same size that differ by more than a little in any channel.
int changedPixels(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return a.width() * a.height();
  int changed = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) > 24) ++changed;
    }
  return changed;
}

// Pixels that differ by more than a little from the frame's corner, where only the background shows.
int drawnPixels(const QImage& a) {
  const QRgb background = a.pixel(0, 0);
  int drawn = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y);
      if (std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
              std::abs(qBlue(p) - qBlue(background)) > 24)
        ++drawn;
    }
  return drawn;
}

void drag(QWidget* w, QPoint from, QPoint to, Qt::MouseButton button) {
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(from), w->mapToGlobal(QPointF(from)), button, button, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  for (int i = 1; i <= 10; ++i) {
    const QPoint p = from + (to - from) * i / 10;
    QMouseEvent move(QEvent::MouseMove, QPointF(p), w->mapToGlobal(QPointF(p)), Qt::NoButton, button, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
  }
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(to), w->mapToGlobal(QPointF(to)), button, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w, &release);
}

} // namespace

TEST(EndToEnd, SliderModesAndCameraChangeWhatTheViewShows) {
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QTemporaryDir dir;
  const QString path = dir.filePath("shell.vx");
  QProcess builder;
  builder.start(QStringLiteral(VX_VXBUILD), {"--synthetic", "shell:14", "-o", path, "--quiet"});
  ASSERT_TRUE(builder.waitForFinished(120000));
  ASSERT_EQ(builder.exitCode(), 0) << builder.readAllStandardError().toStdString();

  RenderControlWindow window(nullptr, "Control Application", Qt::Window);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ASSERT_TRUE(window.openDataset(path));
  GLGPUIsosurface* view = window.glIsosurface_;
  const QString shots = qEnvironmentVariable("VX_E2E_SHOTS");
  int step = 0;
  auto frame = [&](const char* name) {
    QApplication::processEvents();
    const QImage image = view->grabFramebuffer();
    if (!shots.isEmpty()) window.saveWindowScreenshot(QDir(shots).filePath(QStringLiteral("%1-%2.png").arg(++step).arg(QLatin1String(name))));
    return image;
  };

  // The camera starts inside the model: step back with a right drag upwards, and turn the model.
  frame("inside");
  drag(view, QPoint(view->width() / 2, view->height() - 20), QPoint(view->width() / 2, 20), Qt::RightButton);
  EXPECT_GT(view->camera.position.z, 1.5f);
  drag(view, QPoint(100, 100), QPoint(130, 125), Qt::LeftButton);
  EXPECT_EQ(view->rotation[1], 30.0f);

  // Switch the boundary surfaces and the bounding box off on the "Rendering" page: what is drawn
  // now is the shell's sphere alone, on the background.
  QAbstractButton* renderingPage = nullptr;
  for (QAbstractButton* b : window.toolBox1->findChildren<QAbstractButton*>())
    if (b->text() == QLatin1String("Rendering")) renderingPage = b;
  ASSERT_NE(renderingPage, nullptr);
  QTest::mouseClick(renderingPage, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.checkBox6_2->isVisible(); }, 5000));
  QTest::mouseClick(window.checkBox6_2, Qt::LeftButton, Qt::NoModifier, QPoint(8, window.checkBox6_2->height() / 2));
  EXPECT_FALSE(view->showBoundaries);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.checkBox3->isVisible(); }, 5000));
  QTest::mouseClick(window.checkBox3, Qt::LeftButton, Qt::NoModifier, QPoint(8, window.checkBox3->height() / 2));
  EXPECT_FALSE(view->showBoundingBox);
  const QImage shaded = frame("shaded");
  const int sphere = drawnPixels(shaded);
  EXPECT_GT(sphere, 2000);
  EXPECT_LT(sphere, shaded.width() * shaded.height());
  keepFrameIfFailed(shaded, "shaded");

  // The isovalue slider: a page down makes the sphere smaller.
  QTest::mouseClick(window.toolBox1->findChildren<QAbstractButton*>().first(), Qt::LeftButton);
  window.slider1->setFocus();
  const float before = view->isovalue;
  QTest::keyClick(window.slider1, Qt::Key_PageDown);
  EXPECT_LT(view->isovalue, before);
  const QImage lower = frame("isovalue");
  EXPECT_GT(drawnPixels(lower), 1000);
  EXPECT_LT(drawnPixels(lower), sphere);
  EXPECT_GT(changedPixels(shaded, lower), 500);
  keepFrameIfFailed(lower, "isovalue");

  // The render mode box, by keyboard: "Glass" shows the backdrop and the glass surface. The
  // backdrop alone would not change with the isovalue; the surface does.
  QTest::mouseClick(renderingPage, Qt::LeftButton);
  window.comboBox1->setFocus();
  QTest::keyClick(window.comboBox1, Qt::Key_Down);
  QTest::keyClick(window.comboBox1, Qt::Key_Down);
  EXPECT_EQ(window.comboBox1->currentText(), "Glass");
  EXPECT_EQ(view->shadingMode, 2);
  const QImage glass = frame("glass");
  EXPECT_GT(changedPixels(lower, glass), 5000);
  QTest::mouseClick(window.toolBox1->findChildren<QAbstractButton*>().first(), Qt::LeftButton);
  window.slider1->setFocus();
  QTest::keyClick(window.slider1, Qt::Key_PageUp);
  QTest::keyClick(window.slider1, Qt::Key_PageUp);
  EXPECT_GT(view->isovalue, before);
  const QImage glassLarger = frame("glass-isovalue");
  EXPECT_GT(changedPixels(glass, glassLarger), 500);
  keepFrameIfFailed(glass, "glass");
  keepFrameIfFailed(glassLarger, "glass-isovalue");
#endif
}
