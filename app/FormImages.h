// The control window's own pictures: its window icon, the logo on the "Rendering" page and the five
// action icons. They are drawn with QPainter when the form asks for them (a QGuiApplication must
// exist), at fixed sizes: 128 × 128, 100 × 42 and 22 × 22, all with an alpha channel.
#pragma once

#include <QImage>

enum class FormImage {
  WindowIcon, // 128 × 128
  Logo,       // 100 × 42
  OpenIcon,   // 22 × 22, also for the rest
  ExitIcon,
  ContentsIcon,
  AboutIcon,
  BackdropIcon,
};

// The picture in premultiplied ARGB32.
QImage drawFormImage(FormImage which);
