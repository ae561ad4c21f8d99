#include "meshimport/TetFaces.h"

#include "meshimport/Parallel.h"

#include <algorithm>
#include <numeric>

namespace vxb {

std::vector<TetFace> sortedTetFaces(const std::vector<uint32_t>& tets) {
  const size_t nt = tets.size() / 4;
  size_t nv = 0;
  for (uint32_t v : tets) nv = std::max(nv, size_t(v) + 1);
  // Counting sort by the smallest vertex, then each vertex's few faces sorted on their own: the
  // same order as one sort of the whole list, at a fraction of the cost.
  std::vector<size_t> start(nv + 1, 0);
  for (size_t t = 0; t < nt; ++t) {
    const uint32_t* q = &tets[4 * t];
    const uint32_t low = std::min(std::min(q[0], q[1]), std::min(q[2], q[3]));
    const uint32_t second = std::min(std::max(std::min(q[0], q[1]), std::min(q[2], q[3])),
                                     std::min(std::max(q[0], q[1]), std::max(q[2], q[3])));
    // Three faces contain the smallest vertex; the fourth starts at the second smallest.
    start[size_t(low) + 1] += 3;
    start[size_t(second) + 1] += 1;
  }
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<TetFace> faces(4 * nt);
  {
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t t = 0; t < nt; ++t)
      for (uint32_t o = 0; o < 4; ++o) {
        TetFace f;
        int k = 0;
        for (uint32_t c = 0; c < 4; ++c)
          if (c != o) f.v[k++] = tets[4 * t + c];
        std::sort(f.v, f.v + 3);
        f.tet = uint32_t(t);
        f.corner = o;
        faces[fill[f.v[0]]++] = f;
      }
  }
  auto less = [](const TetFace& a, const TetFace& b) {
    if (a.v[1] != b.v[1]) return a.v[1] < b.v[1];
    if (a.v[2] != b.v[2]) return a.v[2] < b.v[2];
    return a.tet < b.tet;
  };
  constexpr size_t kBatch = 1 << 14; // vertices per piece of work
  parallelFor((nv + kBatch - 1) / kBatch, [&](size_t b) {
    const size_t end = std::min(nv, (b + 1) * kBatch);
    for (size_t v = b * kBatch; v < end; ++v) std::sort(faces.begin() + long(start[v]), faces.begin() + long(start[v + 1]), less);
  });
  return faces;
}

} // namespace vxb
