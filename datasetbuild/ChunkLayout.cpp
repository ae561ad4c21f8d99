#include "datasetbuild/ChunkLayout.h"

#include "meshimport/Parallel.h"
#include "meshimport/Progress.h"
#include "ReferenceExtractor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

namespace vxb {

const char* orderingName(Ordering o) {
  switch (o) {
  case Ordering::MaxValue: return "max";
  case Ordering::MinValue: return "min";
  case Ordering::MidValue: return "mid";
  case Ordering::Morton: return "morton";
  }
  return "?";
}

bool parseOrdering(const std::string& name, Ordering& o) {
  for (Ordering c : {Ordering::MaxValue, Ordering::MinValue, Ordering::MidValue, Ordering::Morton})
    if (name == orderingName(c)) {
      o = c;
      return true;
    }
  return false;
}

namespace {

// The six edges of a tetrahedron A, B, C, D as pairs of its vertex positions.
const int kEdgePairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

// Global edges: bucket the 6·T edge uses by their lower end, sort each small bucket by the upper
// end and number the distinct pairs. Since every tetrahedron lists its vertices by (value, index),
// an edge has the same lower end in every tetrahedron that uses it.
void buildEdges(const PreparedMesh& mesh, Layout& layout) {
  const size_t nv = mesh.vertexCount(), nt = mesh.tetCount();
  std::vector<uint32_t> start(nv + 1, 0);
  for (size_t t = 0; t < nt; ++t)
    for (const auto& e : kEdgePairs) ++start[mesh.tets[4 * t + size_t(e[0])] + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  struct Use {
    uint32_t upper;
    uint32_t slot; // 6·t + k
  };
  std::vector<Use> uses(6 * nt);
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  for (size_t t = 0; t < nt; ++t)
    for (int k = 0; k < 6; ++k) {
      const uint32_t lo = mesh.tets[4 * t + size_t(kEdgePairs[k][0])];
      uses[fill[lo]++] = {mesh.tets[4 * t + size_t(kEdgePairs[k][1])], uint32_t(6 * t + size_t(k))};
    }
  layout.tetEdges.assign(6 * nt, 0);
  layout.edgeEnds.clear();
  layout.edgeEnds.reserve(3 * nt);
  // Each vertex's few uses sorted on their own, on every core.
  constexpr size_t kBatch = size_t(1) << 14;
  parallelFor((nv + kBatch - 1) / kBatch, [&](size_t batch) {
    for (size_t v = batch * kBatch; v < std::min(nv, (batch + 1) * kBatch); ++v)
      std::sort(uses.data() + start[v], uses.data() + start[v + 1],
                [](const Use& x, const Use& y) { return x.upper < y.upper || (x.upper == y.upper && x.slot < y.slot); });
  });
  for (size_t v = 0; v < nv; ++v) {
    Use* b = uses.data() + start[v];
    Use* e = uses.data() + start[v + 1];
    uint32_t previous = UINT32_MAX, id = 0;
    for (Use* u = b; u != e; ++u) {
      if (u->upper != previous) {
        id = uint32_t(layout.edgeEnds.size() / 2);
        layout.edgeEnds.push_back(uint32_t(v));
        layout.edgeEnds.push_back(u->upper);
        previous = u->upper;
      }
      layout.tetEdges[u->slot] = id;
    }
  }
}

uint32_t spreadBits(uint32_t x) {
  x &= 0x3ff;
  x = (x | (x << 16)) & 0x030000ff;
  x = (x | (x << 8)) & 0x0300f00f;
  x = (x | (x << 4)) & 0x030c30c3;
  x = (x | (x << 2)) & 0x09249249;
  return x;
}

std::vector<uint32_t> globalOrder(const PreparedMesh& mesh, Ordering ordering) {
  const size_t nt = mesh.tetCount();
  struct Key {
    float a;
    uint32_t b;
    float c;
    uint32_t t;
  };
  std::vector<Key> keys(nt);
  for (size_t t = 0; t < nt; ++t) {
    const uint32_t* q = &mesh.tets[4 * t];
    const float lo = mesh.values[q[0]], hi = mesh.values[q[3]];
    switch (ordering) {
    case Ordering::MaxValue: keys[t] = {hi, q[3], lo, uint32_t(t)}; break;
    case Ordering::MinValue: keys[t] = {lo, q[0], hi, uint32_t(t)}; break;
    case Ordering::MidValue: keys[t] = {0.5f * (lo + hi), 0, 0.0f, uint32_t(t)}; break;
    case Ordering::Morton: {
      uint32_t code = 0;
      for (int c = 0; c < 3; ++c) {
        float s = 0;
        for (int k = 0; k < 4; ++k) s += mesh.positions[3 * q[k] + size_t(c)];
        const float extent = mesh.boxMax[c] - mesh.boxMin[c];
        const float u = extent > 0 ? (0.25f * s - mesh.boxMin[c]) / extent : 0.0f;
        code |= spreadBits(uint32_t(std::min(std::max(u, 0.0f), 1.0f) * 1023.0f)) << c;
      }
      keys[t] = {0.0f, code, 0.0f, uint32_t(t)};
      break;
    }
    }
  }
  auto less = [](const Key& x, const Key& y) {
    if (x.a != y.a) return x.a < y.a;
    if (x.b != y.b) return x.b < y.b;
    if (x.c != y.c) return x.c < y.c;
    return x.t < y.t;
  };
  // The keys are all distinct (t), so sorting pieces and merging them gives the one order.
  const size_t pieces = std::min<size_t>(workerCount(), nt / 65536 + 1);
  std::vector<size_t> bounds(pieces + 1);
  for (size_t p = 0; p <= pieces; ++p) bounds[p] = nt * p / pieces;
  parallelFor(pieces, [&](size_t p) { std::sort(keys.begin() + long(bounds[p]), keys.begin() + long(bounds[p + 1]), less); });
  for (size_t width = 1; width < pieces; width *= 2)
    for (size_t p = 0; p + width < pieces; p += 2 * width)
      std::inplace_merge(keys.begin() + long(bounds[p]), keys.begin() + long(bounds[p + width]),
                         keys.begin() + long(bounds[std::min(pieces, p + 2 * width)]), less);
  std::vector<uint32_t> order(nt);
  for (size_t i = 0; i < nt; ++i) order[i] = keys[i].t;
  return order;
}

// How far ahead the walks in the global order ask for the cells they will need.
constexpr size_t kLookAhead = 16;

// The isovalues over which a chunk's row order is judged: the slider's values 0.01 … 0.99.
const std::vector<float>& sweepIsovalues() {
  static const std::vector<float> isos = [] {
    std::vector<float> v;
    for (int i = 1; i < 100; ++i) v.push_back(float(i) / 100.0f);
    return v;
  }();
  return isos;
}

void rowIntervals(const PreparedMesh& mesh, const std::vector<uint32_t>& tets, int perRow,
                  std::vector<float>& intervals) {
  const size_t rows = (tets.size() + size_t(perRow) - 1) / size_t(perRow);
  intervals.assign(2 * rows, 0.0f);
  for (size_t r = 0; r < rows; ++r) {
    float lo = 2.0f, hi = -1.0f;
    for (size_t i = r * size_t(perRow); i < std::min(tets.size(), (r + 1) * size_t(perRow)); ++i) {
      const uint32_t* q = &mesh.tets[4 * size_t(tets[i])];
      lo = std::min(lo, mesh.values[q[0]]);
      hi = std::max(hi, mesh.values[q[3]]);
    }
    intervals[2 * r] = lo;
    intervals[2 * r + 1] = hi;
  }
}

// The same over a chunk's own tetrahedra, given by their place in the chunk, with their smallest
// and largest values at hand: the row-order search tries many orders of the same tetrahedra.
void localRowIntervals(const std::vector<uint32_t>& local, const std::vector<float>& lo,
                       const std::vector<float>& hi, int perRow, std::vector<float>& intervals) {
  const size_t n = local.size(), rows = (n + size_t(perRow) - 1) / size_t(perRow);
  intervals.assign(2 * rows, 0.0f);
  for (size_t r = 0; r < rows; ++r) {
    float a = 2.0f, b = -1.0f;
    for (size_t i = r * size_t(perRow); i < std::min(n, (r + 1) * size_t(perRow)); ++i) {
      a = std::min(a, lo[local[i]]);
      b = std::max(b, hi[local[i]]);
    }
    intervals[2 * r] = a;
    intervals[2 * r + 1] = b;
  }
}

// Cost of a chunk's row order over the sweep: the rows processed at every isovalue where the chunk
// is active, plus a penalty of four for every row beyond twice the rows that the crossing
// tetrahedra need (`need`, per sweep isovalue), which keeps single isovalues from going bad for
// the sake of the sum.
//
// The span is chunkRowSpan's, for a chunk whose candidates all share their value range: whether the
// chunk is active at each isovalue (`active`) is the same for every row order and is worked out
// once, and the matching rows are looked for from both ends.
double sweepCost(const std::vector<float>& intervals, int rowCount0, int rowCount1, int height,
                 const std::vector<char>& active, const std::vector<double>& need) {
  double cost = 0;
  const std::vector<float>& isos = sweepIsovalues();
  const int limit = std::max(rowCount0, rowCount1);
  const int rowCount = int(intervals.size() / 2);
  const float* iv = intervals.data();
  for (size_t i = 0; i < isos.size(); ++i) {
    if (!active[i]) continue;
    const float iso = isos[i];
    auto matches = [&](int j) { return iv[2 * j] <= iso && iso <= iv[2 * j + 1]; };
    int first = 0;
    while (first < rowCount && !matches(first)) ++first;
    int rowMin = limit, largest = 0;
    if (first < rowCount) {
      rowMin = std::min(limit, first);
      int last = rowCount - 1;
      while (!matches(last)) --last;
      largest = last;
    }
    const int rowEnd = 1 + largest;
    const int spanFirst = std::min(std::max(std::min(rowMin, rowEnd), 0), height);
    const int spanEnd = std::min(std::max(std::max(rowMin, rowEnd), 0), height);
    const double rows = spanEnd - spanFirst;
    cost += rows + 4.0 * std::max(0.0, rows - 2.0 * need[i] - 1.0);
  }
  return cost;
}

// Places 0 … n−1 ordered by ascending (or descending) key, ties by place: what a stable sort by
// value gives. Keys are values in [0, 1], and non-negative floats order as their bit patterns, so a
// stable radix sort of the bits (three passes of 11 bits) does it in linear time.
class KeyOrder {
public:
  void operator()(const std::vector<float>& key, bool descending, std::vector<uint32_t>& out) {
    const size_t n = key.size();
    bits_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const float v = key[i] + 0.0f; // −0 counts as 0
      uint32_t b;
      std::memcpy(&b, &v, sizeof b);
      bits_[i] = descending ? ~b : b;
    }
    out.resize(n);
    other_.resize(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint32_t(i);
    for (int shift = 0; shift < 33; shift += 11) {
      size_t count[2049] = {};
      for (size_t i = 0; i < n; ++i) ++count[((bits_[i] >> shift) & 2047u) + 1];
      for (size_t d = 1; d < 2049; ++d) count[d] += count[d - 1];
      for (size_t i = 0; i < n; ++i) {
        const uint32_t place = out[i];
        other_[count[(bits_[place] >> shift) & 2047u]++] = place;
      }
      out.swap(other_);
    }
  }

private:
  std::vector<uint32_t> bits_, other_;
};

// Chooses the row order of one chunk among a family of candidates, the one of least sweepCost:
//   - all tetrahedra sorted by min + α·(max − min), α = 0, 0.1, …, 1;
//   - the same with a block in front: the fraction f (2 … 30 %) of the tetrahedra with the largest
//     maximum (or with the largest minimum), sorted by that value, descending.
// The block serves the isovalues near the top of the chunk's range, where the crossing tetrahedra
// are those with the largest values, which a single key would scatter over many rows.
void orderRows(const PreparedMesh& mesh, ChunkPlan& chunk, int width, int height) {
  const int perRow = width / 2;
  const int rowCount1 = chunk.edgeRows(width);
  const int rowCount0 = chunk.tetRows(width);
  const size_t n = chunk.tets.size();
  std::vector<float> lo(n), hi(n);
  for (size_t i = 0; i < n; ++i) {
    if (i + kLookAhead < n) __builtin_prefetch(&mesh.tets[4 * size_t(chunk.tets[i + kLookAhead])]);
    const uint32_t* q = &mesh.tets[4 * size_t(chunk.tets[i])];
    lo[i] = mesh.values[q[0]];
    hi[i] = mesh.values[q[3]];
  }
  // Local indices by descending maximum and by descending minimum (the block orders), ties in
  // chunk order.
  std::vector<uint32_t> byMax(n), byMin(n);
  KeyOrder sortedBy;
  sortedBy(hi, true, byMax);
  sortedBy(lo, true, byMin);
  static const float kBlocks[] = {0.0f, 0.02f, 0.05f, 0.1f, 0.2f, 0.3f};
  const std::vector<float>& isos = sweepIsovalues();
  std::vector<double> need(isos.size());
  for (size_t i = 0; i < isos.size(); ++i) {
    size_t crossing = 0;
    for (size_t t = 0; t < n; ++t) crossing += lo[t] < isos[i] && isos[i] < hi[t];
    need[i] = double(crossing) / double(perRow);
  }
  // The chunk's range, the same whatever the row order: smallest low and largest high of its rows.
  float low = FLT_MAX, high = -FLT_MAX;
  for (size_t t = 0; t < n; ++t) {
    low = std::min(low, lo[t]);
    high = std::max(high, hi[t]);
  }
  std::vector<char> active(isos.size());
  for (size_t i = 0; i < isos.size(); ++i) active[i] = low <= isos[i] && isos[i] <= high;

  std::vector<uint32_t> perm(n), candidate(n), best(n);
  std::iota(best.begin(), best.end(), 0u);
  std::vector<char> inBlock(n, 0);
  std::vector<float> key(n), intervals;
  double bestCost = 1e300;
  for (int a = 0; a <= 10; ++a) {
    const float alpha = float(a) / 10.0f;
    for (size_t i = 0; i < n; ++i) key[i] = lo[i] + alpha * (hi[i] - lo[i]);
    sortedBy(key, false, perm);
    for (int side = 0; side < 2; ++side) {
      const std::vector<uint32_t>& blockOrder = side == 0 ? byMax : byMin;
      for (float fraction : kBlocks) {
        if (side == 1 && fraction == 0.0f) continue; // the same candidate as side 0
        const size_t blockSize = size_t(fraction * float(n));
        size_t k = 0;
        for (size_t i = 0; i < blockSize; ++i) {
          inBlock[blockOrder[i]] = 1;
          candidate[k++] = blockOrder[i];
        }
        for (size_t i = 0; i < n; ++i)
          if (!inBlock[perm[i]]) candidate[k++] = perm[i];
        for (size_t i = 0; i < blockSize; ++i) inBlock[blockOrder[i]] = 0;
        localRowIntervals(candidate, lo, hi, perRow, intervals);
        const double cost = sweepCost(intervals, rowCount0, rowCount1, height, active, need);
        if (cost < bestCost) {
          bestCost = cost;
          best.swap(candidate);
          chunk.alpha = alpha;
          chunk.block = fraction;
          chunk.blockByMin = side == 1;
        }
      }
    }
  }
  // The chunk's tetrahedra in the chosen order (best holds their places in the chunk).
  for (size_t i = 0; i < n; ++i) candidate[i] = chunk.tets[best[i]];
  chunk.tets.swap(candidate);
}

} // namespace

namespace {

void fillChunks(const PreparedMesh& mesh, const std::vector<uint32_t>& order, const LayoutOptions& options,
                Layout& layout, Progress* progress);

} // namespace

void buildLayout(const PreparedMesh& mesh, const LayoutOptions& options, Layout& layout,
                 Progress* progress) {
  // The global order and the edges do not depend on each other: the order is sorted on a second
  // thread while this one finds the edges.
  if (progress)
    progress->begin(std::string("ordering tetrahedra (") + orderingName(options.ordering) + ") and finding edges");
  layout = Layout();
  layout.width = options.width;
  layout.height = options.height;
  std::vector<uint32_t> order;
  if (workerCount() > 1) {
    std::exception_ptr failure;
    std::thread sorter([&] {
      try {
        order = globalOrder(mesh, options.ordering);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    try {
      buildEdges(mesh, layout);
    } catch (...) {
      sorter.join();
      throw;
    }
    sorter.join();
    if (failure) std::rethrow_exception(failure);
  } else {
    order = globalOrder(mesh, options.ordering);
    buildEdges(mesh, layout);
  }
  fillChunks(mesh, order, options, layout, progress);
}

void buildLayoutInOrder(const PreparedMesh& mesh, const std::vector<uint32_t>& order,
                        const LayoutOptions& options, Layout& layout, Progress* progress) {
  layout = Layout();
  layout.width = options.width;
  layout.height = options.height;
  if (progress) progress->begin("finding edges");
  buildEdges(mesh, layout);
  fillChunks(mesh, order, options, layout, progress);
}

namespace {

// Chunks filled greedily in the global order, then the rows of each ordered.
void fillChunks(const PreparedMesh& mesh, const std::vector<uint32_t>& order, const LayoutOptions& options,
                Layout& layout, Progress* progress) {
  const size_t maxTets = size_t(options.width / 2) * size_t(options.height);
  const size_t maxEdges = maxTets;
  const size_t maxVertices = size_t(options.width) * size_t(options.height) - 1;

  if (progress) progress->begin("filling chunks", order.size());
  std::vector<uint32_t> vertexStamp(mesh.vertexCount(), 0), edgeStamp(layout.edgeCount(), 0);
  uint32_t stamp = 0;
  ChunkPlan* chunk = nullptr;
  for (size_t i = 0; i < order.size(); ++i) {
    const uint32_t t = order[i];
    // The order jumps across the mesh: ask for the cells a few steps ahead before they are needed.
    if (i + kLookAhead < order.size()) {
      const size_t ahead = order[i + kLookAhead];
      __builtin_prefetch(&mesh.tets[4 * ahead]);
      __builtin_prefetch(&layout.tetEdges[6 * ahead]);
    }
    const uint32_t* q = &mesh.tets[4 * size_t(t)];
    const uint32_t* e = &layout.tetEdges[6 * size_t(t)];
    size_t newVertices = 0, newEdges = 0;
    if (chunk) {
      for (int k = 0; k < 4; ++k) newVertices += vertexStamp[q[k]] != stamp;
      for (int k = 0; k < 6; ++k) newEdges += edgeStamp[e[k]] != stamp;
    }
    if (!chunk || chunk->tets.size() + 1 > maxTets || chunk->edges.size() + newEdges > maxEdges ||
        chunk->vertices.size() + newVertices > maxVertices) {
      layout.chunks.emplace_back();
      chunk = &layout.chunks.back();
      ++stamp;
    }
    chunk->tets.push_back(t);
    for (int k = 0; k < 4; ++k)
      if (vertexStamp[q[k]] != stamp) {
        vertexStamp[q[k]] = stamp;
        chunk->vertices.push_back(q[k]);
      }
    for (int k = 0; k < 6; ++k)
      if (edgeStamp[e[k]] != stamp) {
        edgeStamp[e[k]] = stamp;
        chunk->edges.push_back(e[k]);
      }
    if (progress && (i & 0xffff) == 0) progress->update(i);
  }

  // Chunks are independent from here on: their rows are ordered on every core.
  if (progress) progress->begin("ordering rows", layout.chunks.size());
  parallelFor(
      layout.chunks.size(),
      [&](size_t c) {
        ChunkPlan& plan = layout.chunks[c];
        if (options.rowReorder) orderRows(mesh, plan, options.width, options.height);
        rowIntervals(mesh, plan.tets, options.width / 2, plan.intervals);
      },
      [&](size_t done) {
        if (progress) progress->update(done);
      });
  if (progress) progress->end();
}

} // namespace

std::vector<IsoCost> evaluateLayout(const PreparedMesh& mesh, const Layout& layout,
                                    const std::vector<float>& isovalues) {
  std::vector<IsoCost> costs;
  const size_t nt = mesh.tetCount();
  // Crossing tetrahedra of every isovalue in one pass over the mesh, on every core.
  std::vector<size_t> crossing(isovalues.size(), 0);
  std::mutex crossingMutex;
  constexpr size_t kBatch = size_t(1) << 16;
  parallelFor((nt + kBatch - 1) / kBatch, [&](size_t b) {
    std::vector<size_t> count(isovalues.size(), 0);
    for (size_t t = b * kBatch; t < std::min(nt, (b + 1) * kBatch); ++t) {
      const float lo = mesh.values[mesh.tets[4 * t]], hi = mesh.values[mesh.tets[4 * t + 3]];
      for (size_t i = 0; i < isovalues.size(); ++i) count[i] += lo < isovalues[i] && isovalues[i] < hi;
    }
    std::lock_guard<std::mutex> lock(crossingMutex);
    for (size_t i = 0; i < isovalues.size(); ++i) crossing[i] += count[i];
  });
  for (size_t i = 0; i < isovalues.size(); ++i) {
    const float iso = isovalues[i];
    IsoCost cost;
    cost.iso = iso;
    for (const ChunkPlan& chunk : layout.chunks) {
      const RowSpan s = chunkRowSpan(chunk.intervals.data(), chunk.intervals.size() / 2,
                                     chunk.tetRows(layout.width), chunk.edgeRows(layout.width),
                                     layout.height, iso);
      if (!s.active) continue;
      ++cost.activeChunks;
      cost.processedRows += size_t(s.rows());
      cost.edgeTexels += size_t(chunk.edgeRows(layout.width)) * size_t(layout.width / 2);
      if (s.matchingRows == 0) ++cost.emptyRowQueries;
    }
    cost.processedSlots = cost.processedRows * size_t(layout.width / 2);
    cost.crossing = crossing[i];
    costs.push_back(cost);
  }
  return costs;
}

} // namespace vxb
