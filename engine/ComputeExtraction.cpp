#include "ComputeExtraction.h"

#include "CacheFile.h"
#include "ChunkTextureSize.h"
#include "EmbeddedShaders.h"
#include "MemoryPool.h"
#include "PkDiag.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr int kGroupSize = 64;
constexpr std::uint32_t kNoEdge = 0xFFFFu;
constexpr std::size_t kBytesPerVertex = ComputeExtraction::kFloatsPerVertex * sizeof(float);
// The storage buffer llvmpipe binds at most.
constexpr std::size_t kMaxBufferBytes = std::size_t(128) << 20;
constexpr GLuint kFreshCommand[5] = {0, 1, 0, 0, 0};

enum Stage { kEdgePass, kAssembly, kFlat };

GLuint compileProgram(const char* defines) {
  const std::string source = std::string("#version 430\n") + defines + shaders::marchingCompute;
  const char* text = source.c_str();
  const GLuint shader = glCreateShader(GL_COMPUTE_SHADER);
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  auto log = [](GLuint object, bool program) -> std::string {
    GLint length = 0;
    program ? glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length) : glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    std::string text(std::size_t(std::max(length, 1)), '\0');
    program ? glGetProgramInfoLog(object, length, nullptr, &text[0]) : glGetShaderInfoLog(object, length, nullptr, &text[0]);
    return std::string(text.c_str());
  };
  if (!ok) {
    pk::error(std::string("the marching program does not compile: ") + log(shader, false));
    glDeleteShader(shader);
    return 0;
  }
  const GLuint program = glCreateProgram();
  glAttachShader(program, shader);
  glLinkProgram(program);
  glDeleteShader(shader); // stays alive with the program
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    pk::error(std::string("the marching program does not link: ") + log(program, true));
    glDeleteProgram(program);
    return 0;
  }
  glUseProgram(program);
  glUniform1i(glGetUniformLocation(program, "Vertices"), 0);
  glUniform1i(glGetUniformLocation(program, "Tets"), 1);
  glUniform1i(glGetUniformLocation(program, "Edges"), 2);
  glUseProgram(0);
  return program;
}

void bindBufferTexture(GLenum unit, GLuint texture) {
  glActiveTexture(unit);
  glBindTexture(GL_TEXTURE_BUFFER, texture);
}

void deleteBuffer(GLuint& buffer) {
  if (buffer) glDeleteBuffers(1, &buffer);
  buffer = 0;
}

GLuint bufferTexture(GLuint buffer, GLenum format) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_BUFFER, texture);
  glTexBuffer(GL_TEXTURE_BUFFER, format, buffer);
  glBindTexture(GL_TEXTURE_BUFFER, 0);
  return texture;
}

GLuint uploadBuffer(std::size_t bytes, const void* data) {
  GLuint buffer = 0;
  glGenBuffers(1, &buffer);
  glBindBuffer(GL_TEXTURE_BUFFER, buffer);
  glBufferData(GL_TEXTURE_BUFFER, GLsizeiptr(bytes), data, GL_STATIC_DRAW);
  glBindBuffer(GL_TEXTURE_BUFFER, 0);
  return buffer;
}

} // namespace

ComputeExtraction::ComputeExtraction(int textureWidth, int textureHeight)
    : width_(textureWidth), height_(textureHeight) {}

ComputeExtraction::~ComputeExtraction() = default; // GL objects go with release()

bool ComputeExtraction::supported() {
  return GLEW_VERSION_4_3 || (GLEW_ARB_compute_shader && GLEW_ARB_shader_storage_buffer_object &&
                              GLEW_ARB_texture_buffer_object && GLEW_ARB_draw_indirect);
}

std::size_t ComputeExtraction::maxBatchVertices() {
  // Rounded down to whole quads (six vertices).
  return kMaxBufferBytes / kBytesPerVertex / 6 * 6;
}

std::size_t ComputeExtraction::maxBatchIndices() {
  return kMaxBufferBytes / sizeof(std::uint32_t) / 6 * 6;
}

