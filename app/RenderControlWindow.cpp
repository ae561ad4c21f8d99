#include "GLGPUIsosurface.h" // first: it brings GLEW in before Qt's OpenGL headers

#include "RenderControlWindow.h"

#include "images/EmbeddedImages.h"
#include "datasetbuild/MeshDatasets.h"
#include "PkDiag.h"
#include "QPlotter.h"

#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QInputDialog>
#include <QProgressDialog>
#include <QSettings>
#include <QSpinBox>
#include <QThread>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QLocale>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QSlider>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QVBoxLayout>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>

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

  // The graphics memory budget is a preference the program keeps between runs (the program names
  // its settings; a window without them, as in the tests, keeps the budget for its own life only).
  if (!QCoreApplication::organizationName().isEmpty()) {
    budgetBox_->setValue(QSettings().value(QStringLiteral("view/gpuBudgetMB"), 0).toInt());
    connect(budgetBox_, &QSpinBox::valueChanged, this,
            [](int megabytes) { QSettings().setValue(QStringLiteral("view/gpuBudgetMB"), megabytes); });
  }
  // When the slider outruns the chunks read ahead, the frame waits for them: said, not hidden.
  connect(glIsosurface_, &GLGPUIsosurface::waitedForChunks, this, [this](int chunks, int milliseconds) {
    statusBar()->showMessage(tr("Waited %1 ms for %2 chunks of this isovalue to be read").arg(milliseconds).arg(chunks),
                             4000);
  });
  // A surface with chunks left out says why, until the next message.
  connect(glIsosurface_, &GLGPUIsosurface::extractionError, this,
          [this](const QString& firstError) { statusBar()->showMessage(firstError); });

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

  // View › Fit Model (F), also on the tool bar before its last separator.
  viewFitAction = new QAction(this);
  viewFitAction->setObjectName(QStringLiteral("viewFitAction"));
  viewFitAction->setIconText(tr("Fit Model"));
  viewFitAction->setText(tr("&Fit Model"));
  viewFitAction->setShortcut(QKeySequence(Qt::Key_F));
  viewFitAction->setIcon(QIcon(pixmapFromMimeSource(QStringLiteral("zoomout.png"))));
  viewMenu = new QMenu(tr("&View"), this);
  viewMenu->setObjectName(QStringLiteral("viewMenu"));
  viewMenu->addAction(viewFitAction);
  MenuBar->insertMenu(helpMenu->menuAction(), viewMenu);
  const QList<QAction*> tools = toolBar->actions();
  const qsizetype exitTool = tools.indexOf(fileExitAction);
  toolBar->insertAction(exitTool > 0 ? tools[exitTool - 1] : fileExitAction, viewFitAction);
  connect(viewFitAction, &QAction::triggered, this, &RenderControlWindow::fitModel);

  fieldValueLabel = new QLabel(page1);
  fieldValueLabel->setObjectName(QStringLiteral("fieldValueLabel"));
  layout2->addWidget(fieldValueLabel);
  connect(slider1, &QSlider::valueChanged, this, [this] { showFieldValue(); });

  datasetLabel = new QLabel(statusBar());
  datasetLabel->setObjectName(QStringLiteral("datasetLabel"));
  statusBar()->addPermanentWidget(datasetLabel);

  setAcceptDrops(true);
}

RenderControlWindow::~RenderControlWindow() = default;

void RenderControlWindow::fileOpen() {
  QFileDialog dialog(this, QStringLiteral("Choose file to extract isosurface from"), QStringLiteral("./"),
                     QStringLiteral("Vorex Isosurface (*.vx)"));
  // Meshes too: any simulation result the builder reads.
  dialog.setNameFilters(openDialogFilters());
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
  return isMeshPath(path) ? openMesh(path) : loadNow(path);
}

