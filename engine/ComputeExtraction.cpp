#include "ComputeExtraction.h"

#include "CacheFile.h"
#include "ChunkTextureSize.h"
#include "EmbeddedShaders.h"
#include "MemoryPool.h"
#include "PkDiag.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>

namespace {

constexpr int kGroupSize = 64;
constexpr GLuint kMaxGroupsPerDispatch = 65535; // the least every context allows
constexpr std::uint32_t kNoEdge = 0xFFFFFFFFu;
constexpr std::size_t kBytesPerTexel = 16; // RGBA32F and RGBA32UI
constexpr std::size_t kBytesPerVertex = ComputeExtraction::kFloatsPerVertex * sizeof(float);
constexpr std::size_t kBytesPerPrimitive = 4 * kBytesPerVertex;
constexpr std::size_t kPatternBytesPerPrimitive = 6 * sizeof(GLuint);
// A batch's draw commands, one per region of its output, each in 64 bytes of its own: the count,
// which the pass grows with its atomic adds, has a cache line to itself.
constexpr int kRegions = 16;
constexpr std::size_t kCommandWords = 16;
constexpr std::size_t kCommandBytes = kRegions * kCommandWords * sizeof(GLuint);
using Commands = std::array<GLuint, kRegions * kCommandWords>;

// The commands of regions that begin at these indices, none drawing anything yet.
Commands freshCommands(const GLuint* firstIndex) {
  Commands c{};
  for (int r = 0; r < kRegions; ++r) {
    c[std::size_t(r) * kCommandWords + 1] = 1; // one instance
    c[std::size_t(r) * kCommandWords + 2] = firstIndex ? firstIndex[r] : 0;
  }
  return c;
}

// A slot's six edges are AB, AC, AD, BC, BD, CD, each as its ends' vertex slots, lower-valued end in
// the low 16 bits. A slot past the chunk's last tetrahedron has only edges the interpolation pass
// does not fill, and never crosses.
bool isUnusedSlot(const std::uint32_t* e) { return std::count(e, e + 6, kNoEdge) == 6; }
// Whether a used slot can be kept as its four corners: its edges are those of one tetrahedron A..D,
// each from its lower corner (every slot a builder makes).
bool isRegularSlot(const std::uint32_t* e) {
  if (std::find(e, e + 6, kNoEdge) != e + 6) return false;
  const std::uint32_t a = e[0] & 0xFFFFu, b = e[0] >> 16, c = e[5] & 0xFFFFu, d = e[5] >> 16;
  return e[1] == (a | c << 16) && e[2] == (a | d << 16) && e[3] == (b | c << 16) && e[4] == (b | d << 16);
}

// The extensions the SUBGROUPS form of the pass needs.
constexpr const char* kSubgroupHeader = "#extension GL_ARB_gpu_shader_int64 : require\n"
                                        "#extension GL_ARB_shader_ballot : require\n"
                                        "#define SUBGROUPS\n";

GLuint compileProgram(bool subgroups, const char* defines) {
  const std::string source =
      std::string("#version 430\n") + (subgroups ? kSubgroupHeader : "") + defines + shaders::marchingCompute;
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
  glUniform1i(glGetUniformLocation(program, "Spans"), 2);
  glUniform1i(glGetUniformLocation(program, "Groups"), 3);
  glUseProgram(0);
  return program;
}

} // namespace

ComputeExtraction::ComputeExtraction(int textureWidth, int textureHeight, bool portable, std::size_t slabTexels)
    : width_(textureWidth), height_(textureHeight), portable_(portable), slabLimit_(slabTexels) {}

std::size_t ComputeExtraction::slabTexels() const {
  if (slabLimit_) return slabLimit_;
  GLint most = 0;
  glGetIntegerv(GL_MAX_TEXTURE_BUFFER_SIZE, &most);
  return std::min<std::size_t>(std::size_t(std::max(most, 65536)), std::size_t(4) << 20); // 64 MiB of RGBA32
}

ComputeExtraction::~ComputeExtraction() = default; // GL objects go with release()

bool ComputeExtraction::supported() {
  return GLEW_VERSION_4_3 || (GLEW_ARB_compute_shader && GLEW_ARB_shader_storage_buffer_object &&
                              GLEW_ARB_texture_buffer_object && GLEW_ARB_draw_indirect && GLEW_ARB_multi_draw_indirect);
}

std::size_t ComputeExtraction::maxBatchPrimitives() {
  return (std::size_t(128) << 20) / kBytesPerPrimitive; // 128 MiB of vertices
}

bool ComputeExtraction::initialize() {
  if (!supported()) return false;
  auto compile = [this](bool subgroups) {
    subgroups_ = subgroups;
    for (int form = 0; form < 4; ++form)
      programs_[form] = compileProgram(subgroups, std::string(form & 1 ? "#define FLAT_NORMALS\n" : "")
                                                      .append(form & 2 ? "#define REGULAR\n" : "")
                                                      .c_str());
  };
  compile(!portable_ && GLEW_ARB_gpu_shader_int64 && GLEW_ARB_shader_ballot);
  if (!ready() && subgroups_) { // a driver that names the extensions but does not compile them
    release();
    compile(false);
  }
  if (!ready()) {
    release();
    return false;
  }
  // Warm the programs: the driver compiles a program at its first dispatch, for the formats (and
  // size classes, see TexelArena::bufferBytes) of the textures bound then, so a stand-in slab of
  // one vertex and one slot is bound as a chunk's would be. One work group of a span without slots
  // does nothing.
  const GLuint emptySpan[4] = {0, 0, 0, 0}, itsGroup[4] = {0, 0, 0, 0};
  uploadTables(emptySpan, sizeof emptySpan, itsGroup, sizeof itsGroup);
  Slab standIn(2, 1);
  const float vertex[8] = {};
  const GLuint slot[4] = {0, 0, 0, 0};
  if (ensureBatch(0, 1) && standIn.vertices.store(vertex, 2) != TexelArena::kNone &&
      standIn.tets.store(slot, 1) != TexelArena::kNone) {
    bindTables();
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_BUFFER, standIn.vertices.texture());
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_BUFFER, standIn.tets.texture());
    glActiveTexture(GL_TEXTURE0);
    for (GLuint program : programs_) {
      glUseProgram(program);
      glUniform1i(glGetUniformLocation(program, "GroupBase"), 0);
      glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, batches_[0].surface);
      glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, batches_[0].command);
      glDispatchCompute(1, 1, 1);
    }
    glUseProgram(0);
    unbindInputs();
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, 0);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, 0);
    glFinish();
  }
  releaseSlab(standIn);
  return true;
}

