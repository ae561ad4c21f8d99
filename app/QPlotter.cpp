#include "QPlotter.h"

#include "images/EmbeddedImages.h"

#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPolygon>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolButton>
#include <QWheelEvent>

#include <array>
#include <cmath>

namespace {

// Pixel coordinates beyond this magnitude do not fit the 16-bit window coordinates of the drawing
// calls; such points are left out of a curve.
constexpr float coordinateLimit = 32768.0f;

// A rounded axis with more intervals than this is not a result of niceAxis on a finite span.
constexpr float maxTicks = 1000.0f;

} // namespace

void PlotRange::scrollBy(int dx, int dy) {
  const float stepX = (maxX - minX) / float(xTicks);
  minX += float(dx) * stepX;
  maxX += float(dx) * stepX;
  const float stepY = (maxY - minY) / float(yTicks);
  minY += float(dy) * stepY;
  maxY += float(dy) * stepY;
}

void PlotRange::roundRange() {
  niceAxis(minX, maxX, xTicks);
  niceAxis(minY, maxY, yTicks);
}

void niceAxis(float& min, float& max, int& ticks) {
  const float gross = (max - min) * 0.25f;
  if (!(gross > 0.0f) || !std::isfinite(gross)) {
    ticks = 0;
    return;
  }
  float step = std::pow(10.0f, std::floor(std::log10(gross)));
  if (gross > 5.0f * step)
    step = 5.0f * step;
  else if (gross > 2.0f * step)
    step = 2.0f * step;
  const float lo = std::floor(min / step);
  const float hi = std::ceil(max / step);
  const float count = hi - lo;
  // Where single precision cannot separate the rounded ends the count comes out as 0 (or not as a
  // number at all); such an axis cannot be divided into grid intervals.
  if (!(count >= 1.0f && count <= maxTicks) || !std::isfinite(lo * step) || !std::isfinite(hi * step)) {
    ticks = 0;
    return;
  }
  ticks = int(count);
  min = lo * step;
  max = hi * step;
}

QPlotter::QPlotter(QWidget* parent, const char* name, Qt::WindowFlags flags) : QWidget(parent, flags) {
  if (name) setObjectName(QString::fromUtf8(name));
  // Every paint event covers its region from the buffer: no background erase, no flicker.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setBackgroundRole(QPalette::Dark);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setFocusPolicy(Qt::StrongFocus);
  zoomInTool = makeZoomTool("zoomin.png");
  connect(zoomInTool, &QToolButton::clicked, this, &QPlotter::zoomIn);
  zoomOutTool = makeZoomTool("zoomout.png");
  connect(zoomOutTool, &QToolButton::clicked, this, &QPlotter::zoomOut);
  setPlotRange(PlotRange());
}

QToolButton* QPlotter::makeZoomTool(const char* imageName) {
  auto* tool = new QToolButton(this);
  tool->setIcon(QIcon(pixmapFromMimeSource(QString::fromLatin1(imageName))));
  tool->adjustSize();
  tool->setAutoRaise(true);
  tool->setBackgroundRole(QPalette::Dark);
  return tool;
}

QSize QPlotter::sizeHint() const { return QSize(240, 180); }

QSize QPlotter::minimumSizeHint() const { return QSize(120, 120); }

QColor QPlotter::curveColour(int id) {
  static const std::array<QColor, 6> colours = {QColor(Qt::red),  QColor(Qt::green),
                                                QColor(Qt::blue), QColor(Qt::cyan),
                                                QColor(Qt::magenta), QColor(Qt::yellow)};
  return colours[unsigned(id) % colours.size()];
}

void QPlotter::setPlotRange(const PlotRange& range) {
  zoomHistory.assign(1, range);
  zoomLevel = 0;
  zoomInTool->hide();
  zoomOutTool->hide();
  redrawBuffer();
}

void QPlotter::setCurve(int id, const std::vector<float>& data) {
  curves[id] = data;
  redrawBuffer();
}

void QPlotter::removeCurve(int id) {
  curves.erase(id);
  redrawBuffer();
}

void QPlotter::zoomIn() {
  if (zoomLevel < int(zoomHistory.size()) - 1) {
    ++zoomLevel;
    zoomInTool->setEnabled(zoomLevel < int(zoomHistory.size()) - 1);
    zoomOutTool->setEnabled(true);
    zoomOutTool->show();
    redrawBuffer();
  }
}