bool RenderControlWindow::openMesh(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  auto job = std::make_shared<MeshToDataset>(path);
  QProgressDialog dialog(tr("Opening %1 ...").arg(name), tr("Cancel"), 0, 1000, this);
  dialog.setObjectName(QStringLiteral("meshProgress"));
  dialog.setWindowTitle(tr("Opening a mesh"));
  dialog.setWindowModality(Qt::WindowModal);
  dialog.setMinimumDuration(0);
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  dialog.setValue(0);
  connect(&dialog, &QProgressDialog::canceled, &dialog, [job] { job->cancel = true; });
  // The worker reports through queued calls; they are dropped once the dialog is gone.
  job->progress = [&dialog](const QString& step, double fraction) {
    QMetaObject::invokeMethod(
        &dialog, [&dialog, step, fraction] {
          dialog.setLabelText(step);
          dialog.setValue(int(fraction * 1000.0));
        },
        Qt::QueuedConnection);
  };
  // Runs one step on a worker thread while the window keeps handling its events.
  auto onWorker = [](const std::function<bool()>& work) {
    bool ok = false;
    QEventLoop loop;
    QThread* thread = QThread::create([&ok, &work] { ok = work(); });
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return ok;
  };
  // The console has the error already; the status bar shows it, the view keeps what it had.
  auto fail = [&](const QString& why) {
    dialog.close();
    statusBar()->showMessage(why);
    return false;
  };

  const QString cancelled = tr("Opening %1 was cancelled").arg(name);
  if (!onWorker([job] { return job->hashContent(); })) return fail(job->error);
  if (job->cancel) return fail(cancelled);
  QStringList cached = job->cachedDatasets();
  QString dataset = cached.size() == 1 ? cached.first() : QString();
  if (dataset.isEmpty()) {
    if (!onWorker([job] { return job->read(); })) return fail(job->error);
    if (job->cancel) return fail(cancelled);
    const QStringList choices = job->fieldChoices();
    QString choice = choices.value(0);
    if (choices.size() > 1) {
      bool accepted = false;
      choice = QInputDialog::getItem(this, tr("Field"), tr("The field of %1 to show:").arg(name), choices, 0, false,
                                     &accepted);
      if (!accepted) return fail(cancelled);
    }
    dataset = job->datasetPath(choice);
    if (dataset.isEmpty()) return fail(tr("No cache folder for the dataset of %1").arg(name));
    if (!QFile::exists(dataset) || !QFile::exists(dataset + QStringLiteral(".cache"))) {
      if (!onWorker([job, choice] { return job->build(choice); })) return fail(job->cancel ? cancelled : job->error);
    }
  }
  dialog.close();
  return loadNow(dataset, name);
}