bool ComputeExtraction::initialize() {
  if (!supported()) return false;
  const char* defines[3] = {"#define EDGE_PASS\n", "", "#define FLAT_NORMALS\n"};
  for (int i = 0; i < 3; ++i) {
    Program& p = programs_[i];
    p.id = compileProgram(defines[i]);
    if (!p.id) continue;
    p.iso = glGetUniformLocation(p.id, "Iso");
    p.chunkBits = glGetUniformLocation(p.id, "ChunkBits");
    p.capacity = glGetUniformLocation(p.id, "Capacity");
    p.first = glGetUniformLocation(p.id, "First");
    p.count = glGetUniformLocation(p.id, "Count");
    p.vertexBase = glGetUniformLocation(p.id, "VertexBase");
    p.edgeBase = glGetUniformLocation(p.id, "EdgeBase");
    p.finite = glGetUniformLocation(p.id, "Finite");
  }
  if (!ready()) {
    release();
    return false;
  }
  // Warm the programs: the driver compiles a program at its first dispatch.
  SpanNeed room;
  room.vertices = room.indices = 6;
  if (ensureBatch(0, room)) {
    const Batch& b = batches_[0];
    const GLuint outputs[4] = {b.surface, b.command, b.indices, b.slotIds};
    for (GLuint i = 0; i < 4; ++i) glBindBufferBase(GL_SHADER_STORAGE_BUFFER, i, outputs[i]);
    for (const Program& p : programs_) {
      glUseProgram(p.id);
      glUniform1i(p.count, 0);
      glDispatchCompute(1, 1, 1);
    }
    glUseProgram(0);
    for (GLuint i = 0; i < 4; ++i) glBindBufferBase(GL_SHADER_STORAGE_BUFFER, i, 0);
    glFinish();
  }
  return true;
}

Dataset::Upload ComputeExtraction::chunkUpload() {
  Dataset::Upload form;
  form.textures = false;
  form.chunkComplete = [this](int k, const ChunkData& d) {
    setChunk(k, d); // a chunk it cannot take stays in the trees and draws nothing
    return true;
  };
  form.chunkBytes = [this](int k) { return chunkBytes(k); };
  form.releaseChunk = [this](int k) { dropChunk(k); };
  return form;
}

std::size_t ComputeExtraction::chunkBytes(int k) const {
  return k >= 0 && std::size_t(k) < chunks_.size() ? chunks_[std::size_t(k)].bytes : 0;
}

void ComputeExtraction::dropChunk(int k) {
  if (k < 0 || std::size_t(k) >= chunks_.size()) return;
  Chunk& c = chunks_[std::size_t(k)];
  const GLuint textures[3] = {c.vertexTexture, c.edgeTexture, c.tetTexture};
  const GLuint buffers[3] = {c.vertexBuffer, c.edgeBuffer, c.tetBuffer};
  glDeleteTextures(3, textures);
  glDeleteBuffers(3, buffers);
  c = Chunk();
}