Dataset::Upload ComputeExtraction::chunkUpload(bool onDemand) {
  // Chunks share slabs, planned from the chunk index. Read on demand, they do so while the dataset
  // finds that the whole index fits its budget; else each chunk gets a slab of its own, just its
  // size, whose memory goes when it is evicted.
  sharedSlabs_ = true;
  Dataset::Upload form;
  form.textures = false;
  // The threads that read the chunks derive them; this one only places them in slabs. A chunk it
  // cannot take stays in the trees and draws nothing.
  form.prepareChunk = [this](const ChunkData& d, std::unique_ptr<PreparedChunk>& into) {
    if (!dynamic_cast<DerivedChunk*>(into.get())) into = std::make_unique<DerivedChunk>();
    derive(d, static_cast<DerivedChunk&>(*into));
  };
  form.chunkComplete = [this](int k, const ChunkData& d, const PreparedChunk* prepared) {
    if (const auto* derived = dynamic_cast<const DerivedChunk*>(prepared)) {
      setDerived(k, *derived);
    } else { // not prepared by the reading thread: derived here
      DerivedChunk here;
      derive(d, here);
      setDerived(k, here);
    }
    return true;
  };
  form.chunksAhead = [this](const std::vector<ChunkShape>& shapes) { planSlabs(shapes); };
  form.chunkBytes = [this](int k) { return chunkBytes(k); };
  form.releaseChunk = [this](int k) { dropChunk(k); };
  if (onDemand) {
    form.storageBytes = [this] { return chunkStorageBytes(); };
    form.sharedBytes = [this] { return sharedBytes(); };
    form.shareMemory = [this](bool share) { shareSlabs(share); };
    form.gatherChunks = [this](const std::vector<int>& chunks, std::size_t spareBytes) { return gather(chunks, spareBytes); };
    form.fillFreedRoom = [this] { return fillGatheredRoom(); };
  }
  return form;
}

bool ComputeExtraction::moveOwnChunk(Chunk& c, std::size_t into) {
  Slab& own = *slabs_[std::size_t(c.slab)];
  Slab& slab = *slabs_[into];
  const std::size_t v = slab.vertices.storeCopy(own.vertices, c.vertexFirst, c.vertexTexels);
  if (v == TexelArena::kNone) return false;
  const std::size_t t = slab.tets.storeCopy(own.tets, c.tetFirst, c.tetTexels);
  if (t == TexelArena::kNone) {
    slab.vertices.free(v, c.vertexTexels);
    return false;
  }
  c.vertexFirst = v;
  c.tetFirst = t;
  c.slab = int(into);
  releaseSlab(own);
  return true;
}

bool ComputeExtraction::inOwnSlab(const Chunk& c) const {
  return c.slab >= 0 && c.regular && slabs_[std::size_t(c.slab)]->planned == kOwn;
}

std::vector<int> ComputeExtraction::fillGatheredRoom() {
  std::vector<int> moved;
  std::vector<std::size_t> gathered;
  for (std::size_t s = 0; s < slabs_.size(); ++s)
    if (slabs_[s]->planned == kGathered) gathered.push_back(s);
  if (gathered.empty()) return moved;
  for (std::size_t k = 0; k < chunks_.size(); ++k) {
    if (!inOwnSlab(chunks_[k])) continue;
    for (std::size_t s : gathered)
      if (moveOwnChunk(chunks_[k], s)) {
        moved.push_back(int(k));
        break;
      }
  }
  return moved;
}

std::vector<int> ComputeExtraction::gather(const std::vector<int>& chunks, std::size_t spareBytes) {
  std::vector<int> moved;
  // Regular chunks in slabs of their own that the request before wanted too, each once.
  std::vector<int> alone;
  std::vector<char> before(chunks_.size(), 0);
  for (int k : lastGatherRequest_)
    if (k >= 0 && std::size_t(k) < before.size()) before[std::size_t(k)] = 1;
  lastGatherRequest_ = chunks;
  for (int k : chunks) {
    if (k < 0 || std::size_t(k) >= chunks_.size() || !before[std::size_t(k)]) continue;
    before[std::size_t(k)] = 0; // once
    if (inOwnSlab(chunks_[std::size_t(k)])) alone.push_back(k);
  }
  if (alone.size() < kGatherAtLeast) return moved;
  const std::size_t limit = slabTexels();
  for (std::size_t i = 0; i < alone.size();) {
    // The next chunks in order, as many as a slab holds and the spare memory takes beside their
    // own slabs until these go.
    std::size_t vertexTexels = 0, tetTexels = 0, end = i;
    for (; end < alone.size(); ++end) {
      const Chunk& c = chunks_[std::size_t(alone[end])];
      const std::size_t v = vertexTexels + c.vertexTexels, t = tetTexels + c.tetTexels;
      if (v > limit || t > limit ||
          TexelArena::bufferBytes(v * kBytesPerTexel) + TexelArena::bufferBytes(t * kBytesPerTexel) > spareBytes)
        break;
      vertexTexels = v;
      tetTexels = t;
    }
    if (end - i < 2) { // nothing to gather: these would not save a dispatch
      i = std::max(end, i + 1);
      continue;
    }
    const std::size_t s = newSlab(vertexTexels, tetTexels);
    Slab& gathered = *slabs_[s];
    if (!gathered.vertices.reserve(vertexTexels) || !gathered.tets.reserve(tetTexels)) {
      releaseSlab(gathered);
      return moved; // no memory for it: the chunks stay where they are
    }
    gathered.planned = kGathered;
    for (; i < end; ++i) // exactly the room reserved: each move fits
      if (moveOwnChunk(chunks_[std::size_t(alone[i])], s)) moved.push_back(alone[i]);
  }
  return moved;
}