void QPlotter::zoomOut() {
  if (zoomLevel > 0) {
    --zoomLevel;
    zoomOutTool->setEnabled(zoomLevel > 0);
    zoomInTool->setEnabled(true);
    zoomInTool->show();
    redrawBuffer();
  }
}

void QPlotter::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  rubberBandShown = true;
  const QPoint pos = event->position().toPoint();
  rubberBand.setTopLeft(pos);
  rubberBand.setBottomRight(pos);
  updateRubberBand();
  setCursor(Qt::CrossCursor);
}

void QPlotter::mouseMoveEvent(QMouseEvent* event) {
  if (!rubberBandShown || !(event->buttons() & Qt::LeftButton)) return;
  updateRubberBand();
  rubberBand.setBottomRight(event->position().toPoint());
  updateRubberBand();
}

void QPlotter::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !rubberBandShown) return;
  rubberBandShown = false;
  updateRubberBand();
  unsetCursor();

  QRect rect = rubberBand.normalized();
  if (rect.width() <= 3 || rect.height() <= 3) return;
  rect.translate(-plotMargin, -plotMargin);

  const PlotRange& prev = currentRange();
  const float dx = (prev.maxX - prev.minX) / float(width() - 2 * plotMargin);
  const float dy = (prev.maxY - prev.minY) / float(height() - 2 * plotMargin);
  PlotRange zoomed;
  zoomed.minX = prev.minX + dx * float(rect.left());
  zoomed.maxX = prev.minX + dx * float(rect.right());
  zoomed.minY = prev.maxY - dy * float(rect.bottom());
  zoomed.maxY = prev.maxY - dy * float(rect.top());
  zoomed.roundRange();
  // A range that rounds to no grid interval cannot be drawn: keep the one shown.
  if (zoomed.xTicks <= 0 || zoomed.yTicks <= 0) return;

  zoomHistory.resize(size_t(zoomLevel) + 1);
  zoomHistory.push_back(zoomed);
  zoomIn();
}

void QPlotter::updateRubberBand() {
  const QRect r = rubberBand.normalized();
  update(r.left(), r.top(), r.width(), 1);
  update(r.left(), r.top(), 1, r.height());
  update(r.left(), r.bottom(), r.width(), 1);
  update(r.right(), r.top(), 1, r.height());
}

void QPlotter::keyPressEvent(QKeyEvent* event) {
  PlotRange& range = zoomHistory[size_t(zoomLevel)];
  switch (event->key()) {
  case Qt::Key_Plus:
    zoomIn();
    break;
  case Qt::Key_Minus:
    zoomOut();
    break;
  case Qt::Key_Left:
    range.scrollBy(-1, 0);
    redrawBuffer();
    break;
  case Qt::Key_Right:
    range.scrollBy(1, 0);
    redrawBuffer();
    break;
  case Qt::Key_Up:
    range.scrollBy(0, 1);
    redrawBuffer();
    break;
  case Qt::Key_Down:
    range.scrollBy(0, -1);
    redrawBuffer();
    break;
  default:
    QWidget::keyPressEvent(event);
  }
}

void QPlotter::wheelEvent(QWheelEvent* event) {
  const QPoint angle = event->angleDelta();
  const bool vertical = angle.y() != 0 || angle.x() == 0;
  const int delta = vertical ? angle.y() : angle.x();
  const int degrees = delta / 8;
  const int steps = degrees / 15;
  if (vertical)
    zoomHistory[size_t(zoomLevel)].scrollBy(0, steps);
  else
    zoomHistory[size_t(zoomLevel)].scrollBy(steps, 0);
  redrawBuffer();
}

void QPlotter::resizeEvent(QResizeEvent*) {
  const int x = width() - (zoomInTool->width() + zoomOutTool->width() + 10);
  zoomInTool->move(x, 5);
  zoomOutTool->move(x + zoomInTool->width() + 5, 5);
  redrawBuffer();
}

void QPlotter::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  for (const QRect& rect : event->region()) painter.drawPixmap(rect, buffer, rect);

  if (rubberBandShown) {
    painter.setPen(palette().color(QPalette::Light));
    painter.setBrush(Qt::NoBrush);
    // An outline over the band's own pixels, left to right and top to bottom inclusive.
    painter.drawRect(rubberBand.normalized().adjusted(0, 0, -1, -1));
  }
  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect();
    option.state |= QStyle::State_FocusAtBorder;
    option.backgroundColor = palette().color(QPalette::Dark);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
}