bool ComputeExtraction::setChunk(int k, const ChunkData& d) {
  if (k < 0) return false;
  dropChunk(k);
  if (chunks_.size() <= std::size_t(k)) chunks_.resize(std::size_t(k) + 1);
  const int W = width_, H = height_;
  const std::size_t texels = std::size_t(W) * std::size_t(H);
  if (W != kChunkTextureSide || H != kChunkTextureSide || d.vertexArray.size() != 4 * texels || d.weightArray.size() != 4 * texels ||
      d.edgeMap.size() != 4 * texels || d.tetMap.size() != 4 * texels) {
    return false; // nothing of it can be drawn
  }
  columns_ = W / 2;
  // The edge in texel t as the vertex slots of its two ends; a byte coordinate b is texel b.
  auto endsIn = [&](std::size_t t) -> std::uint32_t {
    const std::uint8_t* e = &d.edgeMap[4 * t];
    const std::uint32_t lo = std::uint32_t(e[1]) * std::uint32_t(W) + e[0];
    const std::uint32_t hi = std::uint32_t(e[3]) * std::uint32_t(W) + e[2];
    return lo | hi << 16;
  };
  // A tetrahedron's edge by global index, as its number among the edges the interpolation pass
  // fills: the right half's rows below rowCount1. Any other index reads a cleared texel there,
  // which is never crossing.
  const int edgeRows = std::clamp(int(d.rowCount1), 0, H);
  auto edgeNumber = [&](std::size_t index) -> std::uint32_t {
    const int column = int(index % std::size_t(W)), row = int(index / std::size_t(W));
    return column >= W / 2 && row < edgeRows ? std::uint32_t(row * columns_ + column - W / 2) : kNoEdge;
  };
  const int rows = std::min(int(d.intervalCount()), H); // rows beyond the intervals are never candidates
  const std::size_t slots = std::size_t(rows) * std::size_t(columns_);
  Chunk chunk;
  chunk.rowEdges.assign(2 * std::size_t(rows), 0);
  std::vector<std::uint32_t>& tets = tetScratch_; // every element is written below
  tets.resize(4 * slots);
  std::uint32_t highestVertex = 0;
  int edges = 0; // edge numbers up to the highest one used
  for (int r = 0; r < rows; ++r) {
    std::uint32_t first = kNoEdge, last = 0;
    for (int c = 0; c < columns_; ++c) {
      const std::uint16_t* m = &d.tetMap[4 * (std::size_t(r) * W + 2 * std::size_t(c))];
      const std::uint32_t e[6] = {edgeNumber(m[0]), edgeNumber(m[1]), edgeNumber(m[2]),
                                  edgeNumber(m[3]), edgeNumber(m[6]), edgeNumber(m[7])};
      for (std::uint32_t n : e)
        if (n != kNoEdge) {
          first = std::min(first, n);
          last = std::max(last, n);
        }
      const std::uint32_t classification = endsIn(std::size_t(r) * W + c);
      highestVertex = std::max({highestVertex, classification & 0xFFFFu, classification >> 16});
      std::uint32_t* out = &tets[4 * (std::size_t(r) * columns_ + c)];
      out[0] = e[0] | e[1] << 16;
      out[1] = e[2] | e[3] << 16;
      out[2] = e[4] | e[5] << 16;
      out[3] = classification;
    }
    chunk.rowEdges[2 * std::size_t(r)] = std::uint16_t(first);
    chunk.rowEdges[2 * std::size_t(r) + 1] = std::uint16_t(last);
    if (first <= last) edges = std::max(edges, int(last) + 1);
  }
  std::vector<std::uint32_t>& edgeTexels = edgeScratch_;
  edgeTexels.resize(4 * std::size_t(edges));
  auto bitsOf = [](float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
  };
  for (int n = 0; n < edges; ++n) {
    const std::uint32_t ends = endsIn(std::size_t(n / columns_) * W + std::size_t(W / 2 + n % columns_));
    const std::uint32_t lo = ends & 0xFFFFu, hi = ends >> 16;
    highestVertex = std::max({highestVertex, lo, hi});
    std::uint32_t* out = &edgeTexels[4 * std::size_t(n)];
    out[0] = ends;
    out[1] = bitsOf(d.vertexArray[4 * lo + 3]);
    out[2] = bitsOf(d.vertexArray[4 * hi + 3]);
    out[3] = 0;
  }
  const std::size_t vertices = slots ? std::size_t(highestVertex) + 1 : 0;
  std::vector<float>& interleaved = vertexScratch_;
  interleaved.resize(8 * vertices);
  for (std::size_t v = 0; v < vertices; ++v) {
    std::copy_n(&d.vertexArray[4 * v], 4, &interleaved[8 * v]);
    std::copy_n(&d.weightArray[4 * v], 4, &interleaved[8 * v + 4]);
  }
  // Below 1e30 the interpolation cannot overflow, and an edge gives one vertex wherever it is used.
  chunk.finite = std::all_of(interleaved.begin(), interleaved.end(), [](float f) { return std::fabs(f) < 1e30f; });

  chunk.slotCount = int(slots);
  if (slots) {
    chunk.vertexBuffer = uploadBuffer(interleaved.size() * sizeof(float), interleaved.data());
    chunk.vertexTexture = bufferTexture(chunk.vertexBuffer, GL_RGBA32F);
    // A buffer texture of no texels is not complete: an empty edge list keeps one unused texel.
    if (edgeTexels.empty()) edgeTexels.assign(4, 0);
    chunk.edgeBuffer = uploadBuffer(edgeTexels.size() * sizeof(std::uint32_t), edgeTexels.data());
    chunk.edgeTexture = bufferTexture(chunk.edgeBuffer, GL_RGBA32UI);
    chunk.tetBuffer = uploadBuffer(tets.size() * sizeof(std::uint32_t), tets.data());
    chunk.tetTexture = bufferTexture(chunk.tetBuffer, GL_RGBA32UI);
    chunk.bytes = (interleaved.size() + edgeTexels.size() + tets.size()) * 4;
  }
  chunks_[std::size_t(k)] = std::move(chunk);
  return true;
}

