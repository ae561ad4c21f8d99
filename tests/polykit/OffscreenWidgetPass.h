// A capture run inside a QOpenGLWidget's paintGL, split from the widget so that GLEW and Qt's OpenGL
// headers never meet in one translation unit.
#pragma once

struct WidgetCaptureResult {
  int mode = -1;                 // mode the render target really used
  int boundBefore = -1;          // framebuffer binding found in paintGL (the widget's own)
  int boundAfterCreate = -1;     // after creating a target
  int boundAfterCapture = -1;    // after beginCapture/endCapture
  bool sameContextAfter = false; // the widget's context is current again
  float targetRed = -1.f;        // what the pass wrote into the target
};

// Creates a render target of the given mode, captures one pass into it and clears the widget's
// framebuffer to green afterwards. Needs the widget's context current.
WidgetCaptureResult captureInsideWidget(int mode);
