#include "FragmentPasses.h"

#include "GLBufferObject.h"
#include "CacheFile.h"
#include "ChunkTextureSize.h"
#include "GLRenderToTexture.h"
#include "MemoryPool.h"
#include "PkDiag.h"
#include "ShaderSources.h"

#include <algorithm>
#include <functional>
#include <initializer_list>

FragmentPassExtractor::FragmentPassExtractor(int width, int height, int renderTargetMode, bool rectTextures)
    : width_(width), height_(height), requestedMode_(renderTargetMode), requestedRect_(rectTextures) {}

FragmentPassExtractor::~FragmentPassExtractor() = default;

bool FragmentPassExtractor::initialize() {
  createRenderTargets();
  const bool loaded = createPrograms();
  // The passes need all of these; without them the extraction is switched off (said once, here)
  // rather than run on missing objects.
  ready_ = false;
  if (!renderTarget_ || renderTarget_->mode() == GLRenderToTexture::kNoOffscreenMode)
    pk::error("no offscreen render target - isosurfaces cannot be extracted");
  else if (floatTextureFormat == GLenum(-1))
    pk::error("no floating point render format - isosurfaces cannot be extracted");
  else if (!interpVerticesTex || !interpGradientsTex || !indicesTex)
    pk::error("floating point render targets not available in this offscreen mode - isosurfaces cannot be extracted");
  else if (!loaded)
    pk::error("extraction programs not available - isosurfaces cannot be extracted");
  else
    ready_ = true;
  return ready_;
}

GLTexture* FragmentPassExtractor::createPassTexture(int width) {
  GLTexture* t = nullptr;
  if (useRectTextures)
    t = renderTarget_->createTextureRect(0, GLint(floatTextureFormat), width, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                                         nullptr);
  else
    t = renderTarget_->createTexture2D(0, GLint(floatTextureFormat), width, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                                       nullptr);
  if (t) Dataset::setNearestClamp(*t);
  return t;
}

void FragmentPassExtractor::createRenderTargets() {
  renderTarget_ = std::make_unique<GLRenderToTexture>(width_, height_, requestedMode_);
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
  if (requestedRect_ && floatTextureFormat != GLenum(-1)) useRectTextures = 1;

  interpVerticesTex = createPassTexture(width_);
  interpGradientsTex = createPassTexture(width_);
  indicesTex = createPassTexture(width_ / 2);
  // Framebuffer-mode textures are handed to their creator; pbuffer-mode ones stay with the pbuffers.
  if (renderTarget_->mode() == GLRenderToTexture::kFramebufferMode)
    for (GLTexture* t : {interpVerticesTex, interpGradientsTex, indicesTex})
      if (t) ownedPassTextures_.emplace_back(t);
}

bool FragmentPassExtractor::createPrograms() {
  const shaders::PassSet& set = useRectTextures ? shaders::passRect : shaders::pass2D;
  const bool loaded = interpolateProgram.loadFromString(shaders::fullScreenVertex, set.interpolation) &&
                      triangleProgram.loadFromString(shaders::fullScreenVertex, set.triangleAssembly) &&
                      vertexGatherProgram.loadFromString(shaders::fullScreenVertex, set.vertexGather) &&
                      normalGatherProgram.loadFromString(shaders::fullScreenVertex, set.normalGather);
  if (!loaded) {
    pk::error("unable to load shaders");
    return false;
  }
  const float W = float(width_), H = float(height_);
  interpolateProgram.bind();
  interpolateProgram.setUniform1i("Edges", 0);
  interpolateProgram.setUniform1i("Vertices", 1);
  if (useRectTextures) interpolateProgram.setUniform2f("Size", W, H);
  interpolateProgram.setUniform2f("Flags", 0.5f, -1.0f);
  interpolateProgram.unbind();

  triangleProgram.bind();
  triangleProgram.setUniform1i("InterpVertices", 0);
  triangleProgram.setUniform1i("Map", 1);
  triangleProgram.setUniform4f("Param", W, H, 1.0f / W, 0);
  triangleProgram.unbind();

  for (GLSLShader* gather : {&vertexGatherProgram, &normalGatherProgram}) {
    gather->bind();
    gather->setUniform1i(gather == &vertexGatherProgram ? "InterpVertices" : "InterpGradients", 0);
    gather->setUniform1i("Indices", 1);
    gather->setUniform2f("Offset", 0, 0);
    gather->setUniform4f("Param", W, H, 1.0f / W, 1.0f / H);
    gather->unbind();
  }
  return true;
}