void ComputeExtraction::clearChunks() {
  tetScratch_ = std::vector<std::uint32_t>();
  edgeScratch_ = std::vector<std::uint32_t>();
  vertexScratch_ = std::vector<float>();
  for (std::size_t k = 0; k < chunks_.size(); ++k) dropChunk(int(k));
  chunks_.clear();
  usedBatches_ = 0;
}

ComputeExtraction::SpanNeed ComputeExtraction::needOf(const ChunkSpan& s, bool flat, const Dataset* dataset) const {
  SpanNeed need;
  const std::size_t slots = std::size_t(std::max(s.rowEnd - s.rowMin, 0)) * std::size_t(columns_);
  if (flat) {
    need.vertices = 6 * slots;
    return need;
  }
  need.indices = 6 * slots;
  const Chunk* chunk = s.chunk >= 0 && std::size_t(s.chunk) < chunks_.size() ? &chunks_[std::size_t(s.chunk)] : nullptr;
  if (!chunk || !chunk->slotCount) {
    // Not resident yet: no more vertices than the chunk's edges, or corners the slots can append.
    std::size_t edges = std::size_t(height_) * std::size_t(columns_);
    if (dataset && s.chunk >= 0 && std::size_t(s.chunk) < dataset->chunks.size())
      edges = std::size_t(std::clamp(dataset->chunks[std::size_t(s.chunk)]->rowCount1, 0, height_)) * std::size_t(columns_);
    need.vertices = std::min(6 * slots, edges);
    return need;
  }
  const int rows = int(chunk->rowEdges.size() / 2);
  int first = int(kNoEdge), last = -1;
  for (int r = std::max(s.rowMin, 0); r < std::min(s.rowEnd, rows); ++r) {
    const int a = chunk->rowEdges[2 * std::size_t(r)], b = chunk->rowEdges[2 * std::size_t(r) + 1];
    if (a > b) continue;
    first = std::min(first, a);
    last = std::max(last, b);
  }
  if (last >= first) {
    need.firstEdge = first;
    need.edgeCount = last - first + 1;
    need.vertices = std::size_t(need.edgeCount);
  }
  return need;
}

void ComputeExtraction::planBatches(const std::vector<ChunkSpan>& spans, bool flat, const Dataset* dataset,
                                    std::vector<std::pair<std::size_t, std::size_t>>& batchSpans,
                                    std::vector<SpanNeed>& batchNeeds) const {
  // Spans go into batches in order; a batch holds what its spans may write at most.
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const ChunkSpan& s = spans[i];
    if (!s.drawn()) continue;
    const SpanNeed need = needOf(s, flat, dataset);
    if (batchSpans.empty() || batchNeeds.back().vertices + need.vertices > maxBatchVertices() ||
        batchNeeds.back().indices + need.indices > maxBatchIndices()) {
      batchSpans.push_back({i, i + 1});
      batchNeeds.push_back(SpanNeed());
    }
    batchSpans.back().second = i + 1;
    batchNeeds.back().vertices += need.vertices;
    batchNeeds.back().indices += need.indices;
  }
}

std::size_t ComputeExtraction::grownCapacity(std::size_t capacity, std::size_t count, std::size_t limit) {
  // Grows by half again, so that a slider drag settles after a few allocations.
  return capacity >= count ? capacity : std::min(std::max(count, capacity + capacity / 2), limit);
}

std::size_t ComputeExtraction::batchBytes(std::size_t vertices, std::size_t indices) {
  // Vertices, indices, a slot id per three indices, the draw command.
  return vertices * kBytesPerVertex + indices * sizeof(std::uint32_t) + indices / 3 * sizeof(std::uint32_t) +
         sizeof kFreshCommand;
}

