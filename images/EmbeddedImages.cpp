#include "EmbeddedImages.h"

#include <QByteArray>

namespace {

MimeSourceFactory_VorexIsosurface* factory = nullptr;
int decodeCount = 0;

// Installs the factory before main runs and removes it at program exit.
struct FactoryInstaller {
  FactoryInstaller() { installImageFactory(); }
  ~FactoryInstaller() { removeImageFactory(); }
} installer;

} // namespace

QImage findEmbeddedImage(const QString& name) {
  for (const EmbeddedImage* row = embeddedImages; row->data; ++row) {
    if (QString::fromUtf8(row->name) != name) continue;
    const QByteArray pixels = qUncompress(row->data, qsizetype(row->compressed));
    ++decodeCount;
    const qsizetype expected = qsizetype(row->width) * row->height * 4;
    if (row->depth != 32 || pixels.size() != expected) return QImage();
    // Pixels are 0xAARRGGBB values stored least significant byte first: Qt's ARGB32 layout.
    const QImage view(reinterpret_cast<const uchar*>(pixels.constData()), row->width, row->height,
                      row->width * 4, row->alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    return view.copy(); // the decompressed bytes go away with this function
  }
  return QImage();
}

const QImage* MimeSourceFactory_VorexIsosurface::data(const QString& absName) {
  if (absName.isNull()) return nullptr;
  auto it = store_.find(absName);
  if (it != store_.end()) return &it->second;
  const QImage image = findEmbeddedImage(absName);
  if (image.isNull()) return nullptr;
  setImage(absName, image);
  return &store_.find(absName)->second;
}

void MimeSourceFactory_VorexIsosurface::setImage(const QString& absName, const QImage& image) {
  store_[absName] = image;
}

void installImageFactory() {
  if (!factory) factory = new MimeSourceFactory_VorexIsosurface;
}

void removeImageFactory() {
  delete factory;
  factory = nullptr;
}

MimeSourceFactory_VorexIsosurface* imageFactory() { return factory; }

QImage imageFromMimeSource(const QString& name) {
  const QImage* image = factory ? factory->data(name) : nullptr;
  return image ? *image : QImage();
}

QPixmap pixmapFromMimeSource(const QString& name) {
  const QImage image = imageFromMimeSource(name);
  return image.isNull() ? QPixmap() : QPixmap::fromImage(image);
}

int embeddedImageDecodeCount() { return decodeCount; }