Dataset::Upload FragmentPassExtractor::chunkUpload(bool) {
  Dataset::Upload form;
  form.textures = true;
  form.floatFormat = floatTextureFormat;
  form.rectTextures = useRectTextures != 0;
  form.chunkComplete = [this](int k, const ChunkData& data, const PreparedChunk*) {
    noteEdgeRows(k, data);
    return true;
  };
  return form;
}

std::pair<int, int> FragmentPassExtractor::interpolatedEdgeRows(int k, int rowCount1, int rowFirst, int rowEnd) const {
  const int H = height_;
  if (k < 0 || std::size_t(k) >= edgeRows_.size() || edgeRows_[std::size_t(k)].size() != std::size_t(H))
    return {0, std::clamp(rowCount1, 0, H)};
  int first = H, end = 0;
  for (int r = std::max(rowFirst, 0); r < std::min(rowEnd, H); ++r)
    if (const std::uint32_t rows = edgeRows_[std::size_t(k)][std::size_t(r)]) {
      first = std::min(first, int(rows & 0xFFFFu));
      end = std::max(end, int(rows >> 16));
    }
  return first < end ? std::make_pair(first, end) : std::make_pair(0, 0);
}

void FragmentPassExtractor::noteEdgeRows(int k, const ChunkData& d) {
  if (k < 0) return;
  if (edgeRows_.size() <= std::size_t(k)) edgeRows_.resize(std::size_t(k) + 1);
  std::vector<std::uint32_t>& rows = edgeRows_[std::size_t(k)];
  rows.clear();
  const int W = width_, H = height_;
  if (d.tetMap.size() != 4 * std::size_t(W) * std::size_t(H)) return;
  // Only interpolated edges count: any other index reads a cleared texel whatever the
  // interpolation covers.
  const int edgeRows = std::clamp(int(d.rowCount1), 0, H);
  rows.assign(std::size_t(H), 0);
  for (int r = 0; r < H; ++r) {
    int first = H, end = 0;
    for (int c = 0; c < W / 2; ++c) {
      const std::uint16_t* m = &d.tetMap[4 * (std::size_t(r) * W + 2 * std::size_t(c))];
      for (int i : {0, 1, 2, 3, 6, 7}) {
        if (!isInterpolatedEdge(m[i], W, edgeRows)) continue;
        const int row = m[i] / W;
        first = std::min(first, row);
        end = std::max(end, row + 1);
      }
    }
    if (first < end) rows[std::size_t(r)] = std::uint32_t(first) | std::uint32_t(end) << 16;
  }
}

// ---- output sets -------------------------------------------------------------------------------

const FragmentPassExtractor::OutputSet* FragmentPassExtractor::heldOutputs(int k) const {
  if (k < 0 || std::size_t(k) >= chunkSets_.size() || !chunkSets_[std::size_t(k)][0]) return nullptr;
  return &chunkSets_[std::size_t(k)];
}

const FragmentPassExtractor::OutputSet* FragmentPassExtractor::outputsFor(int k) {
  if (const OutputSet* held = heldOutputs(k)) return held;
  if (k < 0 || !renderTarget_) return nullptr;
  OutputSet set{};
  if (!freeSets_.empty()) {
    set = freeSets_.back();
    freeSets_.pop_back();
  } else {
    for (GLBufferObject*& b : set) {
      b = renderTarget_->createBuffer(GLint(floatTextureFormat), width_, height_, GL_RGBA, GL_FLOAT, 0);
      if (!b) {
        for (GLBufferObject* made : set)
          if (made) renderTarget_->releaseBuffer(made);
        return nullptr;
      }
    }
    allSets_.push_back(set);
  }
  if (chunkSets_.size() <= std::size_t(k)) chunkSets_.resize(std::size_t(k) + 1, OutputSet{});
  chunkSets_[std::size_t(k)] = set;
  return &chunkSets_[std::size_t(k)];
}

