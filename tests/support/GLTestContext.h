// An OpenGL context made current on an offscreen surface, for tests that need real OpenGL: the
// engine's own headless context. No OpenGL header here: test files include PolykitGL.h themselves.
#pragma once

#include "HeadlessContext.h"

using GLTestContext = HeadlessContext;

// The first OpenGL error left in the queue (GL_NO_ERROR, 0, when none); empties the queue.
unsigned takeGLError();
