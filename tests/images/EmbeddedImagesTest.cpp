#include "images/EmbeddedImages.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QSet>

namespace {

struct Expected {
  const char* name;
  int width, height;
  bool alpha;
};

const Expected kImages[] = {{"splash.png", 414, 356, false},
                            {"zoomin.png", 16, 16, true},
                            {"zoomout.png", 16, 16, true},
                            {"glassenv.png", 512, 512, false},
                            {"glassrefract.png", 512, 512, false}};

} // namespace

TEST(EmbeddedImages, TableHoldsTheFiveImagesInOrder) {
  int rows = 0;
  for (const EmbeddedImage* row = embeddedImages; row->data; ++row, ++rows) {
    ASSERT_LT(rows, 5);
    EXPECT_STREQ(row->name, kImages[rows].name);
    EXPECT_EQ(row->width, kImages[rows].width);
    EXPECT_EQ(row->height, kImages[rows].height);
    EXPECT_EQ(row->depth, 32);
    EXPECT_EQ(row->alpha, kImages[rows].alpha);
    EXPECT_EQ(row->numColors, 0);
    // qUncompress layout: big-endian length of the raw pixels first.
    const unsigned long raw = (unsigned long)row->data[0] << 24 | row->data[1] << 16 | row->data[2] << 8 | row->data[3];
    EXPECT_EQ(raw, (unsigned long)row->width * row->height * 4);
  }
  EXPECT_EQ(rows, 5);
}

TEST(EmbeddedImages, DecodedSizesAlphaAndOpacity) {
  for (const Expected& e : kImages) {
    const QImage image = findEmbeddedImage(QString::fromUtf8(e.name));
    ASSERT_FALSE(image.isNull()) << e.name;
    EXPECT_EQ(image.width(), e.width) << e.name;
    EXPECT_EQ(image.height(), e.height) << e.name;
    EXPECT_EQ(image.depth(), 32) << e.name;
    EXPECT_EQ(image.hasAlphaChannel(), e.alpha) << e.name;
    if (!e.alpha) {
      for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) ASSERT_EQ(qAlpha(image.pixel(x, y)), 255) << e.name;
    }
  }
  // The icons have both transparent and opaque pixels.
  const QImage icon = findEmbeddedImage(QStringLiteral("zoomin.png"));
  EXPECT_EQ(qAlpha(icon.pixel(0, 15)), 0);
  EXPECT_EQ(qAlpha(icon.pixel(6, 6)), 255);
}

TEST(EmbeddedImages, PicturesHaveStructure) {
  // Deliberate pictures, not flat colour: many distinct colours in each large one.
  for (const char* name : {"splash.png", "glassenv.png", "glassrefract.png"}) {
    const QImage image = findEmbeddedImage(QString::fromUtf8(name));
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 200) << name;
  }
  // The plus and minus glyphs differ only where the vertical bar of the plus is.
  EXPECT_NE(findEmbeddedImage(QStringLiteral("zoomin.png")), findEmbeddedImage(QStringLiteral("zoomout.png")));
}

TEST(EmbeddedImages, FactoryDecodesOnceAndRefusesUnknownNames) {
  ASSERT_NE(imageFactory(), nullptr); // installed before main
  const int before = embeddedImageDecodeCount();
  const QImage first = imageFromMimeSource(QStringLiteral("zoomin.png"));
  const QImage second = imageFromMimeSource(QStringLiteral("zoomin.png"));
  EXPECT_EQ(embeddedImageDecodeCount(), before + 1);
  EXPECT_EQ(first.size(), QSize(16, 16));
  EXPECT_TRUE(second.hasAlphaChannel());
  EXPECT_FALSE(pixmapFromMimeSource(QStringLiteral("zoomout.png")).isNull());

  EXPECT_TRUE(imageFromMimeSource(QStringLiteral("Splash.png")).isNull());
  EXPECT_TRUE(imageFromMimeSource(QString()).isNull());
  EXPECT_TRUE(pixmapFromMimeSource(QStringLiteral("nothing.png")).isNull());

  const QImage splash = imageFromMimeSource(QStringLiteral("splash.png"));
  EXPECT_EQ(splash.size(), QSize(414, 356));
  EXPECT_FALSE(splash.hasAlphaChannel());
  if (qEnvironmentVariableIsSet("VX_DUMP_IMAGES")) {
    for (const Expected& e : kImages)
      imageFromMimeSource(QString::fromUtf8(e.name)).save(QDir::temp().filePath(QString::fromUtf8(e.name)));
  }
}
