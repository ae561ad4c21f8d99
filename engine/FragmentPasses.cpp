// The fragment-pass back end of the engine: the render target and its three pass textures, and
// the four passes per chunk (interpolation of the edges, triangle assembly, vertex and normal
// gathers) into the chunk's buffer-backed output targets, with their read-backs.
#include "IsosurfaceEngine.h"

#include "GLBufferObject.h"
#include "GLRenderToTexture.h"
#include "MemoryPool.h"
#include "PkDiag.h"

#include <functional>
#include <initializer_list>

void IsosurfaceEngine::setNearestClamp(GLTexture& t) {
  t.setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  t.setParameteri(GL_TEXTURE_MIN_FILTER, GL_NEAREST);
}

GLTexture* IsosurfaceEngine::createPassTexture(int width) {
  GLTexture* t = nullptr;
  if (useRectTextures)
    t = renderTarget->createTextureRect(0, GLint(floatTextureFormat), width, textureHeight, 0, GL_RGBA,
                                        GL_UNSIGNED_BYTE, nullptr);
  else
    t = renderTarget->createTexture2D(0, GLint(floatTextureFormat), width, textureHeight, 0, GL_RGBA,
                                      GL_UNSIGNED_BYTE, nullptr);
  if (t) setNearestClamp(*t);
  return t;
}

void IsosurfaceEngine::createRenderTargets() {
  interpVerticesTex = interpGradientsTex = indicesTex = nullptr;
  ownedPassTextures_.clear();
  renderTarget = std::make_unique<GLRenderToTexture>(textureWidth, textureHeight, options.renderTargetMode);

  floatTextureFormat = GLenum(-1);
  useRectTextures = 0;
  if (!GLEW_EXT_framebuffer_object && !pk::hasGLXPbuffers()) {
    pk::error("GLRenderToTexture cannot be constructed - no offscreen buffer possible");
  } else if (GLEW_ARB_texture_float || GLEW_ATI_texture_float) {
    floatTextureFormat = GL_RGBA32F_ARB;
  } else if (GLEW_NV_float_buffer) {
    floatTextureFormat = GL_FLOAT_RGBA32_NV;
    useRectTextures = 1;
  } else {
    pk::error("GLRenderToTexture does not find any useful floating point format");
  }
  if (options.rectTextures && floatTextureFormat != GLenum(-1)) useRectTextures = 1;

  interpVerticesTex = createPassTexture(textureWidth);
  interpGradientsTex = createPassTexture(textureWidth);
  indicesTex = createPassTexture(textureWidth / 2);
  // Framebuffer-mode textures are handed to their creator; pbuffer-mode ones stay with the pbuffers.
  if (renderTarget->mode() == GLRenderToTexture::kFramebufferMode)
    for (GLTexture* t : {interpVerticesTex, interpGradientsTex, indicesTex})
      if (t) ownedPassTextures_.emplace_back(t);
}

void IsosurfaceEngine::drawRowQuad(float yMin, float yEnd) {
  glBegin(GL_QUADS);
  glVertex2f(-1, yEnd);
  glVertex2f(1, yEnd);
  glVertex2f(1, yMin);
  glVertex2f(-1, yMin);
  glEnd();
}

