// The engine's painting: the frame set-up, boundary surfaces, backdrop, vertices, model box and the
// isosurface in its three shading modes, opaque per chunk or transparent after the depth sort.
#include "IsosurfaceEngine.h"

#include "ComputeExtraction.h"
#include "GLBufferObject.h"
#include "GLFramebufferEXT.h"
#include "GLRenderbufferEXT.h"
#include "MemoryPool.h"

#include <QImage>
#include <QMatrix4x4>
#include <QVector3D>

#include <algorithm>

void IsosurfaceEngine::paintGL() {
  camera.apply(0);
  glClearColor(backgroundColor[0], backgroundColor[1], backgroundColor[2], 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glRotatef(rotation[0], 1, 0, 0);
  glRotatef(rotation[1], 0, 1, 0);
  glRotatef(rotation[2], 0, 0, 1);
  glScalef(viewScale, viewScale, viewScale);
  if (!glInitialised_) return;

  if (showBoundaries && shadingMode != 2) {
    glPolygonMode(GL_FRONT, GL_FILL);
    glPolygonMode(GL_BACK, GL_LINE);
    glEnable(GL_COLOR_MATERIAL);
    glEnable(GL_NORMALIZE);
    glEnable(GL_LIGHTING);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    const int counts[2] = {boundaryTriangles0, boundaryTriangles1};
    for (int list = 0; list < 2; ++list) {
      if (counts[list] <= 0) continue;
      glColor3f(list == 0 ? 1.0f : 0.0f, 0.0f, list == 0 ? 0.0f : 1.0f);
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list]->id());
      glVertexPointer(3, GL_FLOAT, 0, nullptr);
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list + 1]->id());
      glNormalPointer(GL_FLOAT, 0, nullptr);
      glDrawArrays(GL_TRIANGLES, 0, counts[list] * 3);
    }
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisable(GL_COLOR_MATERIAL);
    glDisable(GL_NORMALIZE);
    glDisable(GL_LIGHTING);
  }
  if (shadingMode == 2 && !wireframeOn) drawBackdrop();
  if (showVertices) {
    glColor3f(1, 0, 0);
    glPointSize(5);
    glEnableClientState(GL_VERTEX_ARRAY);
    const int counts[2] = {boundaryTriangles0, boundaryTriangles1};
    for (int list = 0; list < 2; ++list) {
      if (counts[list] <= 0) continue;
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list]->id());
      glVertexPointer(3, GL_FLOAT, 0, nullptr);
      glDrawArrays(GL_POINTS, 0, counts[list] * 3);
    }
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
    glDisableClientState(GL_VERTEX_ARRAY);
    glPointSize(1);
  }
  if (showBoundingBox) drawBox();
  if (!chunkTree) return;

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

void IsosurfaceEngine::drawOutputQuads(CacheChunk& chunk, int half, GLint first, GLsizei count) {
  GLBufferObject* positions = chunk.outputTargets[half];
  GLBufferObject* normals = chunk.outputTargets[2 + half];
  if (!positions || !normals || count <= 0) return;
  glEnableClientState(GL_VERTEX_ARRAY);
  positions->bindAsArray();
  glVertexPointer(4, GL_FLOAT, 0, nullptr);
  glClientActiveTextureARB(GL_TEXTURE0);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  normals->bindAsArray();
  glTexCoordPointer(4, GL_FLOAT, 0, nullptr);
  glDrawArrays(GL_QUADS, first, count);
  glDisableClientState(GL_VERTEX_ARRAY);
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  normals->unbindAsArray();
  positions->unbindAsArray();
}

