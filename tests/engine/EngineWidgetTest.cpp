#include "GLGPUIsosurface.h"

#include "ContextNotices.h"
#include "DatasetSamples.h"
#include "DatasetWriter.h"
#include "GLOffscreenContext.h"
#include "GeometryFile.h"
#include "HeadlessContext.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QDir>
#include <QTest>
#include <QTimer>

#include <cstring>

namespace {

// The real widget, counting its repaint requests.
class CountingWidget : public GLGPUIsosurface {
public:
  int repaints = 0;
  void updateGL() override {
    ++repaints;
    GLGPUIsosurface::updateGL();
  }
};

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

void sendMove(QWidget* w, QPoint p, Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QMouseEvent e(QEvent::MouseMove, QPointF(p), w->mapToGlobal(QPointF(p)), Qt::NoButton, buttons, mods);
  QApplication::sendEvent(w, &e);
}

void sendPress(QWidget* w, QPoint p, Qt::MouseButton button) {
  QMouseEvent e(QEvent::MouseButtonPress, QPointF(p), w->mapToGlobal(QPointF(p)), button, button, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

} // namespace

TEST(EngineWidget, StartsWithItsDefaults) {
  GLGPUIsosurface w(nullptr, "glIsosurface_");
  EXPECT_EQ(w.objectName(), "glIsosurface_");
  EXPECT_EQ(w.textureWidth, 256);
  EXPECT_EQ(w.textureHeight, 256);
  EXPECT_EQ(w.invTextureWidth, 1.0f / 256);
  EXPECT_EQ(w.isovalue, 0.5f);
  EXPECT_EQ(w.rowMin, 0);
  EXPECT_EQ(w.rowEnd, 256);
  EXPECT_TRUE(w.dirty);
  EXPECT_TRUE(w.showBoundingBox);
  EXPECT_FALSE(w.showVertices);
  EXPECT_FALSE(w.wireframeOn);
  EXPECT_FALSE(w.flatShading);
  EXPECT_FALSE(w.multiSurfaceOn);
  EXPECT_TRUE(w.showBoundaries);
  EXPECT_EQ(w.shadingMode, 0);
  EXPECT_EQ(w.viewScale, 1.0f);
  EXPECT_EQ(w.surfaceOpacity, 1.0f);
  EXPECT_EQ(w.dataset.totalTets, 0u);
  EXPECT_EQ(w.camera.fov, 45.0f);
  const QSurfaceFormat f = w.format();
  EXPECT_EQ(f.depthBufferSize(), 24);
  EXPECT_EQ(f.alphaBufferSize(), 8);
  EXPECT_EQ(f.profile(), QSurfaceFormat::CompatibilityProfile);
}

// The headless engine (benchmark, tests) draws with what the view draws with: the context it gets
// has the depth and alpha buffers and the fixed-function profile the view asks for.
TEST(EngineWidget, HeadlessContextHasTheViewsSurface) {
  HeadlessContext gl;
  ASSERT_TRUE(gl.ok());
  GLint depth = 0, alpha = 0, profile = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depth);
  glGetIntegerv(GL_ALPHA_BITS, &alpha);
  EXPECT_GE(depth, 24);
  EXPECT_GE(alpha, 8);
  if (GLEW_VERSION_3_2) {
    glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
    EXPECT_NE(profile & GL_CONTEXT_COMPATIBILITY_PROFILE_BIT, 0);
  }
  gl.doneCurrent();
}

TEST(EngineWidget, SetIsoClampsAfterComparing) {
  CountingWidget w;
  w.dirty = false;
  w.setIso(0);
  EXPECT_EQ(w.isovalue, 1.1920929e-07f);
  EXPECT_TRUE(w.dirty);
  EXPECT_EQ(w.repaints, 1);
  // Repeating a clamped value still counts as new: the comparison is made before clamping.
  w.dirty = false;
  w.setIso(0);
  EXPECT_TRUE(w.dirty);
  EXPECT_EQ(w.repaints, 2);
  w.setIso(100);
  EXPECT_EQ(bits(w.isovalue), 0x3F7FFFFEu);
  w.dirty = false;
  w.setIso(100);
  EXPECT_TRUE(w.dirty);
  // A value stored unchanged does nothing at all when repeated.
  w.setIso(37);
  EXPECT_EQ(w.isovalue, 37 * 0.01f);
  w.dirty = false;
  const int before = w.repaints;
  w.setIso(37);
  EXPECT_FALSE(w.dirty);
  EXPECT_EQ(w.repaints, before);
}

TEST(EngineWidget, SlotsChangeTheirParameters) {
  CountingWidget w;
  w.dirty = false;
  w.drawBoundingBox(0);
  w.drawVertices(2);
  w.wireframe(1);
  w.renderMode(7); // unchecked: draws as mode 0
  w.opacity(150);  // unchecked
  w.drawBoundaries(0);
  EXPECT_FALSE(w.showBoundingBox);
  EXPECT_TRUE(w.showVertices);
  EXPECT_TRUE(w.wireframeOn);
  EXPECT_EQ(w.shadingMode, 7);
  EXPECT_FLOAT_EQ(w.surfaceOpacity, 1.5f);
  EXPECT_FALSE(w.showBoundaries);
  EXPECT_FALSE(w.dirty); // none of these needs a new extraction
  EXPECT_EQ(w.repaints, 6);

  w.smoothshaded(0);
  EXPECT_TRUE(w.flatShading);
  EXPECT_TRUE(w.dirty);
  w.dirty = false;
  w.smoothshaded(1);
  EXPECT_FALSE(w.flatShading);
  EXPECT_TRUE(w.dirty);
  w.dirty = false;
  w.multiSurf(1);
  EXPECT_TRUE(w.multiSurfaceOn);
  EXPECT_TRUE(w.dirty);
}

TEST(EngineWidget, MouseDragsRotateAndMoveTheCamera) {
  CountingWidget w;
  w.resize(200, 100);
  w.camera.aspect = 2.0f;
  QSignalSpy viewUpdated(&w, &GLGPUIsosurface::viewUpdated);

  sendPress(&w, QPoint(10, 10), Qt::LeftButton);
  EXPECT_EQ(w.lastMouseX, 10);
  sendMove(&w, QPoint(15, 13), Qt::LeftButton);
  EXPECT_EQ(w.rotation[1], 5.0f);
  EXPECT_EQ(w.rotation[0], 3.0f);
  EXPECT_EQ(viewUpdated.count(), 1);

  // Shift held: the button state no longer matches; only the remembered position changes.
  const int repaints = w.repaints;
  sendMove(&w, QPoint(40, 50), Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(w.rotation[1], 5.0f);
  EXPECT_EQ(w.rotation[0], 3.0f);
  EXPECT_EQ(w.camera.position, PkVec3f(0, 0, 0));
  EXPECT_EQ(w.lastMouseX, 40);
  EXPECT_EQ(w.lastMouseY, 50);
  EXPECT_EQ(w.repaints, repaints + 1);
  EXPECT_EQ(viewUpdated.count(), 1);

  // Right drag moves along the viewing direction by dy/100/aspect.
  sendMove(&w, QPoint(40, 70), Qt::RightButton);
  EXPECT_FLOAT_EQ(w.camera.position.z, -0.1f);
  // Middle drag: (dx/100·aspect) along up × direction, then (dy/100/aspect) along up.
  sendMove(&w, QPoint(50, 90), Qt::MiddleButton);
  EXPECT_FLOAT_EQ(w.camera.position.x, -0.2f); // up × direction = (-1, 0, 0)
  EXPECT_FLOAT_EQ(w.camera.position.y, 0.1f);
  EXPECT_EQ(viewUpdated.count(), 3);

  // Two buttons at once match none of the cases.
  sendMove(&w, QPoint(0, 0), Qt::LeftButton | Qt::RightButton);
  EXPECT_EQ(w.rotation[1], 5.0f);
  EXPECT_EQ(viewUpdated.count(), 3);
}

TEST(EngineWidget, KeysToggleFullScreenAndPassOthersOn) {
  GLGPUIsosurface w;
  w.resize(64, 64);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
  QApplication::sendEvent(&w, &space);
  EXPECT_TRUE(space.isAccepted());
  EXPECT_TRUE(w.isFullScreen());
  QKeyEvent again(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
  QApplication::sendEvent(&w, &again);
  EXPECT_FALSE(w.isFullScreen());

  QKeyEvent other(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  QApplication::sendEvent(&w, &other);
  EXPECT_FALSE(other.isAccepted());
}

TEST(EngineWidget, ViewClearsToTheBackgroundColour) {
  GLGPUIsosurface w;
  w.resize(120, 80);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QImage frame = w.grabFramebuffer();
  ASSERT_FALSE(frame.isNull());
  EXPECT_EQ(frame.pixel(10, 10), qRgb(0, 0, 0));
  EXPECT_EQ(frame.pixel(110, 70), qRgb(0, 0, 0));
  EXPECT_FLOAT_EQ(w.camera.aspect, 1.5f);

  w.backgroundColor[0] = 1.0f;
  w.backgroundColor[1] = 0.5f;
  w.backgroundColor[2] = 0.0f;
  frame = w.grabFramebuffer();
  const QRgb p = frame.pixel(60, 40);
  EXPECT_EQ(qRed(p), 255);
  EXPECT_NEAR(qGreen(p), 128, 1);
  EXPECT_EQ(qBlue(p), 0);

  // A collapsed view (height 0) keeps the last aspect ratio.
  w.resize(120, 0);
  QApplication::processEvents();
  w.grabFramebuffer();
  EXPECT_FLOAT_EQ(w.camera.aspect, 1.5f);
}

TEST(EngineWidget, ANewContextOpensTheDatasetAgain) {
  // Moving the view into another window gives it a new context; the dataset comes back with it.
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("set.vx")).toStdString();
  ASSERT_TRUE(writeGeometryFile(path, samples::tetrahedron()));
  ASSERT_TRUE(writeCacheFile(path + ".cache", samples::cache(256, 256, 2, 4)));
  QWidget first, second;
  first.resize(160, 120);
  second.resize(160, 120);
  auto* w = new GLGPUIsosurface(&first);
  QSignalSpy inUse(w, &GLGPUIsosurface::backendInUse);
  w->resize(160, 120);
  first.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
  w->grabFramebuffer();
  ASSERT_EQ(inUse.count(), 1);
  ASSERT_TRUE(w->loadDataset(QString::fromStdString(path)));
  ASSERT_TRUE(w->hasDataset());

  w->setParent(&second);
  w->show();
  second.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&second));
  w->grabFramebuffer();
  EXPECT_EQ(inUse.count(), 2); // set up again on the new context
  EXPECT_TRUE(w->hasDataset());
  EXPECT_EQ(w->datasetPath(), QString::fromStdString(path));
  EXPECT_EQ(w->dataset.chunks.size(), 2u);
  delete w; // with its context current; nothing reaches the engine once it is gone
}

TEST(EngineWidget, AfterASurfaceTheChunksOfTheNeighbouringIsovaluesAreReadWhileTheViewIsIdle) {
  // Chunk 0 holds 0.5; chunks 1 to 5 only 0.49, the isovalue one slider step below; chunk 6 neither.
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("set.vx")).toStdString();
  CacheData cache = samples::cache(256, 256, 7, 4);
  for (std::size_t k = 0; k < cache.chunks.size(); ++k) {
    const float low = k == 0 ? 0.495f : k < 6 ? 0.3f : 0.8f, high = k == 0 ? 0.505f : k < 6 ? 0.495f : 1.0f;
    for (std::size_t j = 0; j < cache.chunks[k].intervals.size(); j += 2) {
      cache.chunks[k].intervals[j] = low;
      cache.chunks[k].intervals[j + 1] = high;
    }
  }
  ASSERT_TRUE(writeGeometryFile(path, samples::tetrahedron()));
  ASSERT_TRUE(writeCacheFile(path + ".cache", cache));
  GLGPUIsosurface w;
  w.resize(160, 120);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  w.grabFramebuffer();
  ASSERT_TRUE(w.loadDataset(QString::fromStdString(path)));
  ASSERT_TRUE(w.dataset.onDemand());
  w.grabFramebuffer(); // extracts at 0.5: chunk 0 only
  EXPECT_TRUE(w.dataset.isResident(0));
  for (int k = 1; k < 7; ++k) EXPECT_FALSE(w.dataset.isResident(k)) << k;
  // The five are read in steps from the event loop, none while the frame was drawn, and the window
  // answers between the steps: an event posted after the frame runs before the last of them.
  int residentBetween = -1;
  QTimer::singleShot(0, &w, [&] {
    residentBetween = 0;
    for (int k = 0; k < 7; ++k) residentBetween += w.dataset.isResident(k) ? 1 : 0;
  });
  QTRY_VERIFY_WITH_TIMEOUT(w.dataset.isResident(5), 10000);
  EXPECT_GT(residentBetween, 1);
  EXPECT_LT(residentBetween, 6);
  for (int k = 0; k < 6; ++k) EXPECT_TRUE(w.dataset.isResident(k)) << k;
  EXPECT_FALSE(w.dataset.isResident(6));
  EXPECT_EQ(w.dataset.residency().evictions, 0);
}

