// Notice of a QOpenGLWidget's context going away (the widget is destroyed, or moved to another
// window, which makes Qt create a new context). Kept apart from GLEW: this unit includes Qt's
// OpenGL context header, which must not meet glew.h.
#pragma once

#include <QMetaObject>

#include <functional>

class QOpenGLWidget;

// Calls `release` with the widget's context current just before that context is destroyed. The
// owner disconnects the returned connection before it stops being able to release anything.
QMetaObject::Connection watchContextDestruction(QOpenGLWidget* widget, std::function<void()> release);

// Makes the widget's context current again without binding the widget's framebuffer (unlike
// QOpenGLWidget::makeCurrent), so that work in progress keeps its own framebuffer binding.
void restoreContext(QOpenGLWidget* widget);