std::size_t ComputeExtraction::chunkBytes(int k) const {
  if (k < 0 || std::size_t(k) >= chunks_.size()) return 0;
  const Chunk& c = chunks_[std::size_t(k)];
  if (c.slab >= 0 && slabs_[std::size_t(c.slab)]->planned == kOwn) { // its own slab, padding and all
    const Slab& own = *slabs_[std::size_t(c.slab)];
    return own.vertices.capacityBytes() + own.tets.capacityBytes();
  }
  return (c.vertexTexels + c.tetTexels) * kBytesPerTexel;
}

void ComputeExtraction::dropChunk(int k) {
  if (k < 0 || std::size_t(k) >= chunks_.size()) return;
  Chunk& c = chunks_[std::size_t(k)];
  if (c.slab >= 0 && std::size_t(c.slab) < slabs_.size()) {
    Slab& slab = *slabs_[std::size_t(c.slab)];
    slab.vertices.free(c.vertexFirst, c.vertexTexels);
    slab.tets.free(c.tetFirst, c.tetTexels);
    // A chunk's own slab, and a shared or gathered one it leaves empty, give their memory back now.
    if (slab.planned == kOwn || (slab.vertices.usedTexels() == 0 && slab.tets.usedTexels() == 0)) releaseSlab(slab);
  }
  c = Chunk();
}

void ComputeExtraction::releaseSlab(Slab& slab) {
  if (slab.planned >= 0) plannedHeld_[std::size_t(slab.planned)] = 0;
  slab.planned = kOwn;
  slab.vertices.release();
  slab.tets.release();
}

std::size_t ComputeExtraction::sharedBytes() const {
  // What is held, and the planned slabs not held now at their planned size (with chunks in slabs
  // of their own, more than sharing would hold).
  std::size_t bytes = chunkStorageBytes();
  for (std::size_t p = 0; p < plannedSlabs_.size(); ++p)
    if (!plannedHeld_[p]) bytes += (plannedSlabs_[p].first + plannedSlabs_[p].second) * kBytesPerTexel;
  return bytes;
}

void ComputeExtraction::shareSlabs(bool share) {
  for (std::size_t k = 0; k < chunks_.size(); ++k) dropChunk(int(k));
  sharedSlabs_ = share;
}

