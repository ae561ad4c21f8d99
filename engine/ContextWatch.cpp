#include "ContextWatch.h"

#include <QOpenGLContext>
#include <QOpenGLWidget>

void watchContextDestruction(QOpenGLWidget* widget, std::function<void()> release) {
  QOpenGLContext* context = widget->context();
  if (!context) return;
  QObject::connect(context, &QOpenGLContext::aboutToBeDestroyed, widget, [widget, release] {
    widget->makeCurrent();
    release();
    widget->doneCurrent();
  });
}
