// Entry points of OpenGL through GLEW. Include this (or GL/glew.h) before any other OpenGL header,
// and never together with Qt's OpenGL headers (see PkContext.h).
#pragma once

#include <GL/glew.h>

#include "PkContext.h"