void ComputeExtraction::derive(const ChunkData& d, DerivedChunk& out) const {
  out.usable = false;
  const int W = width_, H = height_;
  const std::size_t texels = std::size_t(W) * std::size_t(H);
  if (W != kChunkTextureSide || H != kChunkTextureSide || d.vertexArray.size() != 4 * texels || d.weightArray.size() != 4 * texels ||
      d.edgeMap.size() != 4 * texels || d.tetMap.size() != 4 * texels) {
    return; // nothing of it can be drawn
  }
  const std::size_t columns = std::size_t(W / 2);
  // The edge in texel t as the vertex slots of its two ends; a byte coordinate b is texel b.
  auto edgeIn = [&](std::size_t t) -> std::uint32_t {
    const std::uint8_t* e = &d.edgeMap[4 * t];
    const std::uint32_t lo = std::uint32_t(e[1]) * std::uint32_t(W) + e[0];
    const std::uint32_t hi = std::uint32_t(e[3]) * std::uint32_t(W) + e[2];
    return lo | hi << 16;
  };
  // A tetrahedron's edge by global index; one the interpolation pass does not fill never crosses.
  const int edgeRows = std::clamp(int(d.rowCount1), 0, H);
  auto edgeAt = [&](std::size_t index) -> std::uint32_t {
    return isInterpolatedEdge(int(index), W, edgeRows) ? edgeIn(index) : kNoEdge;
  };
  const int rows = std::min(int(d.intervalCount()), H); // rows beyond the intervals are never candidates
  const std::size_t slots = std::size_t(rows) * columns;
  // A slot's six edges (the cache's vertex slots) and the values at the ends of its classification
  // edge, as the pass would fetch them.
  auto readSlot = [&](std::size_t slot, std::uint32_t* edges, std::uint32_t* values) {
    const std::size_t r = slot / columns, c = slot % columns;
    const std::uint16_t* m = &d.tetMap[4 * (r * std::size_t(W) + 2 * c)];
    const std::size_t indices[6] = {m[0], m[1], m[2], m[3], m[6], m[7]};
    for (int i = 0; i < 6; ++i) edges[i] = edgeAt(indices[i]);
    const std::uint32_t classification = edgeIn(r * std::size_t(W) + c);
    std::memcpy(&values[0], &d.vertexArray[4 * std::size_t(classification & 0xFFFFu) + 3], sizeof(float));
    std::memcpy(&values[1], &d.vertexArray[4 * std::size_t(classification >> 16) + 3], sizeof(float));
  };
  // Vertex slots are renumbered in the order the tetrahedron slots first use them, so that the pass,
  // which walks a span's slots in order, reads the vertices nearly in order too (the cache's order
  // follows the edge rows, and a span's tetrahedra lie all over it). A regular slot's corners A, B,
  // C, D come in the order of its edges' ends, so both forms number the vertices alike.
  std::vector<std::uint32_t>& renumbered = out.renumbered;
  std::vector<std::uint32_t>& original = out.original; // by new number
  auto startNumbering = [&] {
    renumbered.assign(std::size_t(1) << 16, kNoEdge);
    original.clear();
  };
  auto renumber = [&](std::uint32_t v) {
    std::uint32_t& n = renumbered[v];
    if (n == kNoEdge) {
      n = std::uint32_t(original.size());
      original.push_back(v);
    }
    return n;
  };
  auto renumberEdge = [&](std::uint32_t e) { return renumber(e & 0xFFFFu) | renumber(e >> 16) << 16; };

  // The corners' form where every slot allows it. An unused slot's corners are all a sentinel vertex
  // after the chunk's own, of value +inf, which no isovalue crosses; a chunk that uses every vertex
  // slot has no number left for it and keeps its edges.
  std::vector<std::uint32_t>& tets = out.tets; // every element is written below
  constexpr std::uint32_t kSentinelCorners = 0xFFFFFFFFu; // until the sentinel's number is known
  bool regular = true, sentinel = false;
  startNumbering();
  tets.resize(4 * slots);
  for (std::size_t slot = 0; regular && slot < slots; ++slot) {
    std::uint32_t edges[6], *out = &tets[4 * slot];
    readSlot(slot, edges, out + 2);
    if (isUnusedSlot(edges)) {
      out[0] = out[1] = kSentinelCorners;
      sentinel = true;
    } else if (isRegularSlot(edges)) {
      out[0] = renumberEdge(edges[0]); // A, B
      out[1] = renumberEdge(edges[5]); // C, D
    } else {
      regular = false;
    }
  }
  if (regular && sentinel) {
    if (original.size() >= renumbered.size()) {
      regular = false;
    } else {
      const std::uint32_t v = std::uint32_t(original.size());
      for (std::size_t w = 0; w < tets.size(); w += 4)
        if (tets[w] == kSentinelCorners) tets[w] = tets[w + 1] = v | v << 16;
    }
  }
  // Else the edges' form, the edges renumbered and an edge the interpolation pass does not fill
  // kept as kNoEdge.
  if (!regular) {
    sentinel = false;
    startNumbering();
    tets.resize(8 * slots);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      std::uint32_t* out = &tets[8 * slot];
      readSlot(slot, out, out + 6);
      for (int i = 0; i < 6; ++i)
        if (out[i] != kNoEdge) out[i] = renumberEdge(out[i]);
    }
  }
  if (original.empty() && !sentinel) original.push_back(0); // no edge crosses: one vertex all the same
  std::vector<float>& interleaved = out.vertices;
  interleaved.resize(8 * (original.size() + (sentinel ? 1 : 0)));
  for (std::size_t v = 0; v < original.size(); ++v) {
    std::copy_n(&d.vertexArray[4 * std::size_t(original[v])], 4, &interleaved[8 * v]);
    std::copy_n(&d.weightArray[4 * std::size_t(original[v])], 4, &interleaved[8 * v + 4]);
  }
  if (sentinel) {
    float* s = &interleaved[8 * original.size()];
    std::fill_n(s, 8, 0.0f);
    s[3] = s[7] = std::numeric_limits<float>::infinity();
  }

  out.slotCount = slots;
  out.regular = regular;
  out.usable = true;
}

bool ComputeExtraction::setDerived(int k, const DerivedChunk& derived) {
  if (k < 0) return false;
  dropChunk(k);
  if (chunks_.size() <= std::size_t(k)) chunks_.resize(std::size_t(k) + 1);
  if (!derived.usable) return false;
  columns_ = width_ / 2;
  Chunk chunk;
  chunk.regular = derived.regular;
  if (derived.slotCount) {
    chunk.vertexTexels = derived.vertices.size() / 4;
    chunk.tetTexels = derived.tets.size() / 4;
    if (!place(chunk, derived.vertices.data(), derived.tets.data())) {
      pk::error("not enough graphics memory for chunk " + std::to_string(k) + " - it is left out of the surface");
      return false;
    }
    chunk.slotCount = int(derived.slotCount);
  }
  chunks_[std::size_t(k)] = chunk;
  return true;
}

void ComputeExtraction::planSlabs(const std::vector<ChunkShape>& shapes) {
  plannedSlabs_.clear();
  plannedHeld_.clear();
  if (width_ != kChunkTextureSide || height_ != kChunkTextureSide) return;
  const std::size_t limit = slabTexels(), texels = std::size_t(width_) * std::size_t(height_);
  std::size_t vertices = 0, tets = 0;
  for (const ChunkShape& shape : shapes) {
    // As derive makes them, at most: two texels per vertex the chunk has and its sentinel
    // vertex (a chunk without any keeps one), one per tetrahedron slot of the rows its intervals
    // cover (the regular form; an irregular chunk takes a slab of its own).
    const std::size_t slots = std::min<std::size_t>(shape.rows, std::size_t(height_)) * std::size_t(width_ / 2);
    if (slots == 0) continue;
    const std::size_t v = 2 * (std::clamp<std::size_t>(shape.vertexCount, 1, texels) + 1), t = slots;
    if (vertices > 0 && (vertices + v > limit || tets + t > limit)) {
      plannedSlabs_.push_back({vertices, tets});
      vertices = tets = 0;
    }
    vertices += v;
    tets += t;
  }
  if (vertices > 0) plannedSlabs_.push_back({vertices, tets});
  plannedHeld_.assign(plannedSlabs_.size(), 0);
}

int ComputeExtraction::slabCount() const {
  return int(std::count_if(slabs_.begin(), slabs_.end(), [](const auto& s) { return s->vertices.capacityTexels() > 0; }));
}

std::size_t ComputeExtraction::newSlab(std::size_t vertexTexels, std::size_t tetTexels) {
  // A slab given back leaves its place in slabs_ for the next one.
  std::size_t s = 0;
  while (s < slabs_.size() && slabs_[s]->vertices.capacityTexels() > 0) ++s;
  if (s == slabs_.size()) slabs_.push_back(nullptr);
  slabs_[s] = std::make_unique<Slab>(vertexTexels, tetTexels);
  return s;
}

