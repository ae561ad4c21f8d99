// The OpenGL view of the viewer: a QOpenGLWidget that owns the isosurface engine, forwards its nine
// slots to it and turns mouse and keys into rotation and camera moves.
#pragma once

#include "IsosurfaceEngine.h" // brings GLEW in before Qt's OpenGL headers

#include <QOpenGLWidget>

#include <vector>

class GLGPUIsosurface : public QOpenGLWidget, public IsosurfaceEngine {
  Q_OBJECT

public:
  explicit GLGPUIsosurface(QWidget* parent = nullptr, const char* name = nullptr);
  ~GLGPUIsosurface() override;

  // Requests a repaint of the view.
  void updateGL() override;

  // The operations the window calls directly, with the view's context made current around them.
  bool loadDataset(const QString& path);
  void setBackdropImage(const QString& path);

public slots:
  void setIso(int v);
  void drawBoundingBox(int on);
  void drawVertices(int on);
  void wireframe(int on);
  void smoothshaded(int on);
  void renderMode(int mode);
  void opacity(int v);
  void multiSurf(int on);
  void drawBoundaries(int on);
  // 0 the compute pass, 1 the fragment passes; an open dataset is read again into it.
  void selectBackend(int index);
  // The graphics memory the resident chunks may hold, in MB (0: what the driver reports as free,
  // else 2 GB).
  void setGpuBudgetMB(int megabytes);

signals:
  // The back end in use after OpenGL was set up or another was selected (0 compute, 1 fragment).
  void backendInUse(int index);
  void viewUpdated();
  void extractPerf(int mtetsPerSecond);
  // The last extraction had to read chunks first: how many, and how long that took.
  void waitedForChunks(int chunks, int milliseconds);
  // A frame's extraction went wrong (chunks that cannot be read, or do not fit the graphics memory
  // budget): the first error line it printed. The surface drawn holds what could be extracted.
  void extractionError(const QString& firstError);

protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;
  void reportExtractPerf(int mtetsPerSecond) override;

private:
  // Runs work with the view's context current, when it has one.
  void inContext(const std::function<void()>& work);
  // Reads the next few chunks of the prefetch of the given round, then lets the event loop run
  // before the next; a round that is no longer the latest stops.
  void prefetchStep(unsigned round);

  QMetaObject::Connection contextWatch_;
  // The dataset to open again once a new context is set up (the old one went with its context).
  QString reopenPath_;
  // The chunks the latest surface's neighbouring isovalues still need, and that prefetch's round.
  std::vector<int> prefetchQueue_;
  unsigned prefetchRound_ = 0;

};
