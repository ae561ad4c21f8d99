#include "FormImages.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

namespace {

QImage blank(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

QPen pen(const QColor& colour, qreal width, Qt::PenStyle style = Qt::SolidLine) {
  return QPen(colour, width, style, Qt::RoundCap, Qt::RoundJoin);
}

// A tetrahedron with three front and three hidden edges, cut by an isosurface triangle near its top
// vertex: the program's emblem. a, b, c are the front corners (c on top), d the hidden one.
void drawEmblem(QPainter& p, QPointF a, QPointF b, QPointF c, QPointF d, qreal lineWidth, qreal dot) {
  const QColor front(0xcf, 0xe0, 0xff);
  const QColor hidden(0x8a, 0xa4, 0xd8);
  p.setPen(pen(hidden, lineWidth * 0.7, Qt::DashLine));
  p.drawLine(a, d);
  p.drawLine(b, d);
  p.drawLine(c, d);

  const qreal t = 0.6;
  const QPolygonF cut{c + t * (a - c), c + t * (b - c), c + t * (d - c)};
  QLinearGradient fill(cut[0], cut[1]);
  fill.setColorAt(0, QColor(0xff, 0xb3, 0x47, 235));
  fill.setColorAt(1, QColor(0xe8, 0x64, 0x1b, 235));
  p.setBrush(fill);
  p.setPen(pen(QColor(0xff, 0xd9, 0xa0), lineWidth * 0.5));
  p.drawPolygon(cut);

  p.setBrush(Qt::NoBrush);
  p.setPen(pen(front, lineWidth));
  p.drawPolygon(QPolygonF{a, b, c});

  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  for (QPointF v : {a, b, c}) p.drawEllipse(v, dot, dot);
  p.setBrush(hidden);
  p.drawEllipse(d, dot * 0.75, dot * 0.75);
}

QImage windowIcon() {
  QImage image = blank(128, 128);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient back(0, 4, 0, 124);
  back.setColorAt(0, QColor(0x2a, 0x3f, 0x6e));
  back.setColorAt(1, QColor(0x0e, 0x17, 0x30));
  p.setBrush(back);
  p.setPen(pen(QColor(0x5a, 0x78, 0xb8), 2));
  p.drawRoundedRect(QRectF(5, 5, 118, 118), 22, 22);
  drawEmblem(p, {26, 94}, {100, 104}, {68, 20}, {86, 64}, 3.0, 4.5);
  return image;
}

QImage logo() {
  QImage image = blank(100, 42);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  // The emblem on a small dark plate, then the name with a line under it.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1b, 0x29, 0x4c));
  p.drawRoundedRect(QRectF(1, 1, 40, 40), 7, 7);
  drawEmblem(p, {8, 33}, {35, 36}, {23, 6}, {30, 23}, 1.4, 1.8);

  // The largest bold size at which the name fits beside the emblem, whatever font is installed.
  const QString word = QStringLiteral("Vorex");
  QFont name;
  name.setBold(true);
  for (int size = 19; size > 8; --size) {
    name.setPixelSize(size);
    if (QFontMetrics(name).horizontalAdvance(word) <= 52) break;
  }
  p.setFont(name);
  p.setPen(QColor(0x1f, 0x35, 0x66));
  p.drawText(QRectF(45, 3, 55, 24), Qt::AlignLeft | Qt::AlignVCenter, word);
  p.setPen(pen(QColor(0xe8, 0x64, 0x1b), 2.5));
  p.drawLine(QPointF(46, 30), QPointF(96, 30));
  p.setPen(pen(QColor(0x8a, 0xa4, 0xd8), 1.5));
  p.drawLine(QPointF(46, 35), QPointF(80, 35));
  return image;
}

QImage openIcon() {
  QImage image = blank(22, 22);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QPen outline = pen(QColor(0x7a, 0x5a, 0x12), 1);
  p.setPen(outline);
  p.setBrush(QColor(0xd9, 0xa5, 0x3a));
  p.drawPolygon(QPolygonF{{2.5, 4.5}, {8, 4.5}, {10, 6.5}, {18.5, 6.5}, {18.5, 17.5}, {2.5, 17.5}});
  p.setPen(pen(QColor(0x9a, 0x9a, 0x9a), 0.8));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(5, 8, 12, 7));
  QLinearGradient flap(0, 10, 0, 18);
  flap.setColorAt(0, QColor(0xff, 0xe0, 0x8a));
  flap.setColorAt(1, QColor(0xf0, 0xb8, 0x40));
  p.setPen(outline);
  p.setBrush(flap);
  p.drawPolygon(QPolygonF{{2.5, 17.5}, {5, 10.5}, {21, 10.5}, {18.5, 17.5}});
  return image;
}

// A round button lit from the upper left, filling a 22 × 22 icon.
void drawRoundButton(QPainter& p, QColor light, QColor dark, QColor rim) {
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient disc(QPointF(9, 8), 11);
  disc.setColorAt(0, light);
  disc.setColorAt(1, dark);
  p.setBrush(disc);
  p.setPen(pen(rim, 1));
  p.drawEllipse(QPointF(11, 11), 9.5, 9.5);
}

QImage exitIcon() {
  QImage image = blank(22, 22);
  QPainter p(&image);
  drawRoundButton(p, QColor(0xff, 0x7a, 0x6b), QColor(0xc0, 0x28, 0x1c), QColor(0x7c, 0x14, 0x10));
  // A power switch sign: an open ring with a bar through the gap.
  p.setBrush(Qt::NoBrush);
  p.setPen(pen(Qt::white, 2));
  p.drawArc(QRectF(6, 6.5, 10, 10), 120 * 16, 300 * 16);
  p.drawLine(QPointF(11, 4.5), QPointF(11, 10.5));
  return image;
}

QImage contentsIcon() {
  QImage image = blank(22, 22);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor cover(0x3b, 0x5b, 0x92);
  p.setPen(pen(cover.darker(130), 1));
  p.setBrush(cover);
  p.drawPolygon(QPolygonF{{1, 6}, {1, 18}, {11, 20.5}, {21, 18}, {21, 6}, {11, 8}});
  p.setPen(pen(cover, 0.8));
  p.setBrush(QColor(0xf7, 0xf4, 0xea));
  p.drawPolygon(QPolygonF{{2.5, 4.5}, {11, 6.5}, {11, 18.5}, {2.5, 16.5}});
  p.drawPolygon(QPolygonF{{11, 6.5}, {19.5, 4.5}, {19.5, 16.5}, {11, 18.5}});
  // Lines of text on both pages.
  p.setPen(pen(QColor(0x8a, 0xa0, 0xc8), 0.9));
  for (qreal y : {9.0, 11.5, 14.0}) {
    p.drawLine(QPointF(4.5, y - 1.5), QPointF(9.5, y - 0.3));
    p.drawLine(QPointF(12.5, y - 0.3), QPointF(17.5, y - 1.5));
  }
  return image;
}

QImage aboutIcon() {
  QImage image = blank(22, 22);
  QPainter p(&image);
  drawRoundButton(p, QColor(0x6f, 0xa8, 0xff), QColor(0x1f, 0x5f, 0xbf), QColor(0x15, 0x3f, 0x80));
  // The letter i, drawn as shapes so that it does not depend on a font.
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(11, 6.5), 1.7, 1.7);
  p.drawRoundedRect(QRectF(9.6, 9.2, 2.8, 8), 1, 1);
  return image;
}

