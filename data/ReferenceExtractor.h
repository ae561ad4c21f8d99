// CPU reference of the extraction: what the four fragment-program passes compute for one chunk of
// a cache at an isovalue, texel by texel, in single precision and in the layout of the GPU
// targets, and the surface those targets draw. It reads the chunk's arrays exactly as the cache
// stores them (ChunkData) and needs no OpenGL, so the GPU passes can be checked against it slot by
// slot, and the builder can check a cache it has written.
//
// Layout of every target array here: 4 floats per texel, rows from the bottom of the window (as
// glReadPixels returns them), W (or W/2) texels per row. The passes draw data row r of a chunk
// into window row H − 1 − r, so the tetrahedron in column c (0 ≤ c < W/2) and data row r appears
//   - in `indices` (W/2 × H) at texel (c, H − 1 − r): the global edge indices of its four vertices;
//   - in `positions[h]` and `normals[h]` (W × H), h = c / (W/4), at texels 4·(c mod W/4) + k,
//     k = 0..3, of window row H − 1 − r (outputTexel gives the float offset).
// `interpVertices` and `interpGradients` (W × H) hold the interpolated edges: the classification
// edge of the tetrahedron in (c, r) at (c, H − 1 − r), edge e of the right half at its own texel.
// Texels that a pass does not draw keep that target's clear value: (1, 1, 1, −1) for the
// interpolation and the output targets, (0, 0, 0, 0) for the indices.
//
// The w flag of an interpolated texel is the weight in [0, 1], or −1 when the isovalue is below
// the edge's lower end value, or −2 when it is above the higher one. A primitive is visible when
// the w of all four of its vertices is >= 0.
//
// Usage (the whole cache, as the opaque drawing shows it):
//   CacheData cache;  parseCacheFile(path, 256, 256, cache);
//   ReferenceSurface s;  referenceSurface(cache, 0.5f, s);   // s.triangles, s.area
// or per chunk, for comparing read-backs:
//   ReferenceExtractor ref(256, 256);
//   ReferenceChunkOutput out;
//   if (ref.extractChunk(cache.chunks[k], 0.5f, out)) compare out.positions[h] with the read-back.
#pragma once

#include "CacheFile.h"
#include "ChunkTextureSize.h"
#include "PkTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The span of data rows that the extraction processes in a chunk at an isovalue.
struct RowSpan {
  bool active = false;   // the chunk's interval [smallest low, largest high] holds the isovalue
  bool overLimit = false; // max(rowCount0, rowCount1) > H: the extraction stops ("mehr tets ?")
  int limit = 0;         // max(rowCount0, rowCount1)
  int matchingRows = 0;  // rows j with low_j <= iso <= high_j
  int rowMin = 0;        // smallest of limit and the matching rows
  int rowEnd = 0;        // 1 + the largest of 0 and the matching rows
  // Rows the passes run over, [first, end), clipped to [0, H). When no row matches, rowEnd (1) is
  // below rowMin (the limit) and the passes' quads, drawn upside down, still cover [rowEnd, rowMin).
  int first = 0;
  int end = 0;
  // Whether the opaque drawing draws the span (it draws (rowEnd − rowMin)·W vertices).
  bool drawn() const { return active && rowEnd > rowMin; }
  int rows() const { return end - first; }
};

// The engine's selection for one chunk: chunk interval test, row query, rowMin and rowEnd.
RowSpan chunkRowSpan(const float* intervals, std::size_t intervalCount, int rowCount0,
                     int rowCount1, int height, float iso);
RowSpan chunkRowSpan(const ChunkData& chunk, int height, float iso);

struct ReferenceOptions {
  bool flatShading = false; // normal gather takes the primitive's third vertex for all four
};

struct ReferenceChunkOutput {
  RowSpan span;
  std::vector<float> interpVertices;  // W × H: interpolation run 1 (vertex array)
  std::vector<float> interpGradients; // W × H: interpolation run 2 (second weights array)
  std::vector<float> indices;         // W/2 × H: triangle assembly
  std::vector<float> positions[2];    // W × H: output targets 0 and 1
  std::vector<float> normals[2];      // W × H: output targets 2 and 3
};

class ReferenceExtractor {
public:
  ReferenceExtractor(int textureWidth = kChunkTextureSide, int textureHeight = kChunkTextureSide);

  // Runs the four passes of one chunk at iso. False, with only out.span set, when the chunk is not
  // active at iso, when its row limit exceeds H, or when its arrays do not have 4·W·H elements.
  bool extractChunk(const ChunkData& chunk, float iso, ReferenceChunkOutput& out,
                    const ReferenceOptions& options = {}) const;

  // Float offset of vertex k (0..3) of the tetrahedron in column c, data row r, in its half's
  // position or normal array (the half is c / (W/4)).
  std::size_t outputTexel(int r, int c, int k) const;
  static int halfOf(int c, int width) { return c / (width / 4); }

  int width() const { return width_; }
  int height() const { return height_; }

private:
  int width_;
  int height_;
};

// The surface as triangles: every visible primitive of every drawn span, a quad (v0, v1, v2, v3)
// split into (v0, v1, v2) and (v0, v2, v3), leaving out the triangle that repeats an edge index
// (so a triangle primitive gives one triangle).
struct ReferenceSurface {
  std::vector<float> positions; // 9 floats per triangle
  std::vector<float> normals;   // 9 floats per triangle (the gathered gradients)
  std::size_t quads = 0;        // visible primitives with four distinct edges
  std::size_t triangles = 0;    // visible primitives with three
  std::size_t activeChunks = 0;
  std::size_t processedRows = 0;
  double area = 0.0;            // sum of the triangles' areas, in double precision

  std::size_t triangleCount() const { return positions.size() / 9; }
};

// The surface of a cache at iso, chunk by chunk in file order. False when a chunk's row limit
// exceeds H (the extraction would stop there) or a chunk's arrays have the wrong size.
bool referenceSurface(const CacheData& cache, float iso, ReferenceSurface& out,
                      const ReferenceOptions& options = {});