std::size_t ComputeExtraction::outputBytesFor(const Dataset& dataset, const std::vector<ChunkSpan>& spans,
                                              bool flatNormals) const {
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans;
  std::vector<SpanNeed> needs;
  planBatches(spans, flatNormals, &dataset, batchSpans, needs);
  std::size_t bytes = 0;
  for (std::size_t b = 0; b < std::max(batches_.size(), needs.size()); ++b) {
    const Batch held = b < batches_.size() ? batches_[b] : Batch();
    const SpanNeed need = b < needs.size() ? needs[b] : SpanNeed();
    bytes += batchBytes(grownCapacity(held.vertexCapacity, need.vertices, maxBatchVertices()),
                        grownCapacity(held.indexCapacity, need.indices, maxBatchIndices()));
  }
  return bytes;
}

void ComputeExtraction::prepareOutputs(const Dataset& dataset, const std::vector<ChunkSpan>& spans, bool flatNormals) {
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans;
  std::vector<SpanNeed> needs;
  planBatches(spans, flatNormals, &dataset, batchSpans, needs);
  for (std::size_t b = 0; b < needs.size(); ++b)
    if (!ensureBatch(int(b), needs[b])) break;
}

bool ComputeExtraction::ensureBatch(int index, const SpanNeed& need) {
  while (int(batches_.size()) <= index) batches_.push_back(Batch());
  Batch& b = batches_[std::size_t(index)];
  if (!b.command) {
    glGenBuffers(1, &b.command);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, b.command);
    glBufferData(GL_DRAW_INDIRECT_BUFFER, sizeof kFreshCommand, kFreshCommand, GL_DYNAMIC_DRAW);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
  }
  auto grow = [](GLuint& buffer, std::size_t& capacity, std::size_t count, std::size_t limit, std::size_t itemBytes) {
    if (capacity >= count && buffer) return;
    capacity = grownCapacity(capacity, std::max<std::size_t>(count, 1), limit);
    if (!buffer) glGenBuffers(1, &buffer);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffer);
    glBufferData(GL_SHADER_STORAGE_BUFFER, GLsizeiptr(capacity * itemBytes), nullptr, GL_DYNAMIC_DRAW);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
  };
  std::size_t slotCapacity = b.indexCapacity / 3;
  grow(b.surface, b.vertexCapacity, need.vertices, maxBatchVertices(), kBytesPerVertex);
  grow(b.indices, b.indexCapacity, need.indices, maxBatchIndices(), sizeof(std::uint32_t));
  grow(b.slotIds, slotCapacity, b.indexCapacity / 3, maxBatchIndices() / 3, sizeof(std::uint32_t));
  return b.vertexCapacity >= need.vertices && b.indexCapacity >= need.indices;
}

