#include "IsosurfaceEngine.h"

#include "PkDiag.h"

#include <QCoreApplication>

namespace {
constexpr float kIsoLow = 1.1920929e-07f;  // 2^-23
constexpr float kIsoHigh = 0.99999988f;    // 0x3F7FFFFE, two steps below 1
} // namespace

IsosurfaceEngine::IsosurfaceEngine() = default;

IsosurfaceEngine::~IsosurfaceEngine() = default;

void IsosurfaceEngine::setIso(int v) {
  const float value = float(v) * 0.01f;
  if (value == isovalue) return; // compared before clamping
  dirty = true;
  isovalue = value < kIsoLow ? kIsoLow : (value >= 1.0f ? kIsoHigh : value);
  updateGL();
}

void IsosurfaceEngine::drawBoundingBox(int on) {
  showBoundingBox = on != 0;
  updateGL();
}

void IsosurfaceEngine::drawVertices(int on) {
  showVertices = on != 0;
  updateGL();
}

void IsosurfaceEngine::wireframe(int on) {
  wireframeOn = on != 0;
  updateGL();
}

void IsosurfaceEngine::smoothshaded(int on) {
  flatShading = on == 0;
  dirty = true;
  updateGL();
}

void IsosurfaceEngine::renderMode(int mode) {
  shadingMode = mode;
  updateGL();
}

void IsosurfaceEngine::opacity(int v) {
  surfaceOpacity = float(v) * 0.01f;
  updateGL();
}

void IsosurfaceEngine::multiSurf(int on) {
  multiSurfaceOn = on != 0;
  dirty = true;
  updateGL();
}

void IsosurfaceEngine::drawBoundaries(int on) {
  showBoundaries = on != 0;
  updateGL();
}

void IsosurfaceEngine::initializeGL() {
  std::string glewError;
  if (!pk::initGlew(&glewError)) {
    pk::error("cannot initialize OpenGL");
    pk::error("GLEW Error: " + glewError);
    QCoreApplication::quit();
  }
  glInitialised_ = true;
}

void IsosurfaceEngine::resizeGL(int w, int h) {
  glViewport(0, 0, w, h);
  // A zero height (a collapsed splitter) keeps the last aspect ratio instead of dividing by zero.
  if (h > 0) camera.aspect = float(w) / float(h);
}

void IsosurfaceEngine::paintGL() {
  camera.apply(0);
  glClearColor(backgroundColor[0], backgroundColor[1], backgroundColor[2], 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glRotatef(rotation[0], 1, 0, 0);
  glRotatef(rotation[1], 0, 1, 0);
  glRotatef(rotation[2], 0, 0, 1);
  glScalef(viewScale, viewScale, viewScale);
}

void IsosurfaceEngine::releaseGL() { glInitialised_ = false; }