bool ComputeExtraction::place(Chunk& chunk, const void* vertices, const void* tets) {
  auto placeIn = [&](std::size_t s) {
    Slab& slab = *slabs_[s];
    chunk.vertexFirst = slab.vertices.store(vertices, chunk.vertexTexels);
    if (chunk.vertexFirst == TexelArena::kNone) return false;
    chunk.tetFirst = slab.tets.store(tets, chunk.tetTexels);
    if (chunk.tetFirst == TexelArena::kNone) {
      slab.vertices.free(chunk.vertexFirst, chunk.vertexTexels);
      return false;
    }
    chunk.slab = int(s);
    return true;
  };
  if (!sharedSlabs_ && chunk.regular) {
    // Room that chunks evicted from a gathered slab left (such a slab never grows).
    for (std::size_t s = 0; s < slabs_.size(); ++s)
      if (slabs_[s]->planned == kGathered && placeIn(s)) return true;
  }
  if (sharedSlabs_ && chunk.regular) {
    // The first shared slab with room for both, else the next planned one, allocated now at its
    // planned size (a chunk that outgrows the plan goes to the next one).
    for (std::size_t s = 0; s < slabs_.size(); ++s)
      if (slabs_[s]->planned >= 0 && placeIn(s)) return true;
    for (std::size_t p = 0; p < plannedSlabs_.size(); ++p) {
      if (plannedHeld_[p]) continue;
      const std::size_t vertexTexels = std::max(plannedSlabs_[p].first, chunk.vertexTexels);
      const std::size_t tetTexels = std::max(plannedSlabs_[p].second, chunk.tetTexels);
      const std::size_t s = newSlab(vertexTexels, tetTexels);
      Slab& slab = *slabs_[s];
      if (!slab.vertices.reserve(vertexTexels) || !slab.tets.reserve(tetTexels)) {
        releaseSlab(slab);
        break;
      }
      slab.planned = int(p);
      plannedHeld_[p] = 1;
      return placeIn(s);
    }
  }
  // A slab of its own, just its size: an irregular chunk (which no builder makes), one past the
  // plan, and every chunk read on demand while the dataset does not share.
  return placeIn(newSlab(chunk.vertexTexels, chunk.tetTexels));
}

void ComputeExtraction::clearChunks() {
  chunks_.clear();
  lastGatherRequest_.clear();
  for (auto& slab : slabs_) releaseSlab(*slab);
  slabs_.clear();
  plannedSlabs_.clear();
  plannedHeld_.clear();
  usedBatches_ = 0;
}

void ComputeExtraction::planBatches(const std::vector<ChunkSpan>& spans,
                                    std::vector<std::pair<std::size_t, std::size_t>>& batchSpans,
                                    std::vector<std::size_t>& batchPrimitives) const {
  // Spans go into batches in order; a batch holds a primitive for every slot of its spans.
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const ChunkSpan& s = spans[i];
    if (!s.drawn()) continue;
    const std::size_t primitives = std::size_t(s.rowEnd - s.rowMin) * std::size_t(columns_);
    if (batchSpans.empty() || batchPrimitives.back() + primitives > maxBatchPrimitives()) {
      batchSpans.push_back({i, i + 1});
      batchPrimitives.push_back(0);
    }
    batchSpans.back().second = i + 1;
    batchPrimitives.back() += primitives;
  }
}

std::size_t ComputeExtraction::grownCapacity(std::size_t capacity, std::size_t primitives) {
  // Grows by half again, so that a slider drag settles after a few allocations.
  return capacity >= primitives ? capacity
                                : std::min(std::max(primitives, capacity + capacity / 2), maxBatchPrimitives());
}

std::size_t ComputeExtraction::outputBytesFor(const std::vector<ChunkSpan>& spans) const {
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans;
  std::vector<std::size_t> batchPrimitives;
  planBatches(spans, batchSpans, batchPrimitives);
  // The dispatch tables: a span record and a group record per 64 slots, or what they hold now.
  std::size_t spanRecords = 0, groupRecords = 0;
  for (const ChunkSpan& s : spans)
    if (s.drawn() && s.rowEnd > s.rowMin) {
      const std::size_t slots = std::size_t(s.rowEnd - s.rowMin) * std::size_t(columns_);
      ++spanRecords;
      groupRecords += (slots + kGroupSize - 1) / kGroupSize;
    }
  constexpr std::size_t kRecordBytes = 4 * sizeof(GLuint);
  std::size_t bytes = std::max(TexelArena::bufferBytes(spanRecords * kRecordBytes), tableBytes_[0]) +
                      std::max(TexelArena::bufferBytes(groupRecords * kRecordBytes), tableBytes_[1]);
  std::size_t largest = patternPrimitives_;
  for (std::size_t b = 0; b < std::max(batches_.size(), batchPrimitives.size()); ++b) {
    const std::size_t held = b < batches_.size() ? batches_[b].capacity : 0;
    const std::size_t capacity = b < batchPrimitives.size() ? grownCapacity(held, batchPrimitives[b]) : held;
    bytes += capacity * kBytesPerPrimitive + kCommandBytes;
    largest = std::max(largest, capacity);
  }
  return bytes + largest * kPatternBytesPerPrimitive;
}

void ComputeExtraction::prepareOutputs(const std::vector<ChunkSpan>& spans) {
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans;
  std::vector<std::size_t> batchPrimitives;
  planBatches(spans, batchSpans, batchPrimitives);
  for (std::size_t b = 0; b < batchPrimitives.size(); ++b)
    if (!ensureBatch(int(b), batchPrimitives[b])) break;
}

