// The isosurface engine without a window: everything the graphics processor needs (the dataset's
// chunks and interval trees, the extraction programs and render targets, the shading textures, the
// camera and the display parameters) and every OpenGL operation on them. The engine widget
// (GLGPUIsosurface) owns one through inheritance and adds Qt's events and slots; the benchmark and
// the tests drive it headlessly on an offscreen context. All OpenGL work needs the engine's context
// current.
#pragma once

#include "Camera.h"
#include "PolykitGL.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// Centre, three unit axes and the half extents along them.
struct ModelBox {
  PkVec3f center{0, 0, 0};
  PkVec3f axis[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  float extent[3] = {0, 0, 0};
};

class IsosurfaceEngine {
public:
  IsosurfaceEngine();
  virtual ~IsosurfaceEngine();
  IsosurfaceEngine(const IsosurfaceEngine&) = delete;
  IsosurfaceEngine& operator=(const IsosurfaceEngine&) = delete;

  // --- the parameters the controls change (the widget's slots forward here) ---
  void setIso(int v);
  void drawBoundingBox(int on);
  void drawVertices(int on);
  void wireframe(int on);
  void smoothshaded(int on);
  void renderMode(int mode);
  void opacity(int v);
  void multiSurf(int on);
  void drawBoundaries(int on);

  // --- OpenGL hooks, with the engine's context current ---
  void initializeGL();
  void resizeGL(int w, int h);
  void paintGL();

  // Asks for a repaint; a headless engine has nothing to repaint.
  virtual void updateGL() {}

  // Releases every OpenGL object; needs the context current. Safe to call more than once.
  void releaseGL();

  const int textureWidth = 256, textureHeight = 256;
  const float invTextureWidth = 1.0f / 256, invTextureHeight = 1.0f / 256;
  float isovalue = 0.5f;
  int rowMin = 0, rowEnd = 256;
  bool dirty = true;

  ModelBox modelBox;
  Camera camera;
  bool showBoundingBox = true;
  bool showVertices = false;
  bool wireframeOn = false;
  bool flatShading = false;
  bool multiSurfaceOn = false;
  bool showBoundaries = true;
  int shadingMode = 0;
  float rotation[3] = {0, 0, 0};
  float backgroundColor[3] = {0, 0, 0};
  float viewScale = 1.0f;
  float surfaceOpacity = 1.0f;
  int lastMouseX = 0, lastMouseY = 0;
  uint32_t totalTets = 0;

protected:
  // Reports a finished extraction's throughput (the widget emits extractPerf).
  virtual void reportExtractPerf(int /*mtetsPerSecond*/) {}

private:
  bool glInitialised_ = false;
};
