#include "GLGPUIsosurface.h" // first: it brings GLEW in before Qt's OpenGL headers

#include "RenderControlWindow.h"

#include "PkDiag.h"
#include "PkDiag.h"
#include "QPlotter.h"

#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int perfPoints = 100;
// Larger pictures are shown scaled down to this size in the backdrop dialog's preview.
constexpr int previewSide = 256;

} // namespace

RenderControlWindow::Preview::Preview(QWidget* parent) : QLabel(parent) {
  setAlignment(Qt::AlignCenter);
  setMinimumSize(160, 160);
  setWordWrap(true);
}

void RenderControlWindow::Preview::previewUrl(const QUrl& url) {
  const QPixmap pixmap(url.toLocalFile());
  if (pixmap.isNull()) {
    setText(QStringLiteral("This is not a pixmap"));
  } else if (pixmap.width() > previewSide || pixmap.height() > previewSide) {
    setPixmap(pixmap.scaled(previewSide, previewSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  } else {
    setPixmap(pixmap);
  }
}

RenderControlWindow::RenderControlWindow(QWidget* parent, const char* name, Qt::WindowFlags fl)
    : RenderControlWindowBase(parent, name, fl) {
  perfSamples.assign(2 * perfPoints, 0.0f);
  for (int i = 0; i < perfPoints; ++i) {
    perfSamples[size_t(2 * i)] = float(i);
    perfSamples[size_t(2 * i + 1)] = 0.0f;
  }
  perfCursor = 0;
  plotter_->setPlotRange(PlotRange{0.0f, 100.0f, 5, 0.0f, 100.0f, 5});
  plotter_->unitLabel = QStringLiteral("Mtets / sec");
  plotter_->setCurve(0, perfSamples);

  // File › Save Screenshot..., with the other file entries above the separator before "E&xit".
  fileSaveScreenshotAction = new QAction(this);
  fileSaveScreenshotAction->setObjectName(QStringLiteral("fileSaveScreenshotAction"));
  fileSaveScreenshotAction->setIconText(tr("Save Screenshot"));
  fileSaveScreenshotAction->setText(tr("Save &Screenshot..."));
  fileSaveScreenshotAction->setShortcut(QKeySequence(tr("Ctrl+S")));
  const QList<QAction*> entries = fileMenu->actions();
  const qsizetype exitAt = entries.indexOf(fileExitAction);
  QAction* before = exitAt > 0 && entries[exitAt - 1]->isSeparator() ? entries[exitAt - 1] : fileExitAction;
  fileMenu->insertAction(before, fileSaveScreenshotAction);
  connect(fileSaveScreenshotAction, &QAction::triggered, this, &RenderControlWindow::fileSaveScreenshot);

  datasetLabel = new QLabel(statusBar());
  datasetLabel->setObjectName(QStringLiteral("datasetLabel"));
  statusBar()->addPermanentWidget(datasetLabel);

  setAcceptDrops(true);
}

RenderControlWindow::~RenderControlWindow() = default;

void RenderControlWindow::fileOpen() {
  QFileDialog dialog(this, QStringLiteral("Choose file to extract isosurface from"), QStringLiteral("./"),
                     QStringLiteral("Vorex Isosurface (*.vx)"));
  dialog.setObjectName(QStringLiteral("open file dialog"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return;
  openDataset(chosen.first());
}

bool RenderControlWindow::openDataset(const QString& path) {
  if (!glIsosurface_) return false;
  if (!glIsosurface_->isValid()) {
    // The view gets its OpenGL context when it is first shown; open the dataset after its first frame.
    pendingDataset_ = path;
    if (!pendingConnection_) {
      pendingConnection_ = connect(
          glIsosurface_, &QOpenGLWidget::frameSwapped, this,
          [this] {
            disconnect(pendingConnection_);
            pendingConnection_ = QMetaObject::Connection();
            const QString pending = pendingDataset_;
            pendingDataset_.clear();
            if (!pending.isEmpty()) openDataset(pending);
          },
          Qt::QueuedConnection);
    }
    statusBar()->showMessage(tr("Opening %1 ...").arg(QFileInfo(path).fileName()));
    return true;
  }
  return loadNow(path);
}

bool RenderControlWindow::loadNow(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  statusBar()->showMessage(tr("Loading %1 ...").arg(name));
  statusBar()->repaint(); // the load keeps the event loop busy
  QApplication::setOverrideCursor(Qt::WaitCursor);

  pk::FirstErrorWatch errors; // the console keeps every line; the window shows the first error
  glIsosurface_->loadProgress = [this, name](int done, int total) {
    statusBar()->showMessage(tr("Loading %1: chunk %2 of %3").arg(name).arg(done).arg(total));
    statusBar()->repaint(); // only the status bar: the view's context is busy with the load
  };
  const bool loaded = glIsosurface_->loadDataset(path);
  glIsosurface_->loadProgress = nullptr;
  QApplication::restoreOverrideCursor();

  if (loaded) {
    datasetName_ = name;
    statusBar()->clearMessage();
  } else {
    // A geometry file that cannot be read changes nothing; past it the previous dataset is gone,
    // and what the view holds is the part of this one that loaded, if any.
    if (!glIsosurface_->hasDataset())
      datasetName_.clear();
    else if (glIsosurface_->datasetPath() == path)
      datasetName_ = name;
    const std::string& error = errors.firstError();
    QString message = error.empty() ? tr("Could not open %1").arg(name) : QString::fromLocal8Bit(error.c_str());
    const int loaded = glIsosurface_->chunksLoaded(), inFile = glIsosurface_->chunksInFile();
    if (glIsosurface_->hasDataset() && glIsosurface_->datasetPath() == path && loaded < inFile)
      message += tr(" (%1 of %2 chunks loaded)").arg(loaded).arg(inFile);
    statusBar()->showMessage(message);
  }
  showDataset();
  glIsosurface_->updateGL();
  return loaded;
}

void RenderControlWindow::showDataset() {
  if (datasetName_.isEmpty() || !glIsosurface_) {
    datasetLabel->clear();
    return;
  }
  datasetLabel->setText(tr("%1 \u2014 %2 tetrahedra")
                            .arg(datasetName_, QLocale().toString(qulonglong(glIsosurface_->totalTets))));
}

void RenderControlWindow::fileExit() {
  if (glIsosurface_) {
    delete glIsosurface_; // releases its graphics resources
    glIsosurface_ = nullptr;
  }
  QApplication::exit(0);
}

void RenderControlWindow::helpAbout() {
  QMessageBox::about(this, tr("About Vorex Isosurface"),
                     tr("<h2>Edge-based Isosurface Extraction</h2>"
                        "<p>Vorex extracts isosurfaces of scalar fields on tetrahedral meshes on the "
                        "graphics processor and plots the extraction throughput as it goes."
                        "<p>Isosurface extraction from tetrahedral grids. Edge-based processing avoids "
                        "repeated element classification and minimizes memory bandwidth. "));
}

void RenderControlWindow::fpsInfo(int value) {
  const unsigned int n = unsigned(perfSamples.size() / 2);
  if (n == 0) return;
  if (perfCursor >= n) perfCursor = 0;
  plotter_->markerX = int(perfCursor);
  perfSamples[2 * size_t(perfCursor) + 1] = float(value);
  ++perfCursor;
  plotter_->setCurve(0, perfSamples);
}

void RenderControlWindow::selectBG() {
  const QColor colour = QColorDialog::getColor(bgcolorfield_->palette().color(QPalette::Window), nullptr);
  if (!colour.isValid()) return;
  QPalette swatch = bgcolorfield_->palette();
  swatch.setColor(QPalette::Window, colour);
  bgcolorfield_->setPalette(swatch);
  if (!glIsosurface_) return;
  glIsosurface_->backgroundColor[0] = float(colour.red() / 255.0);
  glIsosurface_->backgroundColor[1] = float(colour.green() / 255.0);
  glIsosurface_->backgroundColor[2] = float(colour.blue() / 255.0);
  glIsosurface_->updateGL();
}

void RenderControlWindow::openBackdrop() {
  // Qt's own dialog, since the preview goes into its layout; it lives as the window's child while
  // it is open, and goes with the preview when it closes.
  QFileDialog dialog(this);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setModal(false);
  auto* preview = new Preview(&dialog);
  preview->setObjectName(QStringLiteral("backdropPreview"));
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
    grid->addWidget(preview, 0, grid->columnCount(), grid->rowCount(), 1);
  connect(&dialog, &QFileDialog::currentChanged, preview,
          [preview](const QString& file) { preview->previewUrl(QUrl::fromLocalFile(file)); });
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty() || !glIsosurface_) return;
  glIsosurface_->setBackdropImage(chosen.first());
  glIsosurface_->updateGL();
}

void RenderControlWindow::fileSaveScreenshot() {
  QString path = QFileDialog::getSaveFileName(this, tr("Save Screenshot"), QStringLiteral("./vorex.png"),
                                              tr("PNG images (*.png)"));
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".png");
  saveScreenshot(path);
}

bool RenderControlWindow::saveScreenshot(const QString& path) {
  const QImage image = glIsosurface_ ? glIsosurface_->grabFramebuffer() : QImage();
  if (image.isNull() || !image.save(path, "PNG")) {
    pk::ErrorLine() << "Could not write the screenshot " << path.toLocal8Bit().constData();
    statusBar()->showMessage(tr("Could not write the screenshot %1").arg(path));
    return false;
  }
  statusBar()->showMessage(tr("Saved the screenshot %1").arg(path), 5000);
  return true;
}

bool RenderControlWindow::saveWindowScreenshot(const QString& path) {
  const QPixmap shot = grab();
  if (shot.isNull() || !shot.save(path, "PNG")) {
    pk::ErrorLine() << "Could not write the screenshot " << path.toLocal8Bit().constData();
    return false;
  }
  return true;
}

QString firstDatasetFile(const QList<QUrl>& urls) {
  for (const QUrl& url : urls)
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".vx"), Qt::CaseInsensitive))
      return url.toLocalFile();
  return QString();
}

void RenderControlWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !firstDatasetFile(event->mimeData()->urls()).isEmpty())
    event->acceptProposedAction();
}

void RenderControlWindow::dropEvent(QDropEvent* event) {
  const QString path = event->mimeData()->hasUrls() ? firstDatasetFile(event->mimeData()->urls()) : QString();
  if (path.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // Loading takes a while; let the drop finish first.
  QTimer::singleShot(0, this, [this, path] { openDataset(path); });
}