bool ComputeExtraction::ensureBatch(int index, std::size_t primitives) {
  while (int(batches_.size()) <= index) batches_.push_back(Batch());
  Batch& b = batches_[std::size_t(index)];
  if (!b.command) {
    glGenBuffers(1, &b.command);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, b.command);
    glBufferData(GL_DRAW_INDIRECT_BUFFER, kCommandBytes, freshCommands(nullptr).data(), GL_DYNAMIC_DRAW);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
  }
  if (b.capacity < primitives) {
    const std::size_t capacity = grownCapacity(b.capacity, primitives);
    if (!b.surface) glGenBuffers(1, &b.surface);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, b.surface);
    glBufferData(GL_SHADER_STORAGE_BUFFER, GLsizeiptr(capacity * kBytesPerPrimitive), nullptr, GL_DYNAMIC_DRAW);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
    b.capacity = capacity;
  }
  return ensurePattern(b.capacity) && b.capacity >= primitives;
}

bool ComputeExtraction::ensurePattern(std::size_t primitives) {
  if (patternPrimitives_ >= primitives) return true;
  std::vector<GLuint> indices(6 * primitives);
  for (std::size_t p = 0; p < primitives; ++p) {
    const GLuint v = GLuint(4 * p);
    const GLuint pattern[6] = {v, v + 1, v + 2, v, v + 2, v + 3};
    std::copy_n(pattern, 6, &indices[6 * p]);
  }
  if (!pattern_) glGenBuffers(1, &pattern_);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, pattern_);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size() * sizeof(GLuint)), indices.data(), GL_STATIC_DRAW);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  patternPrimitives_ = primitives;
  return true;
}

void ComputeExtraction::uploadTables(const void* spans, std::size_t spanBytes, const void* groups, std::size_t groupBytes) {
  if (!spanBuffer_) {
    glGenBuffers(1, &spanBuffer_);
    glGenBuffers(1, &groupBuffer_);
    glGenTextures(1, &spanTexture_);
    glGenTextures(1, &groupTexture_);
  }
  const struct {
    GLuint buffer, texture;
    GLenum format;
    const void* data;
    std::size_t bytes;
  } tables[2] = {{spanBuffer_, spanTexture_, GL_RGBA32UI, spans, spanBytes},
                 {groupBuffer_, groupTexture_, GL_RGBA32UI, groups, groupBytes}};
  // Each table's buffer grows to what it must hold (padded, see TexelArena::bufferBytes), and is
  // written in place from then on.
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& t = tables[i];
    glBindBuffer(GL_TEXTURE_BUFFER, t.buffer);
    if (tableBytes_[i] < t.bytes) {
      tableBytes_[i] = TexelArena::bufferBytes(t.bytes);
      glBufferData(GL_TEXTURE_BUFFER, GLsizeiptr(tableBytes_[i]), nullptr, GL_STREAM_DRAW);
      glBindTexture(GL_TEXTURE_BUFFER, t.texture);
      glTexBuffer(GL_TEXTURE_BUFFER, t.format, t.buffer); // the new data store
      glBindTexture(GL_TEXTURE_BUFFER, 0);
    }
    glBufferSubData(GL_TEXTURE_BUFFER, 0, GLsizeiptr(t.bytes), t.data);
    glBindBuffer(GL_TEXTURE_BUFFER, 0);
  }
}

void ComputeExtraction::bindTables() const {
  glActiveTexture(GL_TEXTURE2);
  glBindTexture(GL_TEXTURE_BUFFER, spanTexture_);
  glActiveTexture(GL_TEXTURE3);
  glBindTexture(GL_TEXTURE_BUFFER, groupTexture_);
  glActiveTexture(GL_TEXTURE0);
}

void ComputeExtraction::unbindInputs() const {
  for (GLenum unit : {GL_TEXTURE3, GL_TEXTURE2, GL_TEXTURE1, GL_TEXTURE0}) {
    glActiveTexture(unit);
    glBindTexture(GL_TEXTURE_BUFFER, 0);
  }
}

