// A small self-contained line-plot widget: a labelled grid and any number of curves drawn into an
// off-screen pixmap, rubber-band zoom with a zoom history, scrolling with the arrow keys and the
// mouse wheel, and a vertical marker line. The control window shows the extraction throughput in it.
#pragma once

#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>

#include <map>
#include <vector>

class QPainter;
class QToolButton;

// The visible range of both axes.
struct PlotRange {
  float minX = 0.0f;
  float maxX = 10.0f;
  int xTicks = 5;   // intervals between x grid lines
  float minY = 0.0f;
  float maxY = 10.0f;
  int yTicks = 5;   // intervals between y grid lines

  // Moves the range by whole grid steps; the span stays the same.
  void scrollBy(int dx, int dy);
  // Widens both axes to round grid values (niceAxis on x, then on y).
  void roundRange();
};

// Widens [min, max] to multiples of a step of 1, 2 or 5 times a power of ten chosen so that about
// four intervals cover the span, and sets ticks to the number of intervals. When the span cannot be
// divided (empty, not finite, or too small for single precision to separate the rounded ends),
// min and max stay as they are and ticks becomes 0.
void niceAxis(float& min, float& max, int& ticks);

class QPlotter : public QWidget {
  Q_OBJECT

public:
  static constexpr int plotMargin = 30;

  explicit QPlotter(QWidget* parent = nullptr, const char* name = nullptr,
                    Qt::WindowFlags flags = Qt::WindowFlags());

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Shows the range as the new home: the zoom history is reset to it and both zoom buttons hide.
  void setPlotRange(const PlotRange& range);
  // Stores (a copy of) a curve given flat as x0, y0, x1, y1, ..., replacing one with the same id.
  void setCurve(int id, const std::vector<float>& data);
  void removeCurve(int id);

  // The range being shown (entry zoomLevel of the history).
  const PlotRange& currentRange() const { return zoomHistory[size_t(zoomLevel)]; }
  // The colour of a curve: red, green, blue, cyan, magenta, yellow, repeating with the id.
  static QColor curveColour(int id);

public slots:
  void zoomIn();
  void zoomOut();

public:
  QToolButton* zoomInTool = nullptr;
  QToolButton* zoomOutTool = nullptr;
  std::map<int, std::vector<float>> curves;
  std::vector<PlotRange> zoomHistory;
  int zoomLevel = 0;
  // Plot x value of the vertical marker line; negative draws none. Written by the owner.
  int markerX = -1;
  bool rubberBandShown = false;
  QRect rubberBand;
  // Grid and curves as last drawn; paint events only copy from it.
  QPixmap buffer;
  // Drawn above the plot area. Written by the owner.
  QString unitLabel;

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  void updateRubberBand();
  void redrawBuffer();
  void paintGrid(QPainter& painter);
  void paintCurves(QPainter& painter);
  QToolButton* makeZoomTool(const char* imageName);
};