QImage backdropIcon() {
  QImage image = blank(22, 22);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(pen(QColor(0x3d, 0x29, 0x14), 1));
  p.setBrush(QColor(0x8b, 0x5e, 0x34));
  p.drawRect(QRectF(1.5, 3.5, 19, 15));
  QLinearGradient sky(0, 5.5, 0, 16.5);
  sky.setColorAt(0, QColor(0x6f, 0xc0, 0xff));
  sky.setColorAt(1, QColor(0xd8, 0xf0, 0xff));
  p.setPen(Qt::NoPen);
  p.setBrush(sky);
  p.drawRect(QRectF(3.5, 5.5, 15, 11));
  p.setBrush(QColor(0xff, 0xd2, 0x3f));
  p.drawEllipse(QPointF(15, 8.5), 1.8, 1.8);
  p.setBrush(QColor(0x3f, 0x8f, 0x4a));
  p.drawPolygon(QPolygonF{{3.5, 16.5}, {8, 10}, {11, 13.5}, {14, 11}, {18.5, 16.5}});
  return image;
}

} // namespace

QImage drawFormImage(FormImage which) {
  switch (which) {
  case FormImage::WindowIcon:
    return windowIcon();
  case FormImage::Logo:
    return logo();
  case FormImage::OpenIcon:
    return openIcon();
  case FormImage::ExitIcon:
    return exitIcon();
  case FormImage::ContentsIcon:
    return contentsIcon();
  case FormImage::AboutIcon:
    return aboutIcon();
  case FormImage::BackdropIcon:
    return backdropIcon();
  }
  return QImage();
}
