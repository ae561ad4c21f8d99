// Probes around a view's own notice of its context's destruction, to tell whether that notice ran.
// Kept apart from GLEW: the probes use Qt's OpenGL context header.
#pragma once

#include <vector>

class GLOffscreenContext;
class QObject;
class QOpenGLWidget;

// One entry per destruction of a watched context: whether the view's own notice ran for it.
struct ContextNotices {
  GLOffscreenContext* other = nullptr; // made current just before the view's notice
  QObject* owner = nullptr;            // the probes' connections live as long as it does
  std::vector<bool> reachedView;
};

// The probe to connect just before the view connects its own notice: it makes `other` current.
void probeBeforeViewNotice(QOpenGLWidget* view, ContextNotices* notices);
// The probe to connect just after: the view's notice makes the view's context current and then
// none, so `other` is no longer current exactly when the notice ran.
void probeAfterViewNotice(QOpenGLWidget* view, ContextNotices* notices);