void ComputeExtraction::extract(const Dataset& dataset, const std::vector<ChunkSpan>& spans, float iso, bool flatNormals,
                                const PartHook& partDone) {
  usedBatches_ = 0;
  indexed_ = !flatNormals;
  if (!ready()) return;
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans; // [first, end) of spans
  std::vector<SpanNeed> needs;
  planBatches(spans, flatNormals, &dataset, batchSpans, needs);
  // The spans with a chunk to run over, and what each needs.
  auto runnable = [&](const ChunkSpan& s, SpanNeed& need, const Chunk*& chunk, int& first, int& count) {
    if (!s.drawn() || s.chunk < 0 || std::size_t(s.chunk) >= chunks_.size()) return false;
    chunk = &chunks_[std::size_t(s.chunk)];
    first = s.rowMin * columns_;
    count = std::min(s.rowEnd * columns_, chunk->slotCount) - first;
    need = needOf(s, flatNormals);
    return count > 0 && (flatNormals || need.edgeCount > 0);
  };
  for (Program& p : programs_) {
    glUseProgram(p.id);
    glUniform1f(p.iso, iso);
  }
  for (std::size_t b = 0; b < batchSpans.size(); ++b) {
    if (!ensureBatch(int(b), needs[b])) break;
    Batch& batch = batches_[b];
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, batch.command);
    glBufferSubData(GL_DRAW_INDIRECT_BUFFER, 0, sizeof kFreshCommand, kFreshCommand);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    const GLuint outputs[4] = {batch.surface, batch.command, batch.indices, batch.slotIds};
    for (GLuint i = 0; i < 4; ++i) glBindBufferBase(GL_SHADER_STORAGE_BUFFER, i, outputs[i]);
    usedBatches_ = int(b) + 1;
    if (b == 0 && partDone) partDone(ExtractionPart::Setup);
    // Indexed: every span's edge pass, each into its own range of vertices, then the assembly.
    const int stages[2] = {flatNormals ? kFlat : kEdgePass, flatNormals ? -1 : kAssembly};
    for (int stage : stages) {
      if (stage < 0) continue;
      const Program& p = programs_[stage];
      glUseProgram(p.id);
      glUniform1ui(p.capacity, GLuint(stage == kFlat ? batch.vertexCapacity : batch.indexCapacity));
      std::size_t vertexBase = 0;
      for (std::size_t i = batchSpans[b].first; i < batchSpans[b].second; ++i) {
        SpanNeed need;
        const Chunk* chunk = nullptr;
        int first = 0, count = 0;
        if (!runnable(spans[i], need, chunk, first, count)) continue;
        bindBufferTexture(GL_TEXTURE0, chunk->vertexTexture);
        bindBufferTexture(GL_TEXTURE1, chunk->tetTexture);
        bindBufferTexture(GL_TEXTURE2, chunk->edgeTexture);
        glUniform1ui(p.chunkBits, GLuint(spans[i].chunk) << 15);
        glUniform1i(p.finite, chunk->finite ? 1 : 0);
        if (stage == kEdgePass) {
          first = need.firstEdge;
          count = need.edgeCount;
          glUniform1ui(p.vertexBase, GLuint(vertexBase));
        }
        glUniform1ui(p.edgeBase, GLuint(vertexBase - std::size_t(need.firstEdge))); // wraps as the shader's sum does
        vertexBase += need.vertices;
        glUniform1i(p.first, first);
        glUniform1i(p.count, count);
        glDispatchCompute(GLuint((count + kGroupSize - 1) / kGroupSize), 1, 1);
      }
      batch.vertices = vertexBase;
    }
  }
  for (GLenum unit : {GL_TEXTURE2, GL_TEXTURE1, GL_TEXTURE0}) bindBufferTexture(unit, 0);
  for (GLuint i = 0; i < 4; ++i) glBindBufferBase(GL_SHADER_STORAGE_BUFFER, i, 0);
  glUseProgram(0);
  // The vertex array, the indices and the draw command are read after the shaders' writes.
  glMemoryBarrier(GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT | GL_ELEMENT_ARRAY_BARRIER_BIT | GL_COMMAND_BARRIER_BIT |
                  GL_BUFFER_UPDATE_BARRIER_BIT);
  if (partDone) partDone(ExtractionPart::Marching);
}

void ComputeExtraction::bindForDrawing(const Batch& b) const {
  glBindBuffer(GL_ARRAY_BUFFER, b.surface);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(4, GL_FLOAT, GLsizei(kBytesPerVertex), nullptr);
  glClientActiveTexture(GL_TEXTURE0);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glTexCoordPointer(4, GL_FLOAT, GLsizei(kBytesPerVertex), reinterpret_cast<const void*>(4 * sizeof(float)));
  if (indexed_) glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, b.indices);
}

void ComputeExtraction::unbindForDrawing() const {
  glDisableClientState(GL_VERTEX_ARRAY);
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

void ComputeExtraction::draw(const std::vector<ChunkSpan>&) const {
  for (int i = 0; i < usedBatches_; ++i) {
    const Batch& b = batches_[std::size_t(i)];
    bindForDrawing(b);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, b.command);
    if (indexed_)
      glDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT, nullptr);
    else
      glDrawArraysIndirect(GL_TRIANGLES, nullptr);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    unbindForDrawing();
  }
}

