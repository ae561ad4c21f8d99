// Notice of a QOpenGLWidget's context going away (the widget is destroyed, or moved to another
// window, which makes Qt create a new context). Kept apart from GLEW: this unit includes Qt's
// OpenGL context header, which must not meet glew.h.
#pragma once

#include <functional>

class QOpenGLWidget;

// Calls `release` with the widget's context current just before that context is destroyed.
void watchContextDestruction(QOpenGLWidget* widget, std::function<void()> release);
