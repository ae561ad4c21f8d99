// Context helpers that need no OpenGL header, so that Qt's OpenGL classes and GLEW never meet in
// one translation unit (Qt refuses to work with glew.h included first, GLEW refuses to come second).
#pragma once

#include <string>

namespace pk {
// Initialises GLEW (experimental mode) for the current context. On failure returns false and puts
// GLEW's text for the code into *error when given.
bool initGlew(std::string* error = nullptr);
// Whether an OpenGL context is current on this thread.
bool hasCurrentContext();
// Whether GLX offers SGIX pbuffers (GLEW initialised for the current context).
bool hasGLXPbuffers();
} // namespace pk