void ComputeExtraction::drawRange(int batch, int first, int count) const {
  if (batch < 0 || batch >= usedBatches_ || first < 0 || count <= 0) return;
  bindForDrawing(batches_[std::size_t(batch)]);
  if (indexed_)
    glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_INT, reinterpret_cast<const void*>(std::size_t(first) * sizeof(GLuint)));
  else
    glDrawArrays(GL_TRIANGLES, first, count);
  unbindForDrawing();
}

void ComputeExtraction::collectPrimitives(const std::vector<ChunkSpan>&, std::vector<PrimitiveRecord*>& out) {
  MemoryPool& pool = MemoryPool::shared();
  const int stride = kFloatsPerVertex;
  for (int b = 0; b < usedBatches_; ++b) {
    const std::vector<float> v = readVertices(b);
    for (std::size_t first = 0; first + 3 * stride <= v.size(); first += 3 * stride) {
      void* item = pool.allocate(sizeof(PrimitiveRecord));
      if (!item) return; // the pool is full: no more records (its warning was printed)
      auto* r = static_cast<PrimitiveRecord*>(item);
      *r = PrimitiveRecord{kBatchPrimitive | std::uint32_t(b), std::int32_t(first / stride), v[first], v[first + 1],
                           v[first + 2]};
      out.push_back(r);
    }
  }
}

void ComputeExtraction::drawPrimitive(const PrimitiveRecord& r) const {
  drawRange(int(r.id & ~kBatchPrimitive), r.firstVertex, 3);
}

std::uint32_t ComputeExtraction::vertexCount(int batch) const {
  if (batch < 0 || batch >= usedBatches_) return 0;
  const Batch& b = batches_[std::size_t(batch)];
  GLuint count = 0;
  glBindBuffer(GL_DRAW_INDIRECT_BUFFER, b.command);
  glGetBufferSubData(GL_DRAW_INDIRECT_BUFFER, 0, sizeof count, &count);
  glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
  return std::uint32_t(std::min<std::size_t>(count, indexed_ ? b.indexCapacity : b.vertexCapacity));
}

std::vector<float> ComputeExtraction::readVertices(int batch) const {
  const std::uint32_t count = vertexCount(batch) / 3 * 3;
  std::vector<float> out(std::size_t(count) * kFloatsPerVertex);
  if (count == 0) return out;
  const Batch& b = batches_[std::size_t(batch)];
  auto read = [](GLuint buffer, std::size_t bytes, void* to) {
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffer);
    glGetBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, GLsizeiptr(bytes), to);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
  };
  if (!indexed_) {
    read(b.surface, out.size() * sizeof(float), out.data());
    return out;
  }
  std::vector<std::uint32_t> indices(count), slots(count / 3);
  std::vector<float> vertices(std::min(b.vertices, b.vertexCapacity) * kFloatsPerVertex);
  read(b.indices, indices.size() * sizeof(std::uint32_t), indices.data());
  read(b.slotIds, slots.size() * sizeof(std::uint32_t), slots.data());
  if (!vertices.empty()) read(b.surface, vertices.size() * sizeof(float), vertices.data());
  for (std::size_t i = 0; i < indices.size(); ++i) {
    float* to = &out[i * kFloatsPerVertex];
    const std::size_t v = indices[i];
    if (v < vertices.size() / kFloatsPerVertex)
      std::copy_n(&vertices[v * kFloatsPerVertex], kFloatsPerVertex, to);
    else
      std::fill_n(to, kFloatsPerVertex, std::numeric_limits<float>::quiet_NaN());
    std::memcpy(to + 7, &slots[i / 3], sizeof(float));
  }
  return out;
}

std::size_t ComputeExtraction::graphicsBytes() const {
  std::size_t bytes = 0;
  for (const Chunk& c : chunks_) bytes += c.bytes;
  for (const Batch& b : batches_) bytes += b.command ? batchBytes(b.vertexCapacity, b.indexCapacity) : 0;
  return bytes;
}

void ComputeExtraction::release() {
  clearChunks();
  for (Batch& b : batches_)
    for (GLuint* buffer : {&b.surface, &b.indices, &b.slotIds, &b.command}) deleteBuffer(*buffer);
  batches_.clear();
  for (Program& p : programs_) {
    if (p.id) glDeleteProgram(p.id);
    p = Program();
  }
}
