// The throughput plot: axis rounding, zoom history, rubber band, scrolling, marker and curve drawing.
#include "QPlotter.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int side = 300;

// A shown plot of side × side pixels with the default range 0..10 on both axes.
struct ShownPlot {
  QPlotter plot;
  ShownPlot() {
    plot.resize(side, side);
    plot.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&plot));
  }
  void send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(pos), QPointF(plot.mapToGlobal(pos)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&plot, &event);
  }
  // Press at `from`, drag to `to`, release there.
  void drag(QPoint from, QPoint to) {
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
  }
  void wheel(QPoint angle) {
    const QPointF pos(side / 2, side / 2);
    QWheelEvent event(pos, plot.mapToGlobal(pos), QPoint(), angle, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&plot, &event);
  }
  QImage image() const { return plot.buffer.toImage().convertToFormat(QImage::Format_RGB32); }
};

void expectRange(const PlotRange& r, float minX, float maxX, int xTicks, float minY, float maxY, int yTicks) {
  EXPECT_FLOAT_EQ(r.minX, minX);
  EXPECT_FLOAT_EQ(r.maxX, maxX);
  EXPECT_EQ(r.xTicks, xTicks);
  EXPECT_FLOAT_EQ(r.minY, minY);
  EXPECT_FLOAT_EQ(r.maxY, maxY);
  EXPECT_EQ(r.yTicks, yTicks);
}

bool isShown(const QWidget* w) { return !w->isHidden(); }

// The pixel row of value v on the y axis 0..10 of the side × side plot.
int rowOf(float v) { return int(float((side - 31) - double(v) * (side - 61) / 10.0)); }

} // namespace

TEST(PlotRange, NiceAxisPicksStepsOfOneTwoOrFive) {
  float lo = 0.0f, hi = 100.0f;
  int ticks = 0;
  niceAxis(lo, hi, ticks);
  EXPECT_FLOAT_EQ(lo, 0.0f);
  EXPECT_FLOAT_EQ(hi, 100.0f);
  EXPECT_EQ(ticks, 5);   // step 20

  lo = 3.7f, hi = 61.2f;
  niceAxis(lo, hi, ticks);
  EXPECT_FLOAT_EQ(lo, 0.0f);
  EXPECT_FLOAT_EQ(hi, 70.0f);
  EXPECT_EQ(ticks, 7);   // step 10

  lo = -0.33f, hi = 0.81f;   // gross 0.285 > 0.2: step 0.05... no, gross > 2 * 0.1: step 0.2
  niceAxis(lo, hi, ticks);
  EXPECT_NEAR(lo, -0.4f, 1e-6f);
  EXPECT_NEAR(hi, 1.0f, 1e-6f);
  EXPECT_EQ(ticks, 7);

  lo = 0.0f, hi = 1000.0f;   // gross 250 > 5 * 10^2? no; > 2 * 100: step 200
  niceAxis(lo, hi, ticks);
  EXPECT_FLOAT_EQ(hi, 1000.0f);
  EXPECT_EQ(ticks, 5);
}

TEST(PlotRange, NiceAxisLeavesAnIndivisibleSpanAlone) {
  for (auto [a, b] : {std::pair{2.0f, 2.0f}, std::pair{5.0f, 1.0f}, std::pair{0.0f, INFINITY},
                      std::pair{NAN, 1.0f}, std::pair{-3e38f, 3e38f}}) {
    float lo = a, hi = b;
    int ticks = 5;
    niceAxis(lo, hi, ticks);
    EXPECT_EQ(ticks, 0) << a << " .. " << b;
    if (!std::isnan(a)) {
      EXPECT_EQ(lo, a);
    }
    EXPECT_EQ(hi, b);
  }
}

TEST(PlotRange, ScrollMovesByWholeStepsAndKeepsTheSpan) {
  PlotRange r;   // 0..10, 5 ticks: step 2
  r.scrollBy(-1, 2);
  expectRange(r, -2, 8, 5, 4, 14, 5);
}

