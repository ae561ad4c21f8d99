#include "SurfaceRenderer.h"

#include "CacheFile.h"
#include "Dataset.h"
#include "Extractor.h"
#include "GLBufferObject.h"
#include "MemoryPool.h"
#include "PkDiag.h"
#include "ShaderSources.h"
#include "images/EmbeddedImages.h"

#include <GL/glu.h>

#include <QImage>
#include <QMatrix4x4>
#include <QVector3D>

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kLicTexBytes = 256u * 256u * 256u;

// The image in OpenGL's byte order (R, G, B, A per pixel), rows as given.
QImage glRgba(const QImage& image) { return image.convertToFormat(QImage::Format_RGBA8888); }

} // namespace

SurfaceRenderer::~SurfaceRenderer() { releasePrimitives(); }

bool SurfaceRenderer::initialize(float opacity) {
  const bool loaded = surfaceShader.loadFromString(shaders::surfaceVertex, shaders::surfaceFragment) &&
                      glassProgram.loadFromString(shaders::glassVertex, shaders::glassFragment);
  if (!loaded) {
    pk::error("unable to load shaders");
  } else {
    surfaceShader.bind();
    surfaceShader.setUniform3f("lightPos", 0, 10, 10);
    surfaceShader.setUniform3f("surfColor", 0, 1, 0);
    surfaceShader.setUniform1i("LICtex", 0);
    surfaceShader.setUniform4f("modelScale", 1, 1, 1, 1);
    surfaceShader.setUniform4f("modelOffset", 0, 0, 0, 0);
    surfaceShader.setUniform1f("Flag", -1.0f);
    surfaceShader.setUniform1f("transparency", opacity);
    surfaceShader.setUniform1f("useTexture", -1.0f);
    surfaceShader.unbind();

    glassProgram.bind();
    glassProgram.setUniform3f("LightPos", 0, 10, 10);
    glassProgram.setUniform3f("BaseColor", 0, 1, 0);
    glassProgram.setUniform1f("Flag", -1.0f);
    glassProgram.setUniform1i("EnvMap", 0);
    glassProgram.setUniform1i("RefractionMap", 1);
    glassProgram.setUniform1f("Depth", 0.2f);
    glassProgram.setUniform1f("MixRatio", 0.9f);
    glassProgram.setUniform1f("FrameWidth", 2048.0f);
    glassProgram.setUniform1f("FrameHeight", 2048.0f);
    glassProgram.setUniform1f("transparency", opacity);
    glassProgram.unbind();
  }

  // The 3D texture of the 3D-texture mode: "out.tex" from the current directory; a missing or short
  // file leaves zeros.
  std::vector<unsigned char> volume(kLicTexBytes, 0);
  if (FILE* f = std::fopen("out.tex", "rb")) {
    const std::size_t got = std::fread(volume.data(), 1, volume.size(), f);
    (void)got;
    std::fclose(f);
  }
  licTex.create(GL_TEXTURE0);
  gluBuild3DMipmaps(GL_TEXTURE_3D, GL_LUMINANCE8, 256, 256, 256, GL_LUMINANCE, GL_UNSIGNED_BYTE, volume.data());
  licTex.setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  licTex.setParameteri(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  licTex.setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  licTex.setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  licTex.setParameteri(GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
  licTex.unbind();

  // The glass maps. The pictures are flipped and then brought into OpenGL's bottom-up layout, which
  // flips them back: their first row is uploaded first.
  auto makeGlassMap = [this](GLTexture2D& texture, GLenum unit, const char* name) {
    texture.create(int(unit));
    uploadImageMipmaps(glRgba(imageFromMimeSource(QString::fromLatin1(name))));
    texture.setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    texture.setParameteri(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    texture.setParameteri(GL_TEXTURE_WRAP_S, GL_REPEAT);
    texture.setParameteri(GL_TEXTURE_WRAP_T, GL_REPEAT);
    texture.unbind();
  };
  makeGlassMap(envMapTex, GL_TEXTURE0, "glassenv.png");
  makeGlassMap(refractionTex, GL_TEXTURE1, "glassrefract.png");
  glActiveTextureARB(GL_TEXTURE0);
  return loaded;
}

void SurfaceRenderer::release() {
  releasePrimitives();
  surfaceShader.destroy();
  glassProgram.destroy();
  licTex.destroy();
  envMapTex.destroy();
  refractionTex.destroy();
}

void SurfaceRenderer::uploadImageMipmaps(const QImage& image) {
  if (image.isNull()) return; // the texture keeps what it had
  const GLint internal = GLEW_EXT_texture_compression_s3tc ? GL_COMPRESSED_RGB_S3TC_DXT1_EXT : GL_RGB8;
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  gluBuild2DMipmaps(GL_TEXTURE_2D, internal, image.width(), image.height(), GL_RGBA, GL_UNSIGNED_BYTE,
                    image.constBits());
}

void SurfaceRenderer::setBackdropImage(const QString& path) {
  if (refractionTex.isValid()) refractionTex.bind();
  // Not flipped, unlike the glass maps: OpenGL's bottom-up rows.
  const QImage image(path);
  uploadImageMipmaps(image.isNull() ? image : glRgba(image).mirrored());
  if (refractionTex.isValid()) {
    refractionTex.unbind();
    refractionTex.disable();
  }
  glActiveTextureARB(GL_TEXTURE0);
}

void SurfaceRenderer::setModelBox(const CacheBox& box) {
  const PkVec3f scale = box.modelScale(), offset = box.modelOffset();
  if (surfaceShader.bind()) {
    surfaceShader.setUniform4f("modelScale", scale.x, scale.y, scale.z, 1.0f);
    surfaceShader.setUniform4f("modelOffset", offset.x, offset.y, offset.z, 0.0f);
    surfaceShader.unbind();
  }
}

void SurfaceRenderer::releasePrimitives() {
  MemoryPool& pool = MemoryPool::shared();
  for (PrimitiveRecord* r : primitives) pool.release(r, sizeof(PrimitiveRecord));
  primitives.clear();
}

// ---- drawing -------------------------------------------------------------------------------------

void SurfaceRenderer::drawBoundaries(const Dataset& dataset) const {
  glPolygonMode(GL_FRONT, GL_FILL);
  glPolygonMode(GL_BACK, GL_LINE);
  glEnable(GL_COLOR_MATERIAL);
  glEnable(GL_NORMALIZE);
  glEnable(GL_LIGHTING);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_NORMAL_ARRAY);
  const int counts[2] = {dataset.boundaryTriangles0, dataset.boundaryTriangles1};
  for (int list = 0; list < 2; ++list) {
    if (counts[list] <= 0) continue;
    glColor3f(list == 0 ? 1.0f : 0.0f, 0.0f, list == 0 ? 0.0f : 1.0f);
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, dataset.boundaryBuffers[2 * list]->id());
    glVertexPointer(3, GL_FLOAT, 0, nullptr);
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, dataset.boundaryBuffers[2 * list + 1]->id());
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

void SurfaceRenderer::drawVertices(const Dataset& dataset) const {
  glColor3f(1, 0, 0);
  glPointSize(5);
  glEnableClientState(GL_VERTEX_ARRAY);
  const int counts[2] = {dataset.boundaryTriangles0, dataset.boundaryTriangles1};
  for (int list = 0; list < 2; ++list) {
    if (counts[list] <= 0) continue;
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, dataset.boundaryBuffers[2 * list]->id());
    glVertexPointer(3, GL_FLOAT, 0, nullptr);
    glDrawArrays(GL_POINTS, 0, counts[list] * 3);
  }
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
  glDisableClientState(GL_VERTEX_ARRAY);
  glPointSize(1);
}

void SurfaceRenderer::drawSurface(const Extractor* extractor, const std::vector<ChunkSpan>& spans, float iso,
                                  const Shading& shading) {
  const float c[3] = {1.0f - iso, iso, 1.0f - iso};
  const bool glass = shading.mode == 2;
  if (glass) {
    if (envMapTex.isValid()) envMapTex.bind();
    if (refractionTex.isValid()) refractionTex.bind();
    if (glassProgram.bind()) {
      glassProgram.setUniform1f("transparency", shading.opacity);
      glassProgram.setUniform3f("BaseColor", c[0], c[1], c[2]);
      glassProgram.setUniform1f("Depth", 0.2f);
      glassProgram.setUniform1f("MixRatio", 0.9f);
    }
  } else {
    if (surfaceShader.bind()) {
      surfaceShader.setUniform1f("useTexture", shading.mode == 1 ? 1.0f : -1.0f);
      surfaceShader.setUniform1f("transparency", shading.opacity);
      surfaceShader.setUniform3f("surfColor", c[0], c[1], c[2]);
    }
    if (licTex.isValid()) licTex.bind();
  }
  glPolygonMode(GL_FRONT_AND_BACK, shading.wireframe ? GL_LINE : GL_FILL);

  if (shading.opacity < 1.0f) {
    depthSortPrimitives();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    if (extractor)
      for (const PrimitiveRecord* r : primitives) extractor->drawPrimitive(*r);
    glDisable(GL_BLEND);
  } else if (extractor) {
    glColor3f(0, 0, 1);
    extractor->draw(spans);
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

void SurfaceRenderer::depthSortPrimitives() {
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

void SurfaceRenderer::drawBackdrop() {
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

void SurfaceRenderer::drawBox(const CacheBox& box) const {
  PkVec3f c[8];
  box.corners(c);
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