namespace {

// The engine widget with probes on both sides of its own notice of its context's destruction.
class WatchedWidget : public GLGPUIsosurface {
public:
  WatchedWidget(QWidget* parent, ContextNotices* notices) : GLGPUIsosurface(parent), notices_(notices) {}

protected:
  void initializeGL() override {
    probeBeforeViewNotice(this, notices_);
    GLGPUIsosurface::initializeGL();
    probeAfterViewNotice(this, notices_);
  }

private:
  ContextNotices* notices_;
};

} // namespace

TEST(EngineWidget, TheContextsLastNoticeReachesTheEngineOnlyWhileItLives) {
  // Moved to another window, the view loses its context while the engine lives: the engine hears
  // of it and releases its objects. Deleted, the view's context goes only after the engine part is
  // destroyed (QOpenGLWidget destroys it last): that notice must not reach the engine.
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("set.vx")).toStdString();
  ASSERT_TRUE(writeGeometryFile(path, samples::tetrahedron()));
  ASSERT_TRUE(writeCacheFile(path + ".cache", samples::cache(256, 256, 2, 4)));
  GLOffscreenContext other;
  ASSERT_TRUE(other.ok());
  other.doneCurrent();
  QObject owner;
  ContextNotices notices;
  notices.other = &other;
  notices.owner = &owner;

  QWidget first, second;
  first.resize(160, 120);
  second.resize(160, 120);
  auto* w = new WatchedWidget(&first, &notices);
  w->resize(160, 120);
  first.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
  w->grabFramebuffer();
  ASSERT_TRUE(w->loadDataset(QString::fromStdString(path)));

  w->setParent(&second);
  w->show();
  second.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&second));
  w->grabFramebuffer();
  ASSERT_EQ(notices.reachedView, std::vector<bool>{true});
  EXPECT_EQ(w->dataset.chunks.size(), 2u); // released with the old context, opened again in the new one

  delete w;
  EXPECT_EQ(notices.reachedView, (std::vector<bool>{true, false}));
}