TEST(Plotter, StartsWithOneHomeRangeAndHiddenButtons) {
  QPlotter plot;
  ASSERT_EQ(plot.zoomHistory.size(), 1u);
  expectRange(plot.zoomHistory[0], 0, 10, 5, 0, 10, 5);
  EXPECT_EQ(plot.zoomLevel, 0);
  EXPECT_EQ(plot.markerX, -1);
  EXPECT_TRUE(plot.zoomInTool->isHidden());
  EXPECT_TRUE(plot.zoomOutTool->isHidden());
  EXPECT_FALSE(plot.zoomInTool->icon().isNull());
  EXPECT_FALSE(plot.zoomOutTool->icon().isNull());
}

TEST(Plotter, ZoomHistoryFollowsZoomsAndTheButtons) {
  ShownPlot s;
  QPlotter& p = s.plot;
  // (60,60)-(160,160) is (30,30)-(130,130) in the plot area of 240 pixels for 10 units:
  // x 1.25..5.42 and y 4.58..8.75, rounded to 1..6 and 4..9.
  s.drag({60, 60}, {160, 160});
  ASSERT_EQ(p.zoomHistory.size(), 2u);
  EXPECT_EQ(p.zoomLevel, 1);
  expectRange(p.zoomHistory[1], 1, 6, 5, 4, 9, 5);
  EXPECT_TRUE(isShown(p.zoomOutTool) && p.zoomOutTool->isEnabled());
  EXPECT_TRUE(p.zoomInTool->isHidden());
  EXPECT_FALSE(p.rubberBandShown);

  QTest::keyClick(&p, Qt::Key_Minus);
  EXPECT_EQ(p.zoomLevel, 0);
  EXPECT_TRUE(isShown(p.zoomInTool) && p.zoomInTool->isEnabled());
  EXPECT_TRUE(isShown(p.zoomOutTool));
  EXPECT_FALSE(p.zoomOutTool->isEnabled());
  p.zoomOut();   // nothing below the home range
  EXPECT_EQ(p.zoomLevel, 0);

  p.zoomInTool->click();
  EXPECT_EQ(p.zoomLevel, 1);
  EXPECT_FALSE(p.zoomInTool->isEnabled());
  EXPECT_TRUE(p.zoomOutTool->isEnabled());
  QTest::keyClick(&p, Qt::Key_Plus);   // nothing above the last zoom
  EXPECT_EQ(p.zoomLevel, 1);

  // A third level, then a new zoom from the intermediate one replaces it.
  s.drag({30, 30}, {150, 150});
  ASSERT_EQ(p.zoomHistory.size(), 3u);
  const PlotRange third = p.zoomHistory[2];
  p.zoomOut();
  EXPECT_EQ(p.zoomLevel, 1);
  s.drag({150, 150}, {269, 269});
  ASSERT_EQ(p.zoomHistory.size(), 3u);
  EXPECT_EQ(p.zoomLevel, 2);
  EXPECT_NE(p.zoomHistory[2].minX, third.minX);
  expectRange(p.zoomHistory[1], 1, 6, 5, 4, 9, 5);

  // A new home range drops the history and hides both buttons again.
  p.setPlotRange(PlotRange());
  EXPECT_EQ(p.zoomHistory.size(), 1u);
  EXPECT_EQ(p.zoomLevel, 0);
  EXPECT_TRUE(p.zoomInTool->isHidden());
  EXPECT_TRUE(p.zoomOutTool->isHidden());
}

TEST(Plotter, NarrowRubberBandsZoomNothing) {
  ShownPlot s;
  s.drag({100, 100}, {102, 149});   // 3 × 50 pixels
  EXPECT_EQ(s.plot.zoomHistory.size(), 1u);
  EXPECT_FALSE(s.plot.rubberBandShown);
  s.drag({100, 100}, {149, 102});   // 50 × 3
  EXPECT_EQ(s.plot.zoomHistory.size(), 1u);
  s.drag({102, 149}, {100, 100});   // dragged up and left: normalised first
  EXPECT_EQ(s.plot.zoomHistory.size(), 1u);
  s.drag({100, 100}, {103, 149});   // 4 × 50 is a zoom
  EXPECT_EQ(s.plot.zoomHistory.size(), 2u);
}