void IsosurfaceEngine::drawSurface() {
  if (surfaceOpacity < 1.0f && primitives.empty()) dirty = true;
  if (dirty) extract();

  const float c[3] = {1.0f - isovalue, isovalue, 1.0f - isovalue};
  const bool glass = shadingMode == 2;
  if (glass) {
    if (envMapTex.isValid()) envMapTex.bind();
    if (refractionTex.isValid()) refractionTex.bind();
    if (glassProgram.bind()) {
      glassProgram.setUniform1f("transparency", surfaceOpacity);
      glassProgram.setUniform3f("BaseColor", c[0], c[1], c[2]);
      glassProgram.setUniform1f("Depth", 0.2f);
      glassProgram.setUniform1f("MixRatio", 0.9f);
    }
  } else {
    if (surfaceShader.bind()) {
      surfaceShader.setUniform1f("useTexture", shadingMode == 1 ? 1.0f : -1.0f);
      surfaceShader.setUniform1f("transparency", surfaceOpacity);
      surfaceShader.setUniform3f("surfColor", c[0], c[1], c[2]);
    }
    if (licTex.isValid()) licTex.bind();
  }
  glPolygonMode(GL_FRONT_AND_BACK, wireframeOn ? GL_LINE : GL_FILL);

  if (surfaceOpacity < 1.0f) {
    depthSortPrimitives();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    for (const PrimitiveRecord* r : primitives) {
      if (r->id & kComputePrimitive) {
        if (compute_) compute_->drawRange(int(r->id & ~kComputePrimitive), r->firstVertex, 3);
        continue;
      }
      const std::size_t k = r->id >> 8;
      if (k >= chunks.size()) continue;
      drawOutputQuads(*chunks[k], int(r->id & 0xFF), r->firstVertex, 4);
    }
    glDisable(GL_BLEND);
  } else if (backend_ == ExtractionBackend::Compute) {
    glColor3f(0, 0, 1);
    compute_->draw();
  } else if (extractionReady_) {
    // The spans of the last extraction: only what it wrote is drawn.
    for (const ChunkSpan& s : stats_.spans) {
      if (!s.drawn() || std::size_t(s.chunk) >= chunks.size()) continue;
      CacheChunk& chunk = *chunks[std::size_t(s.chunk)];
      glColor3f(0, 0, 1);
      for (int h = 0; h < 2; ++h)
        drawOutputQuads(chunk, h, (textureHeight - s.rowEnd) * textureWidth, (s.rowEnd - s.rowMin) * textureWidth);
    }
  }

  if (glass) {
    glassProgram.unbind();
    if (envMapTex.isValid()) {
      envMapTex.unbind();
      envMapTex.disable();
    }
    if (refractionTex.isValid()) {
      refractionTex.unbind();
      refractionTex.disable();
    }
  } else {
    surfaceShader.unbind();
    if (licTex.isValid()) {
      licTex.unbind();
      licTex.disable();
    }
  }
  glActiveTextureARB(GL_TEXTURE0);
}

void IsosurfaceEngine::depthSortPrimitives() {
  // The eye in model coordinates: the modelview's inverse applied to the origin. Primitives are
  // drawn nearest first by their true distance from it, wherever the camera stands.
  QMatrix4x4 modelview;
  glGetFloatv(GL_MODELVIEW_MATRIX, modelview.data()); // column by column, as QMatrix4x4 keeps it
  bool invertible = false;
  const QVector3D eye = modelview.inverted(&invertible).map(QVector3D(0, 0, 0));
  if (!invertible) return; // a collapsed view (zero scale): no order to find
  const PkVec3f key(eye.x(), eye.y(), eye.z());
  std::sort(primitives.begin(), primitives.end(), [&key](const PrimitiveRecord* a, const PrimitiveRecord* b) {
    const PkVec3f da = key - PkVec3f(a->x, a->y, a->z), db = key - PkVec3f(b->x, b->y, b->z);
    return da.lengthSquared() < db.lengthSquared();
  });
}

void IsosurfaceEngine::drawBackdrop() {
  if (refractionTex.isValid()) {
    glActiveTextureARB(GL_TEXTURE1);
    refractionTex.bind();
  }
  // The picture is always filled: a wireframe surface of the previous frame leaves both faces in
  // line mode, and the backdrop is drawn before this frame's surface sets its own mode.
  glPushAttrib(GL_POLYGON_BIT);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  glPushMatrix();
  glLoadIdentity();
  glDisable(GL_DEPTH_TEST);
  glDepthMask(GL_FALSE);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
  glBegin(GL_QUADS);
  glMultiTexCoord2fARB(GL_TEXTURE1, 0, 0);
  glVertex3f(-1, -1, -2);
  glMultiTexCoord2fARB(GL_TEXTURE1, 1, 0);
  glVertex3f(1, -1, -2);
  glMultiTexCoord2fARB(GL_TEXTURE1, 1, 1);
  glVertex3f(1, 1, -2);
  glMultiTexCoord2fARB(GL_TEXTURE1, 0, 1);
  glVertex3f(-1, 1, -2);
  glEnd();
  glPopMatrix();
  glPopAttrib();
  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  if (refractionTex.isValid()) {
    refractionTex.unbind();
    refractionTex.disable();
  }
  glActiveTextureARB(GL_TEXTURE0);
}

void IsosurfaceEngine::drawBox() {
  PkVec3f c[8];
  modelBox.corners(c);
  static const int lines[12][2] = {{0, 3}, {4, 7}, {5, 6}, {1, 2}, {0, 4}, {1, 5},
                                   {2, 6}, {3, 7}, {0, 1}, {4, 5}, {7, 6}, {3, 2}};
  glColor4f(1, 1, 1, 1);
  glBegin(GL_LINES);
  for (const auto& l : lines) {
    glVertex3f(c[l[0]].x, c[l[0]].y, c[l[0]].z);
    glVertex3f(c[l[1]].x, c[l[1]].y, c[l[1]].z);
  }
  glEnd();
}

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