bool RenderControlWindow::loadNow(const QString& path, const QString& shownName) {
  const QString name = shownName.isEmpty() ? QFileInfo(path).fileName() : shownName;
  statusBar()->showMessage(tr("Loading %1 ...").arg(name));
  statusBar()->repaint(); // the load keeps the event loop busy
  QApplication::setOverrideCursor(Qt::WaitCursor);

  pk::FirstErrorWatch errors; // the console keeps every line; the window shows the first error
  // Only the status bar is repainted (the view's context is busy with the load), and at most every
  // 50 ms: a chunk index of thousands of chunks is read in a fraction of a second, and a repaint
  // for each would take longer than the open itself. No one sees the text between repaints, so it
  // is made only for them (made for each of 4719 chunks, it took 5 to 22 ms of a 50 M open).
  QElapsedTimer sinceRepaint;
  sinceRepaint.start();
  glIsosurface_->loadProgress = [this, name, &sinceRepaint](int done, int total) {
    if (done < total && sinceRepaint.elapsed() < 50) return;
    statusBar()->showMessage(tr("Loading %1: chunk %2 of %3").arg(name).arg(done).arg(total));
    statusBar()->repaint();
    sinceRepaint.restart();
  };
  const bool loaded = glIsosurface_->loadDataset(path);
  glIsosurface_->loadProgress = nullptr;
  QApplication::restoreOverrideCursor();

  if (loaded) {
    datasetName_ = name;
    readFieldFile(path);
    // The camera starts inside the model.
    statusBar()->showMessage(tr("The view starts inside the model: press F (View \u203a Fit Model) to see all of it"));
  } else {
    // A geometry file that cannot be read changes nothing; past it the previous dataset is gone,
    // and what the view holds is the part of this one that loaded, if any.
    if (!glIsosurface_->hasDataset()) {
      datasetName_.clear();
      readFieldFile(QString());
    } else if (glIsosurface_->datasetPath() == path) {
      datasetName_ = name;
      readFieldFile(path);
    }
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
  QString text = tr("%1 \u2014 %2 tetrahedra").arg(datasetName_, QLocale().toString(qulonglong(glIsosurface_->dataset.totalTets)));
  if (!fieldName_.isEmpty()) text += tr(" \u2014 field %1").arg(fieldName_);
  datasetLabel->setText(text);
  showFieldValue();
}

void RenderControlWindow::readFieldFile(const QString& datasetPath) {
  // NAME.vx.field, written by the builder: "name=", "min=", "max=" lines (others ignored). Anything
  // unreadable, or a range that is not one, leaves the field unnamed.
  fieldName_.clear();
  fieldMin_ = fieldMax_ = 0;
  if (datasetPath.isEmpty()) return;
  QFile file(datasetPath + QStringLiteral(".field"));
  if (!file.open(QIODevice::ReadOnly)) return;
  const QList<QByteArray> lines = file.read(4096).split('\n');
  QString name;
  bool hasMin = false, hasMax = false;
  double low = 0, high = 0;
  for (const QByteArray& line : lines) {
    const qsizetype at = line.indexOf('=');
    if (at <= 0) continue;
    const QByteArray key = line.left(at).trimmed(), value = line.mid(at + 1).trimmed();
    if (key == "name") name = QString::fromUtf8(value).left(64);
    else if (key == "min") low = value.toDouble(&hasMin);
    else if (key == "max") high = value.toDouble(&hasMax);
  }
  if (name.isEmpty() || !hasMin || !hasMax || !std::isfinite(low) || !std::isfinite(high) || high < low) return;
  fieldName_ = name;
  fieldMin_ = low;
  fieldMax_ = high;
}

void RenderControlWindow::showFieldValue() {
  if (fieldName_.isEmpty() || !glIsosurface_) {
    fieldValueLabel->clear();
    return;
  }
  // The isovalue is the field normalised to [0, 1] over its original range.
  const double value = fieldMin_ + double(glIsosurface_->isovalue) * (fieldMax_ - fieldMin_);
  fieldValueLabel->setText(tr("%1 = %2").arg(fieldName_, QString::number(value, 'g', 4)));
}

void RenderControlWindow::fitModel() {
  if (!glIsosurface_) return;
  IsosurfaceEngine& engine = *glIsosurface_;
  // The model is scaled about the origin and then turned: a sphere round the origin through its
  // farthest box corner holds it whatever the rotation.
  PkVec3f corners[8];
  engine.dataset.modelBox.corners(corners);
  float radius = 0;
  for (const PkVec3f& c : corners) radius = std::max(radius, std::sqrt((engine.viewScale * c).lengthSquared()));
  if (!(radius > 0) || !std::isfinite(radius)) radius = std::sqrt(3.0f);
  const float halfHeight = 0.5f * engine.camera.fov * 3.14159265f / 180.0f;
  const float halfWidth = std::atan(std::tan(halfHeight) * std::max(engine.camera.aspect, 0.01f));
  const float distance = 1.05f * radius / std::sin(std::min(halfHeight, halfWidth));
  engine.camera.direction = PkVec3f(0, 0, -1);
  engine.camera.up = PkVec3f(0, 1, 0);
  engine.camera.position = PkVec3f(0, 0, distance);
  glIsosurface_->updateGL();
}

void RenderControlWindow::helpContents() {
  if (!helpDialog_) {
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("helpDialog"));
    dialog->setWindowTitle(tr("Vorex Help"));
    auto* text = new QTextBrowser(dialog);
    text->setObjectName(QStringLiteral("helpText"));
    text->setHtml(tr(
        "<h3>Vorex</h3>"
        "<p>Open a dataset with File &rsaquo; Open... (Ctrl+O), on the command line or by dropping it on the "
        "window. The view starts inside the model: press F (View &rsaquo; Fit Model) to see all of it.</p>"
        "<table border=1 cellpadding=3>"
        "<tr><th>Input</th><th>Effect</th></tr>"
        "<tr><td>left drag</td><td>rotate the model (one degree per pixel)</td></tr>"
        "<tr><td>middle drag</td><td>move the camera sideways and up or down</td></tr>"
        "<tr><td>right drag</td><td>move the camera forwards or backwards</td></tr>"
        "<tr><td>F</td><td>fit the whole model into the view</td></tr>"
        "<tr><td>Space</td><td>full screen on and off</td></tr>"
        "<tr><td>Q</td><td>quit</td></tr>"
        "</table>"
        "<p>The <b>Isosurface</b> page sets the isovalue, smooth or flat normals, a family of surfaces 0.1 "
        "apart and the opacity. The <b>Rendering</b> page sets the shading mode, the extraction back end, "
        "wireframe, vertices, box, boundaries and the background colour.</p>"
        "<p>The plot shows the throughput of every extraction in millions of tetrahedra per second.</p>"));
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(text);
    dialog->resize(480, 440);
    helpDialog_ = dialog;
  }
  helpDialog_->show();
  helpDialog_->raise();
  helpDialog_->activateWindow();
}