TEST(Plotter, RubberBandIsDrawnOverTheBufferNotIntoIt) {
  ShownPlot s;
  const QImage before = s.image();
  s.send(QEvent::MouseButtonPress, {80, 80}, Qt::LeftButton, Qt::LeftButton);
  s.send(QEvent::MouseMove, {200, 200}, Qt::NoButton, Qt::LeftButton);
  EXPECT_TRUE(s.plot.rubberBandShown);
  const QImage shown = s.plot.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shown.pixel(140, 80), s.plot.palette().color(QPalette::Light).rgb());
  EXPECT_EQ(shown.pixel(200, 140), s.plot.palette().color(QPalette::Light).rgb());
  EXPECT_EQ(s.image(), before);
  s.send(QEvent::MouseButtonRelease, {200, 200}, Qt::LeftButton, Qt::NoButton);
}

TEST(Plotter, RepeatedZoomsNeverStoreARangeWithoutGridIntervals) {
  ShownPlot s;
  QPlotter& p = s.plot;
  p.setPlotRange(PlotRange{1000.0f, 1010.0f, 5, 1000.0f, 1010.0f, 5});
  size_t last = 0;
  for (int i = 0; i < 80 && p.zoomHistory.size() != last; ++i) {
    last = p.zoomHistory.size();
    s.drag({140, 140}, {146, 146});
  }
  // Zooming stopped once single precision could not split the axes any more.
  EXPECT_LT(p.zoomHistory.size(), 80u);
  for (const PlotRange& r : p.zoomHistory) {
    EXPECT_GT(r.xTicks, 0);
    EXPECT_GT(r.yTicks, 0);
    EXPECT_LT(r.minX, r.maxX);
    EXPECT_LT(r.minY, r.maxY);
  }
  EXPECT_EQ(p.zoomLevel, int(p.zoomHistory.size()) - 1);
}

TEST(Plotter, WheelAndArrowKeysScrollTheCurrentRangeInPlace) {
  ShownPlot s;
  QPlotter& p = s.plot;
  s.wheel({0, -120});   // one notch down
  expectRange(p.currentRange(), 0, 10, 5, -2, 8, 5);
  s.wheel({0, 100});    // less than a notch
  expectRange(p.currentRange(), 0, 10, 5, -2, 8, 5);
  s.wheel({-120, 0});   // one notch left
  expectRange(p.currentRange(), -2, 8, 5, -2, 8, 5);
  s.wheel({0, 240});
  expectRange(p.currentRange(), -2, 8, 5, 2, 12, 5);

  QTest::keyClick(&p, Qt::Key_Right);
  QTest::keyClick(&p, Qt::Key_Right);
  QTest::keyClick(&p, Qt::Key_Down);
  QTest::keyClick(&p, Qt::Key_Up);
  QTest::keyClick(&p, Qt::Key_Up);
  expectRange(p.currentRange(), 2, 12, 5, 4, 14, 5);
  EXPECT_EQ(p.zoomHistory.size(), 1u);
}

TEST(Plotter, MarkerInvertsItsColumnAndIsClippedOnTheFrame) {
  ShownPlot s;
  QPlotter& p = s.plot;
  p.setPlotRange(PlotRange{0, 100, 5, 0, 100, 5});
  const QImage none = s.image();

  p.markerX = 0;   // on the left frame line, outside the clip rectangle
  p.setCurve(1, {});
  EXPECT_EQ(s.image(), none);

  p.markerX = 50;
  p.setCurve(1, {});
  const QImage marked = s.image();
  const int x = 30 + 50 * (side - 61) / 100;
  for (int y : {40, 150, side - 40}) {
    EXPECT_EQ(marked.pixel(x, y) & 0xFFFFFFu, (none.pixel(x, y) ^ 0xFFFFFFu) & 0xFFFFFFu) << y;
    EXPECT_EQ(marked.pixel(x + 2, y), none.pixel(x + 2, y));
  }
  // The clip rectangle keeps the frame rows intact.
  EXPECT_EQ(marked.pixel(x, 30), none.pixel(x, 30));
  EXPECT_EQ(marked.pixel(x, side - 31), none.pixel(x, side - 31));
}