void FragmentPassExtractor::recycleOutputs(const std::vector<ChunkSpan>& spans) {
  std::vector<char> active(chunkSets_.size(), 0);
  for (const ChunkSpan& s : spans)
    if (std::size_t(s.chunk) < active.size()) active[std::size_t(s.chunk)] = 1;
  for (std::size_t k = 0; k < chunkSets_.size(); ++k)
    if (chunkSets_[k][0] && !active[k]) {
      freeSets_.push_back(chunkSets_[k]);
      chunkSets_[k] = OutputSet{};
    }
}

int FragmentPassExtractor::chunksWithOutputs() const {
  return int(std::count_if(chunkSets_.begin(), chunkSets_.end(), [](const OutputSet& s) { return s[0] != nullptr; }));
}

void FragmentPassExtractor::clearChunks() {
  // The output buffers go back to the render target, so that opening dataset after dataset does
  // not pile up graphics memory.
  if (renderTarget_)
    for (const OutputSet& set : allSets_)
      for (GLBufferObject* b : set) renderTarget_->releaseBuffer(b);
  allSets_.clear();
  freeSets_.clear();
  chunkSets_.clear();
  edgeRows_.clear();
}

std::size_t FragmentPassExtractor::graphicsBytes() const {
  std::size_t bytes = 0;
  for (const OutputSet& set : allSets_)
    for (GLBufferObject* b : set) bytes += std::size_t(b->size()) * 2; // the buffer and the texture it is read from
  return bytes;
}

std::size_t FragmentPassExtractor::outputBytesFor(const std::vector<ChunkSpan>& spans) const {
  // Four targets per extracted chunk, each a buffer and the texture it is read from; the pool keeps
  // what it once made.
  const std::size_t sets = std::max(allSets_.size(), spans.size());
  return sets * 4 * 2 * std::size_t(width_) * std::size_t(height_) * 16;
}

void FragmentPassExtractor::release() {
  clearChunks();
  interpVerticesTex = interpGradientsTex = indicesTex = nullptr;
  ownedPassTextures_.clear();
  renderTarget_.reset(); // with the pbuffer-mode pass textures
  for (GLSLShader* p : {&interpolateProgram, &triangleProgram, &vertexGatherProgram, &normalGatherProgram})
    p->destroy();
  ready_ = false;
}

// ---- the passes --------------------------------------------------------------------------------

void FragmentPassExtractor::extract(const Dataset& dataset, const std::vector<ChunkSpan>& spans, float iso,
                                    bool flatNormals, const PartHook& partDone) {
  recycleOutputs(spans);
  for (const ChunkSpan& s : spans) extractSpan(dataset, s, iso, flatNormals, partDone);
}

namespace {
void drawRowQuad(float yMin, float yEnd) {
  glBegin(GL_QUADS);
  glVertex2f(-1, yEnd);
  glVertex2f(1, yEnd);
  glVertex2f(1, yMin);
  glVertex2f(-1, yMin);
  glEnd();
}
} // namespace

