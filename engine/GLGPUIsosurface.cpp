#include "GLGPUIsosurface.h"

#include "ContextWatch.h"
#include "PkDiag.h"
#include "SurfaceFormat.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>

#include <algorithm>

GLGPUIsosurface::GLGPUIsosurface(QWidget* parent, const char* name) : QOpenGLWidget(parent) {
  if (name) setObjectName(QString::fromUtf8(name));
  setFormat(pk::surfaceFormat());
  setFocusPolicy(Qt::StrongFocus);
  // The view opens datasets of any size at once: chunks are read as the isovalue needs them.
  options.chunksOnDemand = true;
}

GLGPUIsosurface::~GLGPUIsosurface() {
  // The context outlives this part of the object (QOpenGLWidget destroys it later): its notice
  // must not reach an engine that is gone.
  QObject::disconnect(contextWatch_);
  // The objects go with the context current, never from a destructor without one.
  if (context()) {
    makeCurrent();
    releaseGL();
    doneCurrent();
  }
}

void GLGPUIsosurface::updateGL() { update(); }

bool GLGPUIsosurface::loadDataset(const QString& path) {
  makeCurrent();
  // Whoever hears the progress may repaint other widgets, which leaves Qt's own context current:
  // the load goes on in this one.
  const std::function<void(int, int)> listener = loadProgress;
  if (listener)
    loadProgress = [this, listener](int done, int total) {
      listener(done, total);
      restoreContext(this);
    };
  const bool ok = IsosurfaceEngine::loadDataset(path);
  loadProgress = listener;
  doneCurrent();
  update();
  return ok;
}

void GLGPUIsosurface::setBackdropImage(const QString& path) {
  makeCurrent();
  IsosurfaceEngine::setBackdropImage(path);
  doneCurrent();
}

void GLGPUIsosurface::setIso(int v) { IsosurfaceEngine::setIso(v); }
void GLGPUIsosurface::drawBoundingBox(int on) { IsosurfaceEngine::drawBoundingBox(on); }
void GLGPUIsosurface::drawVertices(int on) { IsosurfaceEngine::drawVertices(on); }
void GLGPUIsosurface::wireframe(int on) { IsosurfaceEngine::wireframe(on); }
void GLGPUIsosurface::smoothshaded(int on) { IsosurfaceEngine::smoothshaded(on); }
void GLGPUIsosurface::renderMode(int mode) { IsosurfaceEngine::renderMode(mode); }
void GLGPUIsosurface::opacity(int v) { IsosurfaceEngine::opacity(v); }
void GLGPUIsosurface::multiSurf(int on) { IsosurfaceEngine::multiSurf(on); }
void GLGPUIsosurface::drawBoundaries(int on) { IsosurfaceEngine::drawBoundaries(on); }

void GLGPUIsosurface::inContext(const std::function<void()>& work) {
  // Before the view is shown there is no context yet: the engine only takes the choice then.
  if (!context()) return work();
  makeCurrent();
  work();
  doneCurrent();
}

void GLGPUIsosurface::selectBackend(int index) {
  const ExtractionBackend wanted = index == 0 ? ExtractionBackend::Compute : ExtractionBackend::FragmentPasses;
  inContext([&] { setBackend(wanted); });
  if (context()) emit backendInUse(activeBackend() == ExtractionBackend::Compute ? 0 : 1);
}

void GLGPUIsosurface::mousePressEvent(QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  lastMouseX = p.x();
  lastMouseY = p.y();
}

