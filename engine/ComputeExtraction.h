// The compute back end of the extraction: marching tetrahedra in OpenGL 4.3 compute passes over
// the tetrahedron slots of the active rows, as the interval trees select them, writing straight into
// the buffers the surface is drawn from: no full-screen passes, no copies, nothing through the
// host. Its arithmetic is that of the fragment passes, so both draw the same surface.
//
// Edge-based, as the passes are: per span, an edge pass interpolates each crossing edge of the
// span's edge range once, into the surface vertex its tetrahedra share; an assembly pass appends
// each crossing tetrahedron's triangle or quad as indices of those vertices, through one atomic add
// per tetrahedron, and the surface is drawn indexed. Flat normals cannot be shared, so with them one
// pass appends every primitive's vertices whole, as a triangle list.
//
// Chunk data, derived at load from the cache's arrays (the file format is unchanged):
//   - vertex buffer: two RGBA32F texels per vertex slot (position and value, gradient and value),
//     only up to the highest slot the chunk's edges use;
//   - edge buffer: one RGBA32UI texel per edge of the right half's rows below rowCount1 (numbered
//     row · W/2 + column − W/2), up to the highest one a tetrahedron uses: its ends as vertex slots
//     (lower-valued end in the low 16 bits) and the two ends' values;
//   - tetrahedron buffer: one RGBA32UI texel per tetrahedron slot of the rows the row intervals
//     cover: its edges AB, AC, AD, BC, BD, CD as edge numbers, two to a word, and the
//     classification edge as the vertex slots of its ends. An edge index that the interpolation
//     pass would not fill (a row at or past rowCount1, or the left half, which no builder-made
//     layout refers to) is 0xFFFF and never crosses, as the cleared texel the passes read there;
//   - per tetrahedron row, the first and last edge its tetrahedra use: a span's edge range.
// Output: batches of at most 128 MiB per buffer (the largest storage buffer llvmpipe binds), each a
// vertex buffer with two vec4 per vertex (position with the weight in w; normal with the chunk's
// bits, or with flat normals the slot's id chunk·2^15 + slot as bits, in w), an index buffer, the
// slot id of every indexed triangle, and an indirect draw command whose count the atomic add grows.
// Batches are pooled and grow on demand. Everything needs the engine's context current.
#pragma once

#include "Extractor.h"
#include "PolykitGL.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct ChunkData;

class ComputeExtraction : public Extractor {
public:
  ComputeExtraction(int textureWidth, int textureHeight);
  ~ComputeExtraction() override;
  ComputeExtraction(const ComputeExtraction&) = delete;
  ComputeExtraction& operator=(const ComputeExtraction&) = delete;

  // Whether the current context offers compute shaders, storage buffers, buffer textures and
  // indirect draws.
  static bool supported();
  // Compiles the three programs (edge pass, assembly, flat normals) and runs each once on nothing,
  // so that the driver's compilation at first use is paid here. False after an error line.
  bool initialize();
  bool ready() const { return programs_[0].id != 0 && programs_[1].id != 0 && programs_[2].id != 0; }

  ExtractionBackend kind() const override { return ExtractionBackend::Compute; }
  // No chunk textures: each complete chunk is derived into the buffers below.
  Dataset::Upload chunkUpload() override;
  // Derives chunk k's buffers from its arrays (all W·H arrays of a 256 × 256 cache) and uploads
  // them, in place of what chunk k held. False (and nothing held) for arrays of another size.
  bool setChunk(int k, const ChunkData& data);
  // Gives chunk k's buffers back; its index stays.
  void dropChunk(int k);
  std::size_t chunkBytes(int k) const;
  void clearChunks() override;
  // Chunk indices up to the highest one set.
  int chunkCount() const { return int(chunks_.size()); }

  // Extracts the drawn spans at iso. partDone is told after the set-up and after the dispatches.
  void extract(const Dataset& dataset, const std::vector<ChunkSpan>& spans, float iso, bool flatNormals,
               const PartHook& partDone) override;
  // Draws the last surface as triangles (whatever the spans: the batches hold just that).
  void draw(const std::vector<ChunkSpan>& spans) const override;
  // One record per triangle: kBatchPrimitive | batch as its id, its first vertex as drawn (the
  // first of its three indices, or of its three vertices with flat normals), and that vertex's
  // position.
  void collectPrimitives(const std::vector<ChunkSpan>& spans, std::vector<PrimitiveRecord*>& out) override;
  void drawPrimitive(const PrimitiveRecord& record) const override;
  // Draws count vertices as drawn from first of one batch (indices, or vertices with flat normals).
  void drawRange(int batch, int first, int count) const;

