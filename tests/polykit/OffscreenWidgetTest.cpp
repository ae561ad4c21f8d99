// The render target inside QOpenGLWidget::paintGL, where the widget's own framebuffer object is bound:
// a capture must hand the widget its framebuffer back, in both modes.
#include "OffscreenWidgetPass.h"

#include <QCoreApplication>
#include <QImage>
#include <QOpenGLWidget>
#include <QSurfaceFormat>

#include <gtest/gtest.h>

namespace {

class CaptureWidget : public QOpenGLWidget {
public:
  explicit CaptureWidget(int mode) : mode_(mode) {
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    format.setAlphaBufferSize(8);
    setFormat(format);
    resize(32, 32);
  }
  WidgetCaptureResult result;
  int paints = 0;

protected:
  void paintGL() override {
    ++paints;
    result = captureInsideWidget(mode_);
  }

private:
  int mode_;
};

class OffscreenWidgetTest : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(OffscreenWidgetTest, CaptureGivesTheWidgetItsFramebufferBack) {
  CaptureWidget widget(GetParam());
  widget.show();
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  const QImage image = widget.grabFramebuffer();
  ASSERT_GT(widget.paints, 0);
  const WidgetCaptureResult& r = widget.result;
  EXPECT_EQ(r.mode, GetParam());
  EXPECT_GT(r.boundBefore, 0) << "QOpenGLWidget paints into a framebuffer object of its own";
  EXPECT_EQ(r.boundAfterCreate, r.boundBefore);
  EXPECT_EQ(r.boundAfterCapture, r.boundBefore);
  EXPECT_TRUE(r.sameContextAfter);
  EXPECT_NEAR(r.targetRed, 1.f, 1e-6f);
  ASSERT_FALSE(image.isNull());
  const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
  EXPECT_EQ(centre.green(), 255);
  EXPECT_EQ(centre.red(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, OffscreenWidgetTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 0 ? "FramebufferObject" : "Pbuffer");
                         });
