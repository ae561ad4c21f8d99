#include "ContextWatch.h"

#include <QOpenGLContext>
#include <QOpenGLWidget>

QMetaObject::Connection watchContextDestruction(QOpenGLWidget* widget, std::function<void()> release) {
  QOpenGLContext* context = widget->context();
  if (!context) return QMetaObject::Connection();
  return QObject::connect(context, &QOpenGLContext::aboutToBeDestroyed, widget, [widget, release] {
    widget->makeCurrent();
    release();
    widget->doneCurrent();
  });
}

void restoreContext(QOpenGLWidget* widget) {
  QOpenGLContext* context = widget->context();
  if (context && QOpenGLContext::currentContext() != context) context->makeCurrent(context->surface());
}