void ComputeExtraction::extract(const Dataset&, const std::vector<ChunkSpan>& spans, float iso, bool flatNormals,
                                const PartHook& partDone) {
  usedBatches_ = 0;
  if (!ready()) return;
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans; // [first, end) of spans
  std::vector<std::size_t> batchPrimitives;
  planBatches(spans, batchSpans, batchPrimitives);

  // One dispatch per batch and slab (split where it would pass the work group count a dispatch may
  // have): every work group finds its span, and every span its chunk's data, in the tables.
  struct Dispatch {
    std::size_t batch;
    int slab;
    bool regular; // its chunks' form, one per program
    GLuint firstGroup, groups;
  };
  std::vector<Dispatch> dispatches;
  std::vector<GLuint>& spanTable = spanScratch_;
  std::vector<GLuint>& groupTable = groupScratch_;
  spanTable.clear();
  groupTable.clear();
  // (slab and form as one key: slab · 2 + regular, span) of one batch
  std::vector<std::pair<int, std::size_t>> bySlab;
  for (std::size_t b = 0; b < batchSpans.size(); ++b) {
    bySlab.clear();
    for (std::size_t i = batchSpans[b].first; i < batchSpans[b].second; ++i) {
      const ChunkSpan& s = spans[i];
      if (!s.drawn() || s.chunk < 0 || std::size_t(s.chunk) >= chunks_.size()) continue;
      const Chunk& chunk = chunks_[std::size_t(s.chunk)];
      if (chunk.slab >= 0) bySlab.push_back({2 * chunk.slab + (chunk.regular ? 1 : 0), i});
    }
    std::stable_sort(bySlab.begin(), bySlab.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (std::size_t j = 0; j < bySlab.size();) {
      const int key = bySlab[j].first;
      const GLuint firstGroup = GLuint(groupTable.size() / 4);
      for (; j < bySlab.size() && bySlab[j].first == key; ++j) {
        const ChunkSpan& s = spans[bySlab[j].second];
        const Chunk& chunk = chunks_[std::size_t(s.chunk)];
        const int first = s.rowMin * columns_;
        const int count = std::min(s.rowEnd * columns_, chunk.slotCount) - first;
        if (count <= 0) continue;
        const GLuint span = GLuint(spanTable.size() / 4);
        const std::size_t texelsPerSlot = chunk.regular ? 1 : 2;
        const GLuint record[4] = {GLuint(chunk.tetFirst + texelsPerSlot * std::size_t(first)), GLuint(chunk.vertexFirst),
                                  GLuint(s.chunk) << 15 | GLuint(first), GLuint(count)};
        spanTable.insert(spanTable.end(), record, record + 4);
        // (span, first slot, region and its bounds below); a span has at most 256 · 128 slots, so the
        // slot leaves the high 16 bits of its word to the region.
        for (int g = 0; g < count; g += kGroupSize) groupTable.insert(groupTable.end(), {span, GLuint(g), 0, 0});
      }
      const GLuint groups = GLuint(groupTable.size() / 4) - firstGroup;
      for (GLuint done = 0; done < groups; done += kMaxGroupsPerDispatch)
        dispatches.push_back({b, key / 2, key % 2 == 1, firstGroup + done, std::min(groups - done, kMaxGroupsPerDispatch)});
    }
  }
  // Each dispatch's work groups are cut into kRegions parts in order; part k appends to region k of
  // its batch, which holds a primitive for every slot of those groups. A group's record names its
  // region and where the region's indices begin and end.
  std::vector<std::array<GLuint, kRegions + 1>> regionBounds(batchSpans.size()); // each one's first index, then the end
  for (const Dispatch& d : dispatches)
    for (GLuint i = 0; i < d.groups; ++i) {
      const GLuint* group = &groupTable[4 * std::size_t(d.firstGroup + i)];
      const GLuint slots = std::min<GLuint>(kGroupSize, spanTable[4 * group[0] + 3] - group[1]);
      regionBounds[d.batch][i * kRegions / d.groups + 1] += 6 * slots;
    }
  for (auto& bounds : regionBounds) std::partial_sum(bounds.begin(), bounds.end(), bounds.begin());
  for (const Dispatch& d : dispatches)
    for (GLuint i = 0; i < d.groups; ++i) {
      GLuint* group = &groupTable[4 * std::size_t(d.firstGroup + i)];
      const GLuint region = i * kRegions / d.groups;
      group[1] |= region << 16;
      group[2] = regionBounds[d.batch][region];
      group[3] = regionBounds[d.batch][region + 1];
    }
  if (!groupTable.empty())
    uploadTables(spanTable.data(), spanTable.size() * sizeof(GLuint), groupTable.data(), groupTable.size() * sizeof(GLuint));

  const GLuint* programs = &programs_[flatNormals ? 1 : 0]; // [0] irregular, [2] regular
  GLint groupBase[3] = {-1, -1, -1};
  for (int form : {0, 2}) {
    glUseProgram(programs[form]);
    glUniform1f(glGetUniformLocation(programs[form], "Iso"), iso);
    groupBase[form] = glGetUniformLocation(programs[form], "GroupBase");
  }
  bindTables();
  std::size_t next = 0; // the next dispatch
  for (std::size_t b = 0; b < batchSpans.size(); ++b) {
    if (!ensureBatch(int(b), batchPrimitives[b])) break;
    const Batch& batch = batches_[b];
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, batch.command);
    const Commands fresh = freshCommands(regionBounds[b].data());
    glBufferSubData(GL_DRAW_INDIRECT_BUFFER, 0, kCommandBytes, fresh.data());
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, batch.surface);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, batch.command);
    usedBatches_ = int(b) + 1;
    if (b == 0 && partDone) partDone(ExtractionPart::Setup);
    for (; next < dispatches.size() && dispatches[next].batch == b; ++next) {
      const Dispatch& d = dispatches[next];
      const Slab& slab = *slabs_[std::size_t(d.slab)];
      const int form = d.regular ? 2 : 0;
      glUseProgram(programs[form]);
      glActiveTexture(GL_TEXTURE0);
      glBindTexture(GL_TEXTURE_BUFFER, slab.vertices.texture());
      glActiveTexture(GL_TEXTURE1);
      glBindTexture(GL_TEXTURE_BUFFER, slab.tets.texture());
      glUniform1i(groupBase[form], GLint(d.firstGroup));
      glDispatchCompute(d.groups, 1, 1);
    }
  }
  unbindInputs();
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, 0);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, 0);
  glUseProgram(0);
  // The vertex array and the draw command are read after the shader's writes.
  glMemoryBarrier(GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT | GL_COMMAND_BARRIER_BIT | GL_BUFFER_UPDATE_BARRIER_BIT);
  if (partDone) partDone(ExtractionPart::Marching);
}

namespace {

// Whether a primitive of four vertices is a triangle: its fourth vertex repeats its third
// (position, weight and normal; the normal's w is written for the first vertex only).
bool isTriangle(const float* primitive) {
  constexpr int n = ComputeExtraction::kFloatsPerVertex;
  return std::memcmp(primitive + 2 * n, primitive + 3 * n, (n - 1) * sizeof(float)) == 0;
}

} // namespace

void ComputeExtraction::bindForDrawing(const Batch& b) const {
  glBindBuffer(GL_ARRAY_BUFFER, b.surface);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(4, GL_FLOAT, GLsizei(kBytesPerVertex), nullptr);
  glClientActiveTexture(GL_TEXTURE0);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glTexCoordPointer(4, GL_FLOAT, GLsizei(kBytesPerVertex), reinterpret_cast<const void*>(4 * sizeof(float)));
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, pattern_);
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
    glMultiDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT, nullptr, kRegions,
                                GLsizei(kCommandWords * sizeof(GLuint)));
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    unbindForDrawing();
  }
}