TEST(Plotter, CurvesTakeTheirColourFromTheIdModuloSix) {
  EXPECT_EQ(QPlotter::curveColour(0), QColor(Qt::red));
  EXPECT_EQ(QPlotter::curveColour(6), QColor(Qt::red));
  EXPECT_EQ(QPlotter::curveColour(1), QColor(Qt::green));
  EXPECT_EQ(QPlotter::curveColour(5), QColor(Qt::yellow));
  EXPECT_EQ(QPlotter::curveColour(-1), QPlotter::curveColour(int(0xFFFFFFFFu % 6)));

  ShownPlot s;
  QPlotter& p = s.plot;
  p.setCurve(6, {0, 5, 10, 5});
  p.setCurve(2, {0, 2.5f, 10, 2.5f});
  const QImage img = s.image();
  const int y5 = rowOf(5);
  EXPECT_EQ(QColor(img.pixel(side / 2 + 7, y5)), QColor(Qt::red));
  const int y25 = rowOf(2.5f);
  EXPECT_EQ(QColor(img.pixel(side / 2 + 7, y25)), QColor(Qt::blue));
  p.removeCurve(6);
  EXPECT_NE(QColor(s.image().pixel(side / 2 + 7, y5)), QColor(Qt::red));
}

TEST(Plotter, CurvesStayInsideThePlotAreaAndSkipUnrepresentablePoints) {
  ShownPlot s;
  QPlotter& p = s.plot;
  // Rising far above the top: clipped at row 31.
  p.setCurve(0, {0, 5, 10, 40});
  QImage img = s.image();
  for (int y = 0; y <= 30; ++y)
    for (int x = 0; x < side; ++x) ASSERT_NE(QColor(img.pixel(x, y)), QColor(Qt::red)) << x << "," << y;
  bool reachesTop = false;
  for (int x = 0; x < side; ++x) reachesTop |= QColor(img.pixel(x, 31)) == QColor(Qt::red);
  EXPECT_TRUE(reachesTop);

  // The middle point maps far beyond 16-bit coordinates: its neighbours are joined directly.
  p.setCurve(0, {0, 2, 5, 1e6f, 10, 2});
  img = s.image();
  const int y2 = rowOf(2);
  for (int x : {60, 150, 240}) EXPECT_EQ(QColor(img.pixel(x, y2)), QColor(Qt::red)) << x;
}

TEST(Plotter, GridFrameAndButtonsAreLaidOutForTheSize) {
  ShownPlot s;
  QPlotter& p = s.plot;
  const QImage img = s.image();
  const QRgb light = p.palette().color(QPalette::Light).rgb();
  EXPECT_EQ(img.pixel(30, 100), light);
  EXPECT_EQ(img.pixel(side - 31, 100), light);
  EXPECT_EQ(img.pixel(100, side - 31), light);
  EXPECT_EQ(img.pixel(side - 30, 100), p.palette().color(QPalette::Dark).rgb());
  // Ticks below the frame
  EXPECT_EQ(img.pixel(30, side - 27), light);

  const int x = side - (p.zoomInTool->width() + p.zoomOutTool->width() + 10);
  EXPECT_EQ(p.zoomInTool->pos(), QPoint(x, 5));
  EXPECT_EQ(p.zoomOutTool->pos(), QPoint(x + p.zoomInTool->width() + 5, 5));
}

TEST(Plotter, RepaintsCopyTheBufferWithoutRedrawingIt) {
  ShownPlot s;
  QPlotter& p = s.plot;
  const qint64 key = p.buffer.cacheKey();
  p.repaint();
  p.update(10, 10, 50, 50);
  QApplication::processEvents();
  EXPECT_EQ(p.buffer.cacheKey(), key);
  p.setCurve(0, {0, 1, 2, 3});
  EXPECT_NE(p.buffer.cacheKey(), key);
  const qint64 key2 = p.buffer.cacheKey();
  p.resize(side + 20, side);
  QApplication::processEvents();
  EXPECT_NE(p.buffer.cacheKey(), key2);
  EXPECT_EQ(p.buffer.size(), QSize(side + 20, side));
}
