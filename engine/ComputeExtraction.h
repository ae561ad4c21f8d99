// The compute back end of the extraction: marching tetrahedra in one OpenGL 4.3 compute pass over
// the tetrahedron slots of the active rows, as the interval trees select them. Every crossing
// tetrahedron appends its triangles (one, or two for a quad) through an atomic add straight into
// the vertex buffer the surface is drawn from: no full-screen passes, no copies, nothing through
// the host. Its arithmetic is that of the fragment passes, so both draw the same surface.
//
// Chunk data, derived at load from the cache's arrays (the file format is unchanged), in slabs:
// buffer textures that hold many chunks each, so that one dispatch per slab runs the active rows
// of all its chunks, finding each work group's span and each span's chunk in two small tables.
// Chunks share slabs, each allocated once, when its first chunk comes, at the size the chunk index
// gives the chunks planned for it, and given back when its last chunk goes. Read on demand, chunks
// share while the whole index fits the budget; else each gets a slab of its own, just its size, whose
// memory goes with it when it is evicted, and the chunks an isovalue wanted are then gathered into
// slabs they share (see gather). An irregular chunk always gets one of its own.
//   - vertices: two RGBA32F texels per vertex (position and value, gradient and value), only the
//     vertices the chunk's tetrahedra use, renumbered in the order the tetrahedron slots first use
//     them, so that the pass reads them nearly in order;
//   - tetrahedra, one of two forms per chunk, for the tetrahedron slots of the rows the row
//     intervals cover:
//     - regular (every chunk a builder makes): one RGBA32UI texel per slot, its corners A..D
//       (ascending value) as renumbered vertices, (A | B << 16, C | D << 16), then the values at
//       the two ends of the slot's classification edge as float bits (read here, so the pass
//       fetches no vertex for them). A chunk is regular when each slot's six edges join its four
//       corners, each from its lower-valued end, or when all six are edges the interpolation pass
//       does not fill (a slot past the last tetrahedron), which never cross: those slots' corners
//       are a sentinel vertex of value +inf after the chunk's own. The pass then fetches each
//       corner once, where the edges fetch it three times.
//     - irregular (anything else a file may hold): two RGBA32UI texels per slot, six edges, each
//       as the (renumbered) vertices of its two ends (lower-valued end in the low 16 bits), (AB,
//       AC, AD, BC) and (BD, CD), then the classification values as above. An edge index that
//       the interpolation pass would not fill with an edge of the right half (a row at or past
//       rowCount1, or the left half, which no builder-made layout refers to for a tetrahedron)
//       reads as not crossing: the passes read a cleared texel there, or for the left half the
//       classification edge of whatever row the span makes active.
//   Both forms give the same vertices bit for bit; a chunk's slab and form pick the dispatch and
//   the program.
// Output: batches of at most 128 MiB (the largest storage buffer llvmpipe binds), each a vertex
// buffer of primitives, four vertices each (a triangle repeats its third), two vec4 per vertex
// (position with the weight in w; normal, for the first vertex with the slot's id chunk·2^15 + slot
// as bits in w, for the others with w not written). A batch is cut into 16 regions, one drawn by
// each of its 16 indexed indirect draw commands (one multi-draw), whose counts the atomic adds
// grow: each dispatch's work groups are cut into 16 parts in order, and each part appends to its
// own region, sized for its slots, so that llvmpipe's threads, which each take a contiguous part
// of the groups, neither contend for one count nor write next to each other. One fixed index
// buffer, shared by the batches, draws primitive p as (4p, 4p+1, 4p+2) and (4p, 4p+2, 4p+3); for
// a triangle the second has no area. Four vertices per primitive cost a third fewer storage-buffer
// writes than a quad's six, and on llvmpipe those writes are most of the pass. Batches are pooled
// and grow on demand. Everything needs the engine's context current.
#pragma once

#include "Extractor.h"
#include "PolykitGL.h"
#include "TexelArena.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct ChunkData;

class ComputeExtraction : public Extractor {
public:
  // portable: always the pass without 64-bit words and subgroup ballots, as on a context that lacks
  // them (for the tests and the benchmark; both forms write the same vertices).
  // slabTexels: the most texels an arena of chunk data holds (0: what the context allows, at most
  // 64 MiB; the tests give less, so that datasets spread over several).
  ComputeExtraction(int textureWidth, int textureHeight, bool portable = false, std::size_t slabTexels = 0);
  ~ComputeExtraction() override;
  ComputeExtraction(const ComputeExtraction&) = delete;
  ComputeExtraction& operator=(const ComputeExtraction&) = delete;