void ComputeExtraction::drawRange(int batch, int first, int count) const {
  if (batch < 0 || batch >= usedBatches_ || first < 0 || count <= 0) return;
  bindForDrawing(batches_[std::size_t(batch)]);
  glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_INT, reinterpret_cast<const void*>(std::size_t(first) * sizeof(GLuint)));
  unbindForDrawing();
}

void ComputeExtraction::collectPrimitives(const std::vector<ChunkSpan>&, std::vector<PrimitiveRecord*>& out) {
  MemoryPool& pool = MemoryPool::shared();
  constexpr std::size_t stride = 4 * kFloatsPerVertex;
  std::vector<float> v;
  for (int b = 0; b < usedBatches_; ++b)
    for (const PrimitiveRange& range : usedRanges(b)) {
      v.clear();
      readRange(b, range, v);
      for (std::size_t p = 0; p < range.count; ++p) {
        const float* first = &v[p * stride];
        for (int t = 0; t < (isTriangle(first) ? 1 : 2); ++t) { // both triangles start at vertex 0
          void* item = pool.allocate(sizeof(PrimitiveRecord));
          if (!item) return; // the pool is full: no more records (its warning was printed)
          auto* r = static_cast<PrimitiveRecord*>(item);
          const std::size_t firstIndex = 6 * (range.first + p) + 3 * std::size_t(t);
          *r = PrimitiveRecord{kBatchPrimitive | std::uint32_t(b), std::int32_t(firstIndex), first[0], first[1],
                               first[2]};
          out.push_back(r);
        }
      }
    }
}

void ComputeExtraction::drawPrimitive(const PrimitiveRecord& r) const {
  drawRange(int(r.id & ~kBatchPrimitive), r.firstVertex, 3);
}

std::vector<ComputeExtraction::PrimitiveRange> ComputeExtraction::usedRanges(int batch) const {
  std::vector<PrimitiveRange> ranges;
  if (batch < 0 || batch >= usedBatches_) return ranges;
  const Batch& b = batches_[std::size_t(batch)];
  Commands commands{};
  glBindBuffer(GL_DRAW_INDIRECT_BUFFER, b.command);
  glGetBufferSubData(GL_DRAW_INDIRECT_BUFFER, 0, kCommandBytes, commands.data());
  glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
  for (int r = 0; r < kRegions; ++r) {
    const GLuint* c = &commands[std::size_t(r) * kCommandWords];
    const std::size_t first = std::min<std::size_t>(c[2] / 6, b.capacity);
    const std::size_t count = std::min<std::size_t>(c[0] / 6, b.capacity - first);
    if (count > 0) ranges.push_back({first, count});
  }
  return ranges;
}

void ComputeExtraction::readRange(int batch, const PrimitiveRange& range, std::vector<float>& out) const {
  constexpr std::size_t stride = 4 * kFloatsPerVertex;
  const std::size_t at = out.size();
  out.resize(at + range.count * stride);
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, batches_[std::size_t(batch)].surface);
  glGetBufferSubData(GL_SHADER_STORAGE_BUFFER, GLintptr(range.first * kBytesPerPrimitive),
                     GLsizeiptr(range.count * kBytesPerPrimitive), &out[at]);
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
}

std::uint32_t ComputeExtraction::primitiveCount(int batch) const {
  std::size_t count = 0;
  for (const PrimitiveRange& range : usedRanges(batch)) count += range.count;
  return std::uint32_t(count);
}

std::vector<float> ComputeExtraction::readPrimitives(int batch) const {
  std::vector<float> out;
  for (const PrimitiveRange& range : usedRanges(batch)) readRange(batch, range, out);
  return out;
}

std::vector<float> ComputeExtraction::readVertices(int batch) const {
  const std::vector<float> primitives = readPrimitives(batch);
  constexpr std::size_t n = kFloatsPerVertex;
  std::vector<float> out;
  out.reserve(primitives.size() / 4 * 6);
  for (std::size_t p = 0; p < primitives.size(); p += 4 * n) {
    static const std::size_t order[6] = {0, 1, 2, 0, 2, 3}; // as the index buffer draws them
    const float* v = &primitives[p];
    for (int i = 0; i < (isTriangle(v) ? 3 : 6); ++i) {
      out.insert(out.end(), v + order[i] * n, v + (order[i] + 1) * n);
      out.back() = v[n - 1]; // the slot id, from the first vertex
    }
  }
  return out;
}

std::size_t ComputeExtraction::chunkStorageBytes() const {
  std::size_t bytes = 0;
  for (const auto& slab : slabs_) bytes += slab->vertices.capacityBytes() + slab->tets.capacityBytes();
  return bytes;
}

std::size_t ComputeExtraction::graphicsBytes() const {
  std::size_t bytes = patternPrimitives_ * kPatternBytesPerPrimitive;
  bytes += chunkStorageBytes() + tableBytes_[0] + tableBytes_[1];
  for (const Batch& b : batches_) bytes += b.capacity * kBytesPerPrimitive + (b.command ? kCommandBytes : 0);
  return bytes;
}

void ComputeExtraction::release() {
  clearChunks();
  for (Batch& b : batches_) {
    glDeleteBuffers(1, &b.surface);
    glDeleteBuffers(1, &b.command);
  }
  batches_.clear();
  if (pattern_) glDeleteBuffers(1, &pattern_);
  pattern_ = 0;
  const GLuint tables[2] = {spanBuffer_, groupBuffer_}, tableTextures[2] = {spanTexture_, groupTexture_};
  glDeleteBuffers(2, tables);
  glDeleteTextures(2, tableTextures);
  spanBuffer_ = groupBuffer_ = spanTexture_ = groupTexture_ = 0;
  tableBytes_[0] = tableBytes_[1] = 0;
  patternPrimitives_ = 0;
  for (GLuint& p : programs_) {
    if (p) glDeleteProgram(p);
    p = 0;
  }
}
