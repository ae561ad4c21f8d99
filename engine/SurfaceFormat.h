// The surface format every engine context asks for, the viewer's view and the headless context
// alike: OpenGL with the compatibility profile (the passes and the drawing use the fixed-function
// pipeline), double buffering, 8-bit RGBA and a 24-bit depth buffer.
#pragma once

#include <QSurfaceFormat>

QSurfaceFormat engineSurfaceFormat();