  // Whether the current context offers compute shaders, storage buffers, buffer textures and
  // indirect draws.
  static bool supported();
  // Compiles the two programs (smooth and flat normals) and runs each once on nothing, so that the
  // driver's compilation at first use is paid here. False after an error line.
  bool initialize();
  bool ready() const { return programs_[0] && programs_[1] && programs_[2] && programs_[3]; }
  // Whether the programs write 64-bit words and take one atomic per subgroup
  // (GL_ARB_gpu_shader_int64 and GL_ARB_shader_ballot), after initialize.
  bool subgroups() const { return subgroups_; }

  ExtractionBackend kind() const override { return ExtractionBackend::Compute; }
  // No chunk textures: each complete chunk is derived into the buffers below.
  Dataset::Upload chunkUpload(bool onDemand) override;
  // A chunk's buffers as derived from its arrays, before they go into a slab.
  struct DerivedChunk : PreparedChunk {
    std::vector<std::uint32_t> tets; // per tetrahedron slot, one texel (regular) or two
    std::vector<float> vertices;     // two texels per vertex
    std::size_t slotCount = 0; // rows · W/2
    bool regular = false;
    bool usable = false; // false for arrays of another size than all W·H of a 256 × 256 cache
    std::vector<std::uint32_t> renumbered, original; // the vertex numbering, kept from chunk to chunk
  };
  // Derives a chunk's buffers from its arrays. Reads nothing but the chunk size, so that the threads
  // that read chunks derive them while this one uploads (its arrays are kept from chunk to chunk).
  void derive(const ChunkData& data, DerivedChunk& out) const;
  // Uploads a derived chunk as chunk k, in place of what chunk k held. False (and nothing held) for
  // one that is not usable, or does not fit.
  bool setDerived(int k, const DerivedChunk& derived);
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
  // One record per triangle with an area (a primitive's second triangle only for a quad):
  // kBatchPrimitive | batch as its id, its first index, and its first vertex's position.
  void collectPrimitives(const std::vector<ChunkSpan>& spans, std::vector<PrimitiveRecord*>& out) override;
  void drawPrimitive(const PrimitiveRecord& record) const override;
  // Draws count indices from first of one batch.
  void drawRange(int batch, int first, int count) const;

  int batchCount() const { return usedBatches_; }
  // The primitives a batch holds after the last extraction (a read of its draw commands).
  std::uint32_t primitiveCount(int batch) const;
  // Where they lie: a batch's output is cut into regions, each filled from its start, in order
  // (primitive p is drawn from index 6p).
  struct PrimitiveRange {
    std::size_t first, count; // primitives
  };
  std::vector<PrimitiveRange> usedRanges(int batch) const;
  // A batch's primitives as written, its ranges one after the other: four vertices of eight floats
  // each (the last float of the second to fourth vertex is whatever the buffer held).
  std::vector<float> readPrimitives(int batch) const;
  // A batch's triangles as drawn, those with an area: three vertices each of eight floats
  // (position with weight, normal with slot id), a quad's two triangles one after the other.
  std::vector<float> readVertices(int batch) const;

  // Graphics memory of the chunks' slabs (with what a shared one holds spare).
  std::size_t chunkStorageBytes() const;
  // Slabs that hold memory now.
  int slabCount() const;
  // Graphics memory of the chunk buffers and the output batches.
  std::size_t graphicsBytes() const override;
  std::size_t outputBytesFor(const std::vector<ChunkSpan>& spans) const override;
  // Grows the output batches to what the spans may append (a new batch is cleared by the driver,
  // which at tens of millions of tetrahedra takes as long as reading the chunks).
  void prepareOutputs(const std::vector<ChunkSpan>& spans) override;
  // Gives back every OpenGL object; needs the context current.
  void release() override;

  // Top bit of a record's id from collectPrimitives (the rest is the batch).
  static constexpr std::uint32_t kBatchPrimitive = 0x80000000u;

