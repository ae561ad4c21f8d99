#include "ReferenceExtractor.h"

#include "TriangleArea.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

const float kInterpClear[4] = {1.0f, 1.0f, 1.0f, -1.0f};

// Texel chosen by a nearest-filtered, clamped lookup at normalised coordinate u.
int nearestTexel(float u, int size) {
  const float t = std::floor(u * float(size));
  if (!(t >= 0.0f)) return 0;
  if (t >= float(size - 1)) return size - 1;
  return int(t);
}

void fillTexels(std::vector<float>& target, std::size_t texels, const float value[4]) {
  target.resize(4 * texels);
  for (std::size_t i = 0; i < texels; ++i)
    for (int k = 0; k < 4; ++k) target[4 * i + std::size_t(k)] = value[k];
}

// The interpolation program for one edge-map texel, reading `source` (vertex or weights array,
// W × H texels, data rows) and writing four floats to `result`.
void interpolateEdge(const std::uint8_t* e, const float* source, int width, int height, float iso,
                     float* result) {
  float coord[4];
  for (int k = 0; k < 4; ++k) coord[k] = (float(e[k]) / 255.0f) * 0.999f + 0.0005f;
  const float* lo = source + 4 * (std::size_t(nearestTexel(coord[1], height)) * std::size_t(width) +
                                  std::size_t(nearestTexel(coord[0], width)));
  const float* hi = source + 4 * (std::size_t(nearestTexel(coord[3], height)) * std::size_t(width) +
                                  std::size_t(nearestTexel(coord[2], width)));
  const float d = std::max(hi[3] - lo[3], 0.000001f);
  const float i = std::min(std::max((iso - lo[3]) / d, 0.0f), 1.0f);
  for (int k = 0; k < 4; ++k) result[k] = lo[k] + (hi[k] - lo[k]) * i;
  result[3] = i;
  if (iso > hi[3]) result[3] = -2.0f;
  if (iso < lo[3]) result[3] = -1.0f;
}

// The gather programs' lookup of global edge index `index` (already + 0.1) in a rendered W × H
// target (rows from the bottom).
const float* gatherTexel(const std::vector<float>& target, float index, int width, int height) {
  const float w = float(width);
  const float px = index - w * std::floor(index / w);
  const float py = float(height) - index * (1.0f / w);
  const int x = nearestTexel(px * (1.0f / w), width);
  const int y = nearestTexel(py * (1.0f / float(height)), height);
  return &target[4 * (std::size_t(y) * std::size_t(width) + std::size_t(x))];
}

const int kTwoTriangles[4] = {1, 2, 4, 3};
const int kSmallIso[4] = {0, 1, 2, 2};
const int kLargeIso[4] = {2, 2, 4, 5};

} // namespace

RowSpan chunkRowSpan(const float* intervals, std::size_t intervalCount, int rowCount0,
                     int rowCount1, int height, float iso) {
  RowSpan s;
  float low = FLT_MAX, high = -FLT_MAX;
  for (std::size_t j = 0; j < intervalCount; ++j) {
    if (intervals[2 * j] < low) low = intervals[2 * j];
    if (intervals[2 * j + 1] > high) high = intervals[2 * j + 1];
  }
  s.active = low <= iso && iso <= high;
  s.limit = std::max(rowCount0, rowCount1);
  s.overLimit = s.limit > height;
  if (!s.active) return s;
  int rowMin = s.limit, largest = 0;
  for (std::size_t j = 0; j < intervalCount; ++j)
    if (intervals[2 * j] <= iso && iso <= intervals[2 * j + 1]) {
      ++s.matchingRows;
      rowMin = std::min(rowMin, int(j));
      largest = std::max(largest, int(j));
    }
  s.rowMin = rowMin;
  s.rowEnd = 1 + largest;
  s.first = std::min(std::max(std::min(s.rowMin, s.rowEnd), 0), height);
  s.end = std::min(std::max(std::max(s.rowMin, s.rowEnd), 0), height);
  return s;
}

RowSpan chunkRowSpan(const ChunkData& chunk, int height, float iso) {
  return chunkRowSpan(chunk.intervals.data(), chunk.intervals.size() / 2, chunk.rowCount0,
                      chunk.rowCount1, height, iso);
}

ReferenceExtractor::ReferenceExtractor(int textureWidth, int textureHeight)
    : width_(textureWidth), height_(textureHeight) {}

std::size_t ReferenceExtractor::outputTexel(int r, int c, int k) const {
  const int quarter = width_ / 4;
  return 4 * (std::size_t(height_ - 1 - r) * std::size_t(width_) + std::size_t(4 * (c % quarter) + k));
}