bool RenderControlWindow::waitForView(const QString& what) {
  // The view's context exists once the window has shown it.
  QElapsedTimer waited;
  waited.start();
  while (glIsosurface_ && !glIsosurface_->isValid() && waited.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  if (glIsosurface_ && glIsosurface_->isValid()) return true;
  pk::ErrorLine() << "the view has no OpenGL context: no " << what.toLocal8Bit().constData();
  return false;
}

bool RenderControlWindow::screenshotOf(const QString& dataset, const QString& out, QSize size, float iso) {
  if (!waitForView(QStringLiteral("screenshot ") + out)) return false;
  if (!openDataset(dataset)) return false; // the engine said why
  if (iso >= 0) {
    slider1->setValue(std::clamp(int(std::lround(iso * 100.0f)), 0, 100));
    const float clamped = iso < IsosurfaceEngine::kIsoLow ? IsosurfaceEngine::kIsoLow
                                                          : (iso >= 1.0f ? IsosurfaceEngine::kIsoHigh : iso);
    if (clamped != glIsosurface_->isovalue) {
      glIsosurface_->isovalue = clamped;
      glIsosurface_->requestExtraction();
    }
  }
  if (size.isEmpty()) size = glIsosurface_->size() * glIsosurface_->devicePixelRatio();
  glIsosurface_->camera.aspect = float(size.width()) / float(size.height());
  fitModel();
  glIsosurface_->makeCurrent();
  const QImage image = glIsosurface_->renderFrame(size.width(), size.height());
  glIsosurface_->doneCurrent();
  if (image.isNull() || !image.save(out, "PNG")) {
    pk::ErrorLine() << "Could not write the screenshot " << out.toLocal8Bit().constData();
    return false;
  }
  return true;
}

bool RenderControlWindow::timeFirstFrame(const QString& dataset, FirstFrameTimes& times) {
  times = FirstFrameTimes();
  if (!waitForView(QStringLiteral("first frame of ") + dataset)) return false;
  // File › Open is chosen in a window that has settled: the clock starts once the view has drawn
  // its frames of the start (the window's first exposures) and none for 100 ms, at most 5 s after
  // the view was set up. Timed sooner, the first frame of a small dataset was twice as long.
  {
    QElapsedTimer sinceFrame, waited;
    sinceFrame.start();
    waited.start();
    const QMetaObject::Connection swaps =
        connect(glIsosurface_, &QOpenGLWidget::frameSwapped, this, [&sinceFrame] { sinceFrame.restart(); });
    while (sinceFrame.elapsed() < 100 && waited.elapsed() < 5000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    disconnect(swaps);
  }
  // The frame that shows the surface is the first one swapped after a paint that extracted it (a
  // paint reports every extraction, or the first error of one that went wrong). Its graphics work
  // is finished in the view's context before the clock stops; the chunks of the neighbouring
  // isovalues, read once that paint is over, are not part of it.
  // Paints during the open (a progress repaint) drew a part of the dataset at most, and do not count.
  // A frame whose extraction went wrong (a chunk that cannot be read, a budget too small) did not
  // draw the whole surface: it is not timed.
  QEventLoop loop;
  QElapsedTimer clock;
  bool openDone = false, extracted = false, drawn = false, failed = false;
  const QMetaObject::Connection connections[] = {
      connect(glIsosurface_, &GLGPUIsosurface::extractPerf, &loop, [&] { extracted = extracted || openDone; }),
      connect(glIsosurface_, &GLGPUIsosurface::extractionError, &loop,
              [&] {
                failed = failed || openDone;
                extracted = extracted || openDone;
              }),
      connect(glIsosurface_, &QOpenGLWidget::frameSwapped, &loop, [&] {
        if (!extracted || drawn) return;
        glIsosurface_->makeCurrent();
        glFinish();
        times.frameSeconds = 1e-9 * double(clock.nsecsElapsed()) - times.openSeconds;
        glIsosurface_->doneCurrent();
        drawn = true;
        loop.quit();
      })};

  clock.start();
  const bool opened = openDataset(dataset);
  times.openSeconds = 1e-9 * double(clock.nsecsElapsed());
  openDone = true;
  if (opened) {
    // The open asked for a repaint; the event loop draws it as it would in the viewer.
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
  }
  for (const QMetaObject::Connection& c : connections) disconnect(c);
  if (!opened) return false; // the engine said why
  if (!drawn) {
    pk::ErrorLine() << "the view drew no frame of " << dataset.toLocal8Bit().constData() << " within a minute";
    return false;
  }
  if (failed) {
    pk::ErrorLine() << "the first frame of " << dataset.toLocal8Bit().constData()
                    << " did not draw the whole surface (see above): not timed";
    return false;
  }
  const ExtractionStats& stats = glIsosurface_->lastExtraction();
  times.tetrahedra = glIsosurface_->dataset.totalTets;
  times.extractionSeconds = stats.seconds;
  times.chunksRead = stats.chunksRead;
  times.readSeconds = stats.readSeconds;
  return true;
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
  // No dataset among them: the first mesh.
  for (const QUrl& url : urls)
    if (url.isLocalFile() && looksLikeMesh(url.toLocalFile())) return url.toLocalFile();
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
