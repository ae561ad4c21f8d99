// For tests that need real OpenGL: polykit's offscreen context (the surface the view asks for,
// GLEW initialised for it), which needs only polykit and Qt, so the library tests do not link the
// engine for it. No OpenGL header here: test files include PolykitGL.h themselves.
#pragma once

#include "GLOffscreenContext.h"

using GLTestContext = GLOffscreenContext;

// The first OpenGL error left in the queue (GL_NO_ERROR, 0, when none); empties the queue.
unsigned takeGLError();
