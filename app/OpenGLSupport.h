// Whether this display can run the viewer's OpenGL at all (what QGLFormat::hasOpenGL answered).
#pragma once

// On the xcb platform the X server must offer the GLX extension (without it Qt quietly falls back
// to EGL, which GLEW cannot serve); on every platform an OpenGL context must become current on an
// offscreen surface. Needs the QGuiApplication.
bool hasOpenGL();

// The GLX half of the test, against the X display named by DISPLAY.
bool displayHasGLX();