  // Floats per output vertex, and primitives per batch at most.
  static constexpr int kFloatsPerVertex = 8;
  static std::size_t maxBatchPrimitives();

private:
  struct Chunk {
    int slab = -1;          // where its data lies (-1: nothing held)
    std::size_t vertexFirst = 0, vertexTexels = 0, tetFirst = 0, tetTexels = 0;
    int slotCount = 0;      // tetrahedron slots uploaded (rows · W/2)
    bool regular = false;   // in the regular form: one texel per slot
  };
  // Arenas of the chunks' vertices and tetrahedra: one dispatch reaches all chunks of a slab.
  static constexpr int kOwn = -1, kGathered = -2;
  struct Slab {
    TexelArena vertices, tets;
    // Its index in the plan, for a shared slab; kOwn for a chunk's own; kGathered (see gather).
    int planned = kOwn;
    Slab(std::size_t vertexTexels, std::size_t tetTexels)
        : vertices(GL_RGBA32F, 16, vertexTexels), tets(GL_RGBA32UI, 16, tetTexels) {}
  };
  // Plans the shared slabs from the shapes of the chunks in the index, as slab sizes (vertex and
  // tetrahedron texels): each slab is then allocated once, at its size, and never grows.
  void planSlabs(const std::vector<ChunkShape>& shapes);
  // Gives a slab's memory back; its place in slabs_ is then free.
  void releaseSlab(Slab& slab);
  // The graphics memory of the chunks held, and of the planned slabs not held at their planned
  // size: what shared slabs hold at most once every chunk of the index is resident.
  std::size_t sharedBytes() const;
  // Drops every chunk; the chunks set after this share slabs, or get one each.
  void shareSlabs(bool share);
  // Moves the given regular chunks that sit in slabs of their own and were given the time before
  // too (a chunk a slider passes by once is not worth its copy), when there are kGatherAtLeast of
  // them, into slabs they share: in order, as many per slab as its limit holds and spareBytes
  // (memory beside what is held) allows while both copies exist; their own slabs go. One dispatch
  // then reaches them all. A gathered slab never grows: chunks evicted from it leave room that
  // chunks read later take, and its memory goes with its last chunk. Returns the chunks moved.
  std::vector<int> gather(const std::vector<int>& chunks, std::size_t spareBytes);
  static constexpr std::size_t kGatherAtLeast = 4;
  // Moves regular chunks in slabs of their own into the room that evicted chunks left in gathered
  // slabs, where they fit; their own slabs go. Returns the chunks moved.
  std::vector<int> fillGatheredRoom();
  // Whether a chunk is a regular one in a slab of its own, as gathering takes them.
  bool inOwnSlab(const Chunk& c) const;
  // Copies such a chunk into slab `into` where it fits there, and gives its own slab back.
  bool moveOwnChunk(Chunk& c, std::size_t into);
  std::vector<int> lastGatherRequest_; // the chunks gather was given the time before
  // The slabs' limit in texels, each of its two arenas.
  std::size_t slabTexels() const;
  // A new slab in the first free place of slabs_; its index.
  std::size_t newSlab(std::size_t vertexTexels, std::size_t tetTexels);
  // Stores a chunk's vertex and tetrahedron texels (their counts set) in a slab and notes where;
  // false where it does not fit in an empty one.
  bool place(Chunk& chunk, const void* vertices, const void* tets);
  struct Batch {
    GLuint surface = 0;     // storage buffer and vertex array
    GLuint command = 0;     // indirect draw command {count, 1, 0, 0, 0}
    std::size_t capacity = 0; // primitives
  };
  bool ensureBatch(int index, std::size_t primitives);
  // Appends a range's primitives as written (four vertices of eight floats each).
  void readRange(int batch, const PrimitiveRange& range, std::vector<float>& out) const;
  // The fixed index buffer, for this many primitives at least.
  bool ensurePattern(std::size_t primitives);
  // The drawn spans in batches, in order: [first, end) of spans and the primitives each may append.
  void planBatches(const std::vector<ChunkSpan>& spans, std::vector<std::pair<std::size_t, std::size_t>>& batchSpans,
                   std::vector<std::size_t>& batchPrimitives) const;
  // A batch's capacity once it holds primitives.
  static std::size_t grownCapacity(std::size_t capacity, std::size_t primitives);
  void bindForDrawing(const Batch& b) const;
  // The dispatch tables on the units the programs read them from (2 and 3); and no buffer texture
  // on units 0 to 3, unit 0 active.
  void bindTables() const;
  void unbindInputs() const;
  void uploadTables(const void* spans, std::size_t spanBytes, const void* groups, std::size_t groupBytes);
  void unbindForDrawing() const;

  bool subgroups_ = false;
  bool sharedSlabs_ = true; // regular chunks share slabs (see shareSlabs)
  GLuint programs_[4] = {0, 0, 0, 0}; // smooth, flat; then both for regular chunks
  std::vector<Chunk> chunks_;
  std::vector<std::unique_ptr<Slab>> slabs_;
  std::vector<std::pair<std::size_t, std::size_t>> plannedSlabs_; // texels of each planned slab, from planSlabs
  std::vector<char> plannedHeld_;   // by planned slab: whether a slab holds its place now
  // The dispatch tables: per span (first tetrahedron texel, first vertex texel, id of its first
  // slot, slots), per work group (span, first slot in the span with its region, the region's bounds).
  GLuint spanBuffer_ = 0, spanTexture_ = 0, groupBuffer_ = 0, groupTexture_ = 0;
  std::vector<Batch> batches_;
  int usedBatches_ = 0;
  GLuint pattern_ = 0;               // the fixed index buffer
  std::size_t patternPrimitives_ = 0;
  const int width_, height_;    // the chunk textures' size
  const bool portable_;
  const std::size_t slabLimit_; // 0: the context's
  int columns_ = 128;           // tetrahedron slots per row (W/2)
  std::vector<GLuint> spanScratch_, groupScratch_; // the tables, kept from extraction to extraction
  std::size_t tableBytes_[2] = {0, 0}; // their buffers, spans and groups
};