bool ReferenceExtractor::extractChunk(const ChunkData& chunk, float iso, ReferenceChunkOutput& out,
                                      const ReferenceOptions& options) const {
  const int W = width_, H = height_;
  const std::size_t texels = std::size_t(W) * std::size_t(H);
  out.span = chunkRowSpan(chunk, H, iso);
  if (!out.span.active || out.span.overLimit) return false;
  if (chunk.vertexArray.size() != 4 * texels || chunk.weightArray.size() != 4 * texels ||
      chunk.edgeMap.size() != 4 * texels || chunk.tetMap.size() != 4 * texels)
    return false;
  const int first = out.span.first, end = out.span.end;
  const int edgeRows = std::min(std::max(chunk.rowCount1, 0), H);

  // Interpolation, run 1 on the vertex array, run 2 on the weights array: the left half over the
  // processed rows, the right half over the edge rows.
  const std::vector<float>* sources[2] = {&chunk.vertexArray, &chunk.weightArray};
  std::vector<float>* targets[2] = {&out.interpVertices, &out.interpGradients};
  for (int run = 0; run < 2; ++run) {
    std::vector<float>& target = *targets[run];
    fillTexels(target, texels, kInterpClear);
    auto pass = [&](int r, int x) {
      interpolateEdge(&chunk.edgeMap[4 * (std::size_t(r) * std::size_t(W) + std::size_t(x))],
                      sources[run]->data(), W, H, iso,
                      &target[4 * (std::size_t(H - 1 - r) * std::size_t(W) + std::size_t(x))]);
    };
    for (int r = first; r < end; ++r)
      for (int x = 0; x < W / 2; ++x) pass(r, x);
    for (int r = 0; r < edgeRows; ++r)
      for (int x = W / 2; x < W; ++x) pass(r, x);
  }

  // Triangle assembly: the classification edge picks a quad or one of the two triangles.
  const float zero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  fillTexels(out.indices, texels / 2, zero);
  for (int r = first; r < end; ++r) {
    const std::size_t y = std::size_t(H - 1 - r);
    for (int c = 0; c < W / 2; ++c) {
      const float w = out.interpVertices[4 * (y * std::size_t(W) + std::size_t(c)) + 3];
      const int* select = kTwoTriangles;
      if (w < 0.0f) select = kSmallIso;
      if (w < -1.0f) select = kLargeIso;
      const std::uint16_t* m0 = &chunk.tetMap[4 * (std::size_t(r) * std::size_t(W) + std::size_t(2 * c))];
      const std::uint16_t* m1 = m0 + 4;
      const float list[6] = {float(m0[0]), float(m0[1]), float(m0[2]), float(m0[3]), float(m1[2]), float(m1[3])};
      float* o = &out.indices[4 * (y * std::size_t(W / 2) + std::size_t(c))];
      for (int k = 0; k < 4; ++k) o[k] = list[std::min(select[k], 5)];
    }
  }

  // Vertex and normal gather into the two halves' output targets.
  for (int h = 0; h < 2; ++h) {
    fillTexels(out.positions[h], texels, kInterpClear);
    fillTexels(out.normals[h], texels, kInterpClear);
    for (int r = first; r < end; ++r) {
      const std::size_t y = std::size_t(H - 1 - r);
      for (int x = 0; x < W; ++x) {
        const int c = h * (W / 4) + x / 4;
        const float* g = &out.indices[4 * (y * std::size_t(W / 2) + std::size_t(c))];
        const float index = g[x % 4] + 0.1f;
        const float normalIndex = options.flatShading ? g[2] + 0.1f : index;
        const float* p = gatherTexel(out.interpVertices, index, W, H);
        const float* n = gatherTexel(out.interpGradients, normalIndex, W, H);
        float* op = &out.positions[h][4 * (y * std::size_t(W) + std::size_t(x))];
        float* on = &out.normals[h][4 * (y * std::size_t(W) + std::size_t(x))];
        for (int k = 0; k < 4; ++k) {
          op[k] = p[k];
          on[k] = n[k];
        }
      }
    }
  }
  return true;
}

bool referenceSurface(const CacheData& cache, float iso, ReferenceSurface& out,
                      const ReferenceOptions& options) {
  out = ReferenceSurface();
  const int W = int(cache.header.textureWidth), H = int(cache.header.textureHeight);
  if (W < 4 || H < 1) return false;
  ReferenceExtractor ref(W, H);
  ReferenceChunkOutput pass;
  for (const ChunkData& chunk : cache.chunks) {
    const RowSpan span = chunkRowSpan(chunk, H, iso);
    if (!span.active) continue;
    if (span.overLimit) return false;
    ++out.activeChunks;
    out.processedRows += std::size_t(span.rows());
    if (!span.drawn()) continue;
    if (!ref.extractChunk(chunk, iso, pass, options)) return false;
    for (int r = std::max(span.rowMin, 0); r < std::min(span.rowEnd, H); ++r) {
      const std::size_t y = std::size_t(H - 1 - r);
      for (int c = 0; c < W / 2; ++c) {
        const std::vector<float>& pos = pass.positions[ReferenceExtractor::halfOf(c, W)];
        const std::vector<float>& nor = pass.normals[ReferenceExtractor::halfOf(c, W)];
        const std::size_t v0 = ref.outputTexel(r, c, 0);
        bool visible = true;
        for (int k = 0; k < 4; ++k) visible = visible && pos[v0 + 4 * std::size_t(k) + 3] >= 0.0f;
        if (!visible) continue;
        const float* g = &pass.indices[4 * (y * std::size_t(W / 2) + std::size_t(c))];
        const int corners[2][3] = {{0, 1, 2}, {0, 2, 3}};
        int emitted = 0;
        for (const auto& t : corners) {
          if (g[t[0]] == g[t[1]] || g[t[1]] == g[t[2]] || g[t[0]] == g[t[2]]) continue;
          for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) {
              out.positions.push_back(pos[v0 + 4 * std::size_t(t[k]) + std::size_t(a)]);
              out.normals.push_back(nor[v0 + 4 * std::size_t(t[k]) + std::size_t(a)]);
            }
          const float* tri = &out.positions[out.positions.size() - 9];
          out.area += triangleArea(tri, tri + 3, tri + 6);
          ++emitted;
        }
        if (emitted == 2)
          ++out.quads;
        else if (emitted == 1)
          ++out.triangles;
      }
    }
  }
  return true;
}