void IsosurfaceEngine::extractChunk(int k) {
  CacheChunk& chunk = *chunks[std::size_t(k)];
  if (!chunk.vertexTex || !chunk.weightTex || !chunk.edgeMapTex || !chunk.tetMapTex) return;
  for (GLBufferObject* b : chunk.outputTargets)
    if (!b) return;

  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  glDisable(GL_CULL_FACE);
  glDisable(GL_LIGHTING);
  glDisable(GL_POINT_SMOOTH);
  glDepthMask(GL_FALSE);
  glPointSize(1);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);

  renderTarget->beginCapture();
  partDone(ExtractionPart::Setup);
  const int W = textureWidth, H = textureHeight;
  const float yMin = rowY(rowMin), yEnd = rowY(rowEnd), yEdge = rowY(chunk.rowCount1);
  const bool framebufferMode = renderTarget->mode() == GLRenderToTexture::kFramebufferMode;

  // One pass into the selected target. The program, textures, clear colour and viewport are set
  // after the target is selected: in pbuffer mode every target has a context of its own.
  struct Sampler {
    GLTexture* texture;
    GLenum unit;
  };
  auto pass = [&](GLSLShader& program, std::initializer_list<Sampler> samplers, int width, float clear,
                  const std::function<void()>& uniforms, const std::function<void()>& draw) {
    if (!framebufferMode) glViewport(0, 0, width, H);
    if (framebufferMode) glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    if (program.bind()) uniforms();
    for (const Sampler& s : samplers) s.texture->bind(int(s.unit));
    glClearColor(clear, clear, clear, clear == 0 ? 0.0f : -1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    draw();
    for (const Sampler& s : samplers) s.texture->unbind(int(s.unit));
    program.unbind();
  };
  auto rowQuad = [&] { drawRowQuad(yMin, yEnd); };

  // Interpolation: classification edges of the active rows (left half), all edge rows (right half),
  // first of the positions, then of the gradients.
  auto twoPartQuad = [&] {
    glBegin(GL_QUADS);
    glVertex2f(-1, yEnd);
    glVertex2f(0, yEnd);
    glVertex2f(0, yMin);
    glVertex2f(-1, yMin);
    glVertex2f(0, yEdge);
    glVertex2f(1, yEdge);
    glVertex2f(1, 1);
    glVertex2f(0, 1);
    glEnd();
  };
  auto flags = [&] { interpolateProgram.setUniform2f("Flags", isovalue, -1.0f); };
  renderTarget->setTarget(interpVerticesTex, 0, 0);
  pass(interpolateProgram, {{chunk.edgeMapTex.get(), GL_TEXTURE0}, {chunk.vertexTex.get(), GL_TEXTURE1}}, W, 1, flags,
       twoPartQuad);
  partDone(ExtractionPart::Interpolation);
  renderTarget->setTarget(interpGradientsTex, 0, 0);
  pass(interpolateProgram, {{chunk.edgeMapTex.get(), GL_TEXTURE0}, {chunk.weightTex.get(), GL_TEXTURE1}}, W, 1, flags,
       twoPartQuad);
  partDone(ExtractionPart::Interpolation);

  // Triangle assembly into the indices target, W/2 wide.
  glViewport(0, 0, W / 2, H);
  renderTarget->setTarget(indicesTex, 0, 0);
  pass(triangleProgram, {{interpVerticesTex, GL_TEXTURE0}, {chunk.tetMapTex.get(), GL_TEXTURE1}}, W / 2, 0, [] {},
       rowQuad);
  partDone(ExtractionPart::Assembly);

  // Vertex gather into the position buffers of both halves, then the normal gather into the normal
  // buffers: one gradient per primitive when flat, four when smooth.
  glViewport(0, 0, W, H);
  GLSLShader& normals = flatShading ? normalGatherProgram : vertexGatherProgram;
  for (int target = 0; target < 4; ++target) {
    const int h = target % 2;
    GLSLShader& program = target < 2 ? vertexGatherProgram : normals;
    GLTexture* source = target < 2 ? interpVerticesTex : interpGradientsTex;
    renderTarget->setTarget(chunk.outputTargets[target]); // leaving a buffer target copies it
    partDone(ExtractionPart::Copies);
    pass(program, {{indicesTex, GL_TEXTURE1}, {source, GL_TEXTURE0}}, W, 1,
         [&] { program.setUniform2f("Offset", 0.25f * float(h), 0); }, rowQuad);
    partDone(target < 2 ? ExtractionPart::VertexGather : ExtractionPart::NormalGather);
  }

  renderTarget->endCapture(); // copies the last buffer target
  partDone(ExtractionPart::Copies);
  glPopClientAttrib();
  glPopAttrib();
  partDone(ExtractionPart::Setup);

  if (surfaceOpacity < 1.0f) {
    MemoryPool& pool = MemoryPool::shared();
    for (int h = 0; h < 2; ++h) {
      const std::vector<float> a = readBackTarget(k, h);
      for (int j = H - rowEnd; j <= H - rowMin - 1; ++j)
        for (int s = 0; s < W / 4; ++s) {
          const int v = j * W + 4 * s;
          void* item = pool.allocate(sizeof(PrimitiveRecord));
          if (!item) return; // the pool is full: no more records (its warning was printed)
          auto* r = static_cast<PrimitiveRecord*>(item);
          *r = PrimitiveRecord{std::uint32_t(k) * 256u + std::uint32_t(h), v, a[4 * std::size_t(v)],
                               a[4 * std::size_t(v) + 1], a[4 * std::size_t(v) + 2]};
          primitives.push_back(r);
        }
    }
  }
}

std::vector<float> IsosurfaceEngine::readBackOutput(int k, int target) {
  std::vector<float> pixels(std::size_t(textureWidth) * textureHeight * 4, 0.0f);
  if (k < 0 || std::size_t(k) >= chunks.size() || target < 0 || target > 3) return pixels;
  GLBufferObject* buffer = chunks[std::size_t(k)]->outputTargets[target];
  if (!buffer || !renderTarget) return pixels;
  renderTarget->beginCapture();
  renderTarget->setTarget(buffer);
  glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
  GLint packBuffer = 0;
  glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING_ARB, &packBuffer);
  if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
  glReadPixels(0, 0, textureWidth, textureHeight, GL_RGBA, GL_FLOAT, pixels.data());
  if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, GLuint(packBuffer));
  renderTarget->endCapture();
  return pixels;
}

std::vector<float> IsosurfaceEngine::readBackTarget(int k, int half) { return readBackOutput(k, half); }

std::vector<float> IsosurfaceEngine::readOutputBuffer(int k, int target) {
  std::vector<float> values(std::size_t(textureWidth) * textureHeight * 4, 0.0f);
  if (k < 0 || std::size_t(k) >= chunks.size() || target < 0 || target > 3) return values;
  GLBufferObject* buffer = chunks[std::size_t(k)]->outputTargets[target];
  if (!buffer || std::size_t(buffer->size()) < values.size() * sizeof(float)) return values;
  buffer->getSubData(0, int(values.size() * sizeof(float)), values.data());
  return values;
}