  int batchCount() const { return usedBatches_; }
  // Whether the last extraction drew its batches indexed (smooth normals).
  bool indexed() const { return indexed_; }
  // The vertices a batch draws after the last extraction (a read of its draw command): indices, or
  // vertices with flat normals.
  std::uint32_t vertexCount(int batch) const;
  // A batch's triangles as drawn, vertex by vertex (an indexed batch read through its indices):
  // eight floats each, position with weight, normal with the slot id in w. A vertex whose index
  // lies outside what the extraction wrote reads as NaN.
  std::vector<float> readVertices(int batch) const;

  // Graphics memory of the chunk buffers and the output batches.
  std::size_t graphicsBytes() const override;
  // Before a chunk is resident its edge range is not known: its span may need a vertex for every
  // edge of the chunk's edge rows, or six per slot if fewer.
  std::size_t outputBytesFor(const Dataset& dataset, const std::vector<ChunkSpan>& spans, bool flatNormals) const override;
  // Grows the output batches to what the spans may write (a new batch is cleared by the driver,
  // which at tens of millions of tetrahedra takes as long as reading the chunks).
  void prepareOutputs(const Dataset& dataset, const std::vector<ChunkSpan>& spans, bool flatNormals) override;
  // Gives back every OpenGL object; needs the context current.
  void release() override;

  // Top bit of a record's id from collectPrimitives (the rest is the batch).
  static constexpr std::uint32_t kBatchPrimitive = 0x80000000u;

  // Floats per output vertex, and vertices and indices per batch at most.
  static constexpr int kFloatsPerVertex = 8;
  static std::size_t maxBatchVertices();
  static std::size_t maxBatchIndices();

private:
  struct Chunk {
    GLuint vertexBuffer = 0, vertexTexture = 0;
    GLuint edgeBuffer = 0, edgeTexture = 0;
    GLuint tetBuffer = 0, tetTexture = 0;
    int slotCount = 0;      // tetrahedron slots uploaded (rows · W/2)
    bool finite = true;     // every coordinate and value finite and below 1e30
    std::size_t bytes = 0;
    // Per tetrahedron row, the first and last edge its tetrahedra use (first > last: none).
    std::vector<std::uint16_t> rowEdges;
  };
  struct Batch {
    GLuint surface = 0;     // storage buffer and vertex array
    GLuint indices = 0;     // storage buffer and element array
    GLuint slotIds = 0;     // storage buffer: the slot id of every indexed triangle
    GLuint command = 0;     // indirect draw command {count, 1, 0, 0, 0}
    std::size_t vertexCapacity = 0, indexCapacity = 0;
    std::size_t vertices = 0; // vertices the last extraction laid out (indexed)
  };
  // What a span's extraction writes at most: vertices, and indices when indexed; and its edge range.
  struct SpanNeed {
    std::size_t vertices = 0, indices = 0;
    int firstEdge = 0, edgeCount = 0;
  };
  struct Program {
    GLuint id = 0;
    GLint iso = -1, chunkBits = -1, capacity = -1, first = -1, count = -1, vertexBase = -1, edgeBase = -1,
          finite = -1;
  };
  // With a dataset, the most a span of a chunk that is not resident may need.
  SpanNeed needOf(const ChunkSpan& span, bool flat, const Dataset* dataset = nullptr) const;
  bool ensureBatch(int index, const SpanNeed& need);
  // The drawn spans in batches, in order: [first, end) of spans and what each batch holds at most.
  void planBatches(const std::vector<ChunkSpan>& spans, bool flat, const Dataset* dataset,
                   std::vector<std::pair<std::size_t, std::size_t>>& batchSpans, std::vector<SpanNeed>& batchNeeds) const;
  // A buffer's capacity once it holds count items, limit at most.
  static std::size_t grownCapacity(std::size_t capacity, std::size_t count, std::size_t limit);
  static std::size_t batchBytes(std::size_t vertices, std::size_t indices);
  void bindForDrawing(const Batch& b) const;
  void unbindForDrawing() const;

  Program programs_[3]; // edge pass, assembly, flat normals
  std::vector<Chunk> chunks_;
  std::vector<Batch> batches_;
  int usedBatches_ = 0;
  bool indexed_ = true;
  const int width_, height_;    // the chunk textures' size
  int columns_ = 128;           // tetrahedron slots per row (W/2)
  // Host memory of the chunk being derived, kept from chunk to chunk of one load.
  std::vector<std::uint32_t> tetScratch_, edgeScratch_;
  std::vector<float> vertexScratch_;
};