void GLGPUIsosurface::mouseMoveEvent(QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  const int dx = p.x() - lastMouseX, dy = p.y() - lastMouseY;
  // One button alone and no modifier key: the button state must match exactly.
  const bool plain = e->modifiers() == Qt::NoModifier;
  const Qt::MouseButtons buttons = e->buttons();
  if (plain && buttons == Qt::LeftButton) {
    rotation[1] += float(dx);
    rotation[0] += float(dy);
    emit viewUpdated();
  } else if (plain && buttons == Qt::MiddleButton) {
    camera.position += (float(dx) / 100.0f * camera.aspect) * camera.up.cross(camera.direction);
    camera.position += (float(dy) / 100.0f / camera.aspect) * camera.up;
    emit viewUpdated();
  } else if (plain && buttons == Qt::RightButton) {
    camera.position += (float(dy) / 100.0f / camera.aspect) * camera.direction;
    emit viewUpdated();
  }
  lastMouseX = p.x();
  lastMouseY = p.y();
  updateGL();
}

void GLGPUIsosurface::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Q) QCoreApplication::quit();
  if (e->key() == Qt::Key_Space) {
    QWidget* top = window();
    if (top->isFullScreen())
      top->showNormal();
    else
      top->showFullScreen();
    e->accept();
    return;
  }
  e->ignore(); // passed on to the parent, Q included
}

void GLGPUIsosurface::initializeGL() {
  IsosurfaceEngine::initializeGL();
  emit backendInUse(activeBackend() == ExtractionBackend::Compute ? 0 : 1);
  QObject::disconnect(contextWatch_);
  contextWatch_ = watchContextDestruction(this, [this] {
    if (hasDataset()) reopenPath_ = datasetPath();
    releaseGL();
  });
  // A new context (the view moved to another window): the dataset comes back with it.
  if (!reopenPath_.isEmpty()) {
    const QString path = reopenPath_;
    reopenPath_.clear();
    IsosurfaceEngine::loadDataset(path);
  }
}

void GLGPUIsosurface::resizeGL(int w, int h) { IsosurfaceEngine::resizeGL(w, h); }

void GLGPUIsosurface::paintGL() {
  const bool extracting = dirty;
  {
    pk::FirstErrorWatch errors; // the console keeps every line; the window hears the first
    IsosurfaceEngine::paintGL();
    if (!errors.firstError().empty()) emit extractionError(QString::fromLocal8Bit(errors.firstError().c_str()));
  }
  // After a new surface, the chunks of the neighbouring isovalues are read while the view is idle,
  // a few at a time, so that the window answers between them (the first prefetch at 50 M
  // tetrahedra reads chunks for more than half a second); a newer surface starts it over.
  if (extracting && dataset.onDemand()) {
    prefetchQueue_ = chunksAround(isovalue);
    const unsigned round = ++prefetchRound_;
    if (!prefetchQueue_.empty()) QTimer::singleShot(0, this, [this, round] { prefetchStep(round); });
  }
}

void GLGPUIsosurface::prefetchStep(unsigned round) {
  if (round != prefetchRound_ || prefetchQueue_.empty() || !context()) return;
  constexpr std::size_t kChunksPerStep = 4;
  const std::size_t n = std::min(kChunksPerStep, prefetchQueue_.size());
  const std::vector<int> step(prefetchQueue_.begin(), prefetchQueue_.begin() + long(n));
  prefetchQueue_.erase(prefetchQueue_.begin(), prefetchQueue_.begin() + long(n));
  makeCurrent();
  dataset.makeResident(step, false);
  doneCurrent();
  if (!prefetchQueue_.empty()) QTimer::singleShot(0, this, [this, round] { prefetchStep(round); });
}

void GLGPUIsosurface::setGpuBudgetMB(int megabytes) {
  const std::size_t bytes = std::size_t(std::max(megabytes, 0)) << 20;
  inContext([&] { setGpuBudget(bytes); });
  update();
}

void GLGPUIsosurface::reportExtractPerf(int mtetsPerSecond) {
  emit extractPerf(mtetsPerSecond);
  const ExtractionStats& stats = lastExtraction();
  if (stats.chunksRead > 0) emit waitedForChunks(stats.chunksRead, int(stats.readSeconds * 1000.0 + 0.5));
}
