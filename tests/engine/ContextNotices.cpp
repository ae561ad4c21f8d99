#include "ContextNotices.h"

#include "GLOffscreenContext.h"

#include <QOpenGLContext>
#include <QOpenGLWidget>

void probeBeforeViewNotice(QOpenGLWidget* view, ContextNotices* notices) {
  QObject::connect(view->context(), &QOpenGLContext::aboutToBeDestroyed, notices->owner,
                   [notices] { notices->other->makeCurrent(); });
}

void probeAfterViewNotice(QOpenGLWidget* view, ContextNotices* notices) {
  QObject::connect(view->context(), &QOpenGLContext::aboutToBeDestroyed, notices->owner, [notices] {
    notices->reachedView.push_back(QOpenGLContext::currentContext() != notices->other->context());
    notices->other->doneCurrent();
  });
}