void FragmentPassExtractor::extractSpan(const Dataset& dataset, const ChunkSpan& span, float iso, bool flatNormals,
                                        const PartHook& partDone) {
  auto part = [&](ExtractionPart p) {
    if (partDone) partDone(p);
  };
  if (!ready_ || span.chunk < 0 || std::size_t(span.chunk) >= dataset.chunks.size()) return;
  const CacheChunk& chunk = *dataset.chunks[std::size_t(span.chunk)];
  if (!chunk.hasTextures()) return;
  const OutputSet* outputs = outputsFor(span.chunk);
  if (!outputs) return;

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

  renderTarget_->beginCapture();
  part(ExtractionPart::Setup);
  const int W = width_, H = height_;
  const float yMin = rowY(span.rowMin), yEnd = rowY(span.rowEnd);
  const bool framebufferMode = renderTarget_->mode() == GLRenderToTexture::kFramebufferMode;
  // The rows the passes cover, [bandFirst, bandEnd): the span's, upside down when no row matches.
  const int bandFirst = std::clamp(std::min(span.rowMin, span.rowEnd), 0, H);
  const int bandEnd = std::clamp(std::max(span.rowMin, span.rowEnd), 0, H);
  const std::pair<int, int> edges = interpolatedEdgeRows(span.chunk, chunk.rowCount1, bandFirst, bandEnd);
  const int edgeFirst = edges.first, edgeEnd = edges.second;

  // One pass into the selected target. The program, textures, clear colour, viewport and scissor
  // are set after the target is selected: in pbuffer mode every target has a context of its own.
  // A pass of the band clears and draws its rows only; what lies outside is never read or drawn.
  struct Sampler {
    GLTexture* texture;
    GLenum unit;
  };
  auto pass = [&](GLSLShader& program, std::initializer_list<Sampler> samplers, int width, float clear, bool band,
                  const std::function<void()>& uniforms, const std::function<void()>& draw) {
    if (!framebufferMode) glViewport(0, 0, width, H);
    if (framebufferMode) glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    if (program.bind()) uniforms();
    for (const Sampler& s : samplers) s.texture->bind(int(s.unit));
    if (band) {
      glScissor(0, H - bandEnd, width, bandEnd - bandFirst);
      glEnable(GL_SCISSOR_TEST);
    }
    glClearColor(clear, clear, clear, clear == 0 ? 0.0f : -1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    draw();
    if (band) glDisable(GL_SCISSOR_TEST);
    for (const Sampler& s : samplers) s.texture->unbind(int(s.unit));
    program.unbind();
  };
  auto rowQuad = [&] { drawRowQuad(yMin, yEnd); };

  // Interpolation: classification edges of the band (left half), and the edge rows its tetrahedra
  // use (right half), first of the positions, then of the gradients. The whole target is cleared:
  // an edge index outside what is interpolated must read as never crossing.
  auto twoPartQuad = [&] {
    glBegin(GL_QUADS);
    glVertex2f(-1, yEnd);
    glVertex2f(0, yEnd);
    glVertex2f(0, yMin);
    glVertex2f(-1, yMin);
    if (edgeFirst < edgeEnd) {
      glVertex2f(0, rowY(edgeEnd));
      glVertex2f(1, rowY(edgeEnd));
      glVertex2f(1, rowY(edgeFirst));
      glVertex2f(0, rowY(edgeFirst));
    }
    glEnd();
  };
  auto flags = [&] { interpolateProgram.setUniform2f("Flags", iso, -1.0f); };
  renderTarget_->setTarget(interpVerticesTex, 0, 0);
  pass(interpolateProgram, {{chunk.edgeMapTex.get(), GL_TEXTURE0}, {chunk.vertexTex.get(), GL_TEXTURE1}}, W, 1, false,
       flags, twoPartQuad);
  part(ExtractionPart::Interpolation);
  renderTarget_->setTarget(interpGradientsTex, 0, 0);
  pass(interpolateProgram, {{chunk.edgeMapTex.get(), GL_TEXTURE0}, {chunk.weightTex.get(), GL_TEXTURE1}}, W, 1, false,
       flags, twoPartQuad);
  part(ExtractionPart::Interpolation);

  // Triangle assembly into the indices target, W/2 wide.
  glViewport(0, 0, W / 2, H);
  renderTarget_->setTarget(indicesTex, 0, 0);
  pass(triangleProgram, {{interpVerticesTex, GL_TEXTURE0}, {chunk.tetMapTex.get(), GL_TEXTURE1}}, W / 2, 0, true, [] {},
       rowQuad);
  part(ExtractionPart::Assembly);

  // Vertex gather into the position buffers of both halves, then the normal gather into the normal
  // buffers: one gradient per primitive when flat, four when smooth. Leaving a buffer target
  // copies the band's rows into its buffer (window rows count from the bottom).
  glViewport(0, 0, W, H);
  renderTarget_->setCopyRows(H - bandEnd, bandEnd - bandFirst);
  GLSLShader& normals = flatNormals ? normalGatherProgram : vertexGatherProgram;
  for (int target = 0; target < 4; ++target) {
    const int h = target % 2;
    GLSLShader& program = target < 2 ? vertexGatherProgram : normals;
    GLTexture* source = target < 2 ? interpVerticesTex : interpGradientsTex;
    renderTarget_->setTarget((*outputs)[std::size_t(target)]); // leaving a buffer target copies it
    part(ExtractionPart::Copies);
    pass(program, {{indicesTex, GL_TEXTURE1}, {source, GL_TEXTURE0}}, W, 1, true,
         [&] { program.setUniform2f("Offset", 0.25f * float(h), 0); }, rowQuad);
    part(target < 2 ? ExtractionPart::VertexGather : ExtractionPart::NormalGather);
  }

  renderTarget_->endCapture(); // copies the last buffer target
  renderTarget_->setCopyRows(0, -1);
  part(ExtractionPart::Copies);
  glPopClientAttrib();
  glPopAttrib();
  part(ExtractionPart::Setup);
}

// ---- drawing and read-back -----------------------------------------------------------------------

void FragmentPassExtractor::drawQuads(const OutputSet& set, int half, int first, int count) const {
  GLBufferObject* positions = set[std::size_t(half)];
  GLBufferObject* normals = set[std::size_t(2 + half)];
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

void FragmentPassExtractor::draw(const std::vector<ChunkSpan>& spans) const {
  // Only what the last extraction wrote is drawn: the spans' rows of chunks holding outputs.
  for (const ChunkSpan& s : spans) {
    const OutputSet* set = s.drawn() ? heldOutputs(s.chunk) : nullptr;
    if (!set) continue;
    glColor3f(0, 0, 1);
    for (int h = 0; h < 2; ++h)
      drawQuads(*set, h, (height_ - s.rowEnd) * width_, (s.rowEnd - s.rowMin) * width_);
  }
}

void FragmentPassExtractor::collectPrimitives(const std::vector<ChunkSpan>& spans, std::vector<PrimitiveRecord*>& out) {
  MemoryPool& pool = MemoryPool::shared();
  const int W = width_, H = height_;
  for (const ChunkSpan& s : spans) {
    if (!s.drawn() || !heldOutputs(s.chunk)) continue;
    for (int h = 0; h < 2; ++h) {
      const std::vector<float> a = readBackOutput(s.chunk, h);
      for (int j = H - s.rowEnd; j <= H - s.rowMin - 1; ++j)
        for (int q = 0; q < W / 4; ++q) {
          const int v = j * W + 4 * q;
          void* item = pool.allocate(sizeof(PrimitiveRecord));
          if (!item) return; // the pool is full: no more records (its warning was printed)
          auto* r = static_cast<PrimitiveRecord*>(item);
          *r = PrimitiveRecord{std::uint32_t(s.chunk) * 256u + std::uint32_t(h), v, a[4 * std::size_t(v)],
                               a[4 * std::size_t(v) + 1], a[4 * std::size_t(v) + 2]};
          out.push_back(r);
        }
    }
  }
}

void FragmentPassExtractor::drawPrimitive(const PrimitiveRecord& r) const {
  if (const OutputSet* set = heldOutputs(int(r.id >> 8))) drawQuads(*set, int(r.id & 0xFF), r.firstVertex, 4);
}

std::vector<float> FragmentPassExtractor::readBackOutput(int k, int target) {
  std::vector<float> pixels(std::size_t(width_) * height_ * 4, 0.0f);
  const OutputSet* set = heldOutputs(k);
  if (!set || target < 0 || target > 3 || !renderTarget_) return pixels;
  renderTarget_->setCopyRows(0, 0); // reading leaves the buffer the surface is drawn from alone
  renderTarget_->beginCapture();
  renderTarget_->setTarget((*set)[std::size_t(target)]);
  glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
  GLint packBuffer = 0;
  glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING_ARB, &packBuffer);
  if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
  glReadPixels(0, 0, width_, height_, GL_RGBA, GL_FLOAT, pixels.data());
  if (packBuffer) glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, GLuint(packBuffer));
  renderTarget_->endCapture();
  renderTarget_->setCopyRows(0, -1);
  return pixels;
}

std::vector<float> FragmentPassExtractor::readOutputBuffer(int k, int target) const {
  std::vector<float> values(std::size_t(width_) * height_ * 4, 0.0f);
  const OutputSet* set = heldOutputs(k);
  if (!set || target < 0 || target > 3) return values;
  GLBufferObject* buffer = (*set)[std::size_t(target)];
  if (std::size_t(buffer->size()) < values.size() * sizeof(float)) return values;
  buffer->getSubData(0, int(values.size() * sizeof(float)), values.data());
  return values;
}
