#include "datasetbuild/Boundary.h"

#include "meshimport/TetFaces.h"

#include <algorithm>
#include <numeric>

namespace vxb {

namespace {

uint32_t findRoot(std::vector<uint32_t>& parent, uint32_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

} // namespace

void extractBoundary(const std::vector<float>& positions, const std::vector<uint32_t>& tets,
                     BoundaryLists& out) {
  const std::vector<TetFace> faces = sortedTetFaces(tets);
  std::vector<uint32_t> single;
  for (size_t i = 0; i < faces.size();) {
    size_t j = i + 1;
    while (j < faces.size() && sameFace(faces[i], faces[j])) ++j;
    if (j - i == 1) single.insert(single.end(), {faces[i].tet, faces[i].corner});
    i = j;
  }
  extractBoundary(positions, tets, single, out);
}

void extractBoundary(const std::vector<float>& positions, const std::vector<uint32_t>& tets,
                     const std::vector<uint32_t>& faces, BoundaryLists& out) {
  out = BoundaryLists();
  const size_t nv = positions.size() / 3;

  // Boundary faces, oriented so that the corner opposite lies behind them.
  std::vector<int32_t> tri;
  tri.reserve(3 * (faces.size() / 2));
  for (size_t i = 0; i + 1 < faces.size(); i += 2) {
    const size_t t = faces[i];
    const uint32_t o = faces[i + 1];
    uint32_t v[3];
    int k = 0;
    for (uint32_t c = 0; c < 4; ++c)
      if (c != o) v[k++] = tets[4 * t + c];
    const uint32_t opposite = tets[4 * t + o];
    auto p = [&](uint32_t x, int c) { return double(positions[3 * size_t(x) + size_t(c)]); };
    const double a[3] = {p(v[1], 0) - p(v[0], 0), p(v[1], 1) - p(v[0], 1), p(v[1], 2) - p(v[0], 2)};
    const double b[3] = {p(v[2], 0) - p(v[0], 0), p(v[2], 1) - p(v[0], 1), p(v[2], 2) - p(v[0], 2)};
    const double d[3] = {p(opposite, 0) - p(v[0], 0), p(opposite, 1) - p(v[0], 1), p(opposite, 2) - p(v[0], 2)};
    const double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    if (n[0] * d[0] + n[1] * d[1] + n[2] * d[2] > 0) std::swap(v[1], v[2]);
    tri.insert(tri.end(), {int32_t(v[0]), int32_t(v[1]), int32_t(v[2])});
  }
  if (tri.empty()) return;

  // Components: triangles joined through shared vertices.
  std::vector<uint32_t> parent(nv);
  std::iota(parent.begin(), parent.end(), 0u);
  for (size_t i = 0; i < tri.size(); i += 3)
    for (int k = 1; k < 3; ++k) {
      const uint32_t a = findRoot(parent, uint32_t(tri[i])), b = findRoot(parent, uint32_t(tri[i + size_t(k)]));
      if (a != b) parent[b] = a;
    }
  float lo[3], hi[3];
  for (int c = 0; c < 3; ++c) lo[c] = hi[c] = positions[size_t(c)];
  for (size_t v = 0; v < nv; ++v)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], positions[3 * v + size_t(c)]);
      hi[c] = std::max(hi[c], positions[3 * v + size_t(c)]);
    }
  std::vector<char> touches(nv, 0), isRoot(nv, 0);
  for (size_t i = 0; i < tri.size(); ++i) {
    const uint32_t v = uint32_t(tri[i]);
    isRoot[findRoot(parent, v)] = 1;
    for (int c = 0; c < 3; ++c)
      if (positions[3 * size_t(v) + size_t(c)] == lo[c] || positions[3 * size_t(v) + size_t(c)] == hi[c])
        touches[findRoot(parent, v)] = 1;
  }
  for (size_t v = 0; v < nv; ++v)
    if (isRoot[v]) ++out.components[touches[v] ? 0 : 1];
  for (size_t i = 0; i < tri.size(); i += 3) {
    const int list = touches[findRoot(parent, uint32_t(tri[i]))] ? 0 : 1;
    out.triangles[list].insert(out.triangles[list].end(), tri.begin() + long(i), tri.begin() + long(i) + 3);
  }
}

} // namespace vxb
