// The pictures Vorex carries inside its executable, served by name: "splash.png", "zoomin.png",
// "zoomout.png", "glassenv.png" and "glassrefract.png". Each is decoded once, on its first request,
// and kept by the image factory; unknown names give null images.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>

#include <cstdint>
#include <map>

// One row of the generated table; a row with null data ends it.
struct EmbeddedImage {
  int width;
  int height;
  int depth;
  const unsigned char* data;   // qUncompress layout: 4-byte big-endian length, then a zlib stream
  unsigned long compressed;    // length of data in bytes
  int numColors;
  const uint32_t* colorTable;
  bool alpha;
  const char* name;            // UTF-8
};

extern const EmbeddedImage embeddedImages[];

// Decodes the first row named exactly `name`; a null image when there is none.
QImage findEmbeddedImage(const QString& name);

// The image store of the program: looks a name up in the table on its first request and keeps the
// decoded image for every later one.
class MimeSourceFactory_VorexIsosurface {
public:
  // The stored image for the name, decoding it first if needed; null for unknown or null names.
  const QImage* data(const QString& absName);
  void setImage(const QString& absName, const QImage& image);

private:
  std::map<QString, QImage> store_;
};

void installImageFactory();
void removeImageFactory();
MimeSourceFactory_VorexIsosurface* imageFactory();

// What QImage::fromMimeSource and QPixmap::fromMimeSource gave: a copy of the stored image, or null.
QImage imageFromMimeSource(const QString& name);
QPixmap pixmapFromMimeSource(const QString& name);

// How many times a table row has been decoded since start (for tests of the decode-once rule).
int embeddedImageDecodeCount();
