// The engine's painting: the frame set-up, boundary surfaces, backdrop, vertices, model box and the
// isosurface in its three shading modes, opaque per chunk or transparent after the depth sort.
#include "IsosurfaceEngine.h"

#include "Extractor.h"
#include "GLFramebufferEXT.h"
#include "GLRenderbufferEXT.h"

#include <QImage>

void IsosurfaceEngine::paintGL() {
  camera.apply(0);
  glClearColor(backgroundColor[0], backgroundColor[1], backgroundColor[2], 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glRotatef(rotation[0], 1, 0, 0);
  glRotatef(rotation[1], 0, 1, 0);
  glRotatef(rotation[2], 0, 0, 1);
  glScalef(viewScale, viewScale, viewScale);
  if (!glInitialised_) return;

  if (showBoundaries && shadingMode != 2) renderer.drawBoundaries(dataset);
  if (shadingMode == 2 && !wireframeOn) drawBackdrop();
  if (showVertices) renderer.drawVertices(dataset);
  if (showBoundingBox) drawBox();
  if (dataset.empty()) return;

  if (!multiSurfaceOn) {
    drawSurface();
    return;
  }
  const float s = isovalue;
  isovalue = kIsoLow;
  while (s > isovalue) {
    dirty = true;
    drawSurface();
    isovalue += 0.1f;
  }
  isovalue = s;
}

void IsosurfaceEngine::drawSurface() {
  if (surfaceOpacity < 1.0f && renderer.primitives.empty()) dirty = true;
  if (dirty) extract();
  SurfaceRenderer::Shading shading;
  shading.mode = shadingMode;
  shading.wireframe = wireframeOn;
  shading.opacity = surfaceOpacity;
  renderer.drawSurface(extractionReady_ ? extractor_.get() : nullptr, stats_.spans, isovalue, shading);
}

void IsosurfaceEngine::drawBackdrop() { renderer.drawBackdrop(); }

void IsosurfaceEngine::drawBox() { renderer.drawBox(dataset.modelBox); }

QImage IsosurfaceEngine::renderFrame(int width, int height) {
  if (width <= 0 || height <= 0 || !GLEW_EXT_framebuffer_object) return QImage();
  GLint previousFramebuffer = 0, viewport[4];
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &previousFramebuffer);
  glGetIntegerv(GL_VIEWPORT, viewport);
  QImage frame;
  {
    // The framebuffer and its two renderbuffers go at the end of this block, after the previous
    // framebuffer is bound again.
    GLFramebufferEXT framebuffer;
    GLRenderbufferEXT colour, depth;
    framebuffer.bind();
    colour.setStorage(GL_RGBA8, width, height);
    colour.attach(&framebuffer, GL_COLOR_ATTACHMENT0_EXT);
    depth.setStorage(GL_DEPTH_COMPONENT24, width, height);
    depth.attach(&framebuffer, GL_DEPTH_ATTACHMENT_EXT);
    if (glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT) == GL_FRAMEBUFFER_COMPLETE_EXT) {
      glDrawBuffer(GL_COLOR_ATTACHMENT0_EXT);
      glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
      resizeGL(width, height);
      paintGL();
      frame = QImage(width, height, QImage::Format_RGBA8888);
      GLint packBuffer = 0, packAlignment = 4;
      glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING_ARB, &packBuffer);
      glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
      if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
      glPixelStorei(GL_PACK_ALIGNMENT, 4);
      glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, frame.bits());
      glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
      if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, GLuint(packBuffer));
      // The view shows colours only: blended surfaces leave alpha below 1 in the framebuffer, which
      // must not make the picture translucent.
      for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 0; x < width; ++x) row[4 * x + 3] = 255;
      }
      frame = frame.mirrored(); // OpenGL's rows run from the bottom
    }
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(previousFramebuffer));
  }
  glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
  return frame;
}

