// The surface format every OpenGL context of the program asks for, the viewer's view and the
// offscreen context alike: OpenGL with the compatibility profile (the passes and the drawing use
// the fixed-function pipeline), double buffering, 8-bit RGBA and a 24-bit depth buffer.
#pragma once

#include <QSurfaceFormat>

namespace pk {
QSurfaceFormat surfaceFormat();
} // namespace pk