void QPlotter::redrawBuffer() {
  buffer = QPixmap(size());
  buffer.fill(palette().color(backgroundRole()));
  QPainter painter(&buffer);
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  paintGrid(painter);
  paintCurves(painter);
  painter.end();
  update();
}

void QPlotter::paintGrid(QPainter& painter) {
  const PlotRange& r = currentRange();
  const int left = plotMargin;
  const int top = plotMargin;
  const int right = width() - plotMargin - 1;
  const int bottom = height() - plotMargin - 1;

  const QPen quiteDark(palette().color(QPalette::Dark).lighter(150), 0, Qt::SolidLine);
  const QPen light(palette().color(QPalette::Light), 0, Qt::SolidLine);

  painter.drawText(QRect(QPoint(left, 0), QPoint(right, 24)), Qt::AlignLeft | Qt::AlignBottom, unitLabel);

  // The grid divides the plot area by the tick counts; a range without intervals has no grid.
  if (r.xTicks > 0) {
    for (int j = 0; j <= r.xTicks; ++j) {
      const int x = left + ((right - left) * j) / r.xTicks;
      const float value = r.minX + float(j) * (r.maxX - r.minX) / float(r.xTicks);
      painter.setPen(quiteDark);
      painter.drawLine(x, top, x, bottom);
      painter.setPen(light);
      painter.drawLine(x, bottom, x, bottom + 5);
      painter.drawText(QRect(QPoint(x - 50, bottom + 5), QPoint(x + 49, bottom + 19)),
                       Qt::AlignHCenter | Qt::AlignTop, QString::number(value, 'g', 6));
    }
  }
  if (r.yTicks > 0) {
    for (int i = 0; i <= r.yTicks; ++i) {
      const int y = bottom - ((bottom - top) * i) / r.yTicks;
      const float value = r.minY + float(i) * (r.maxY - r.minY) / float(r.yTicks);
      painter.setPen(quiteDark);
      painter.drawLine(left, y, right, y);
      painter.setPen(light);
      painter.drawLine(left - 5, y, left, y);
      painter.drawText(QRect(QPoint(left - 30, y - 10), QPoint(left - 6, y + 9)),
                       Qt::AlignRight | Qt::AlignVCenter, QString::number(value, 'g', 6));
    }
  }
  painter.setPen(light);
  painter.setBrush(Qt::NoBrush);
  // The outline covers the pixel columns left..right and rows top..bottom.
  painter.drawRect(QRect(left, top, right - left, bottom - top));
}

void QPlotter::paintCurves(QPainter& painter) {
  const PlotRange& r = currentRange();
  const int left = plotMargin;
  const int top = plotMargin;
  const int right = width() - plotMargin - 1;
  const int bottom = height() - plotMargin - 1;
  const double scaleX = double(right - left) / double(r.maxX - r.minX);
  const double scaleY = double(bottom - top) / double(r.maxY - r.minY);

  painter.setClipRect(QRect(QPoint(left + 1, top + 1), QPoint(right - 1, bottom - 1)));

  for (const auto& [id, data] : curves) {
    QPolygon line;
    const size_t count = data.size() / 2;
    line.reserve(qsizetype(count));
    for (size_t i = 0; i < count; ++i) {
      const float x = float(left + (double(data[2 * i]) - double(r.minX)) * scaleX);
      const float y = float(bottom - (double(data[2 * i + 1]) - double(r.minY)) * scaleY);
      // Not-a-number fails both comparisons and is left out too.
      if (std::fabs(x) < coordinateLimit && std::fabs(y) < coordinateLimit)
        line.append(QPoint(int(x), int(y)));
    }
    painter.setPen(QPen(curveColour(id), 0));
    painter.drawPolyline(line);
  }

  if (markerX >= 0) {
    const float x = float(left + (double(markerX) - double(r.minX)) * scaleX);
    if (std::fabs(x) < coordinateLimit) {
      painter.setPen(QPen(Qt::white, 0));
      painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      painter.drawLine(int(x), bottom, int(x), top);
      painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
  }
}
