// Where the engine runs without a window (the benchmark, the tests): polykit's offscreen context,
// with the surface the view asks for.
#pragma once

#include "GLOffscreenContext.h"

using HeadlessContext = GLOffscreenContext;
