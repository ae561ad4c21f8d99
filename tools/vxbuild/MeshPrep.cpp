#include "MeshPrep.h"

#include "PkDiag.h"

#include <algorithm>
#include <cmath>

namespace vxb {

namespace {

struct D3 {
  double x, y, z;
};
D3 sub(const D3& a, const D3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 cross(const D3& a, const D3& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(const D3& a, const D3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double len2(const D3& a) { return dot(a, a); }

} // namespace

void orderByValue(const std::vector<float>& values, uint32_t tet[4]) {
  std::sort(tet, tet + 4, [&](uint32_t a, uint32_t b) {
    return values[a] < values[b] || (values[a] == values[b] && a < b);
  });
}

bool prepareMesh(const TetMesh& mesh, const std::vector<double>& scalar, bool keepOrigin,
                 PreparedMesh& out) {
  out = PreparedMesh();
  const size_t nIn = mesh.vertexCount();
  const size_t nTets = mesh.tetCount();
  if (nTets == 0) {
    pk::error("the mesh has no tetrahedra");
    return false;
  }
  if (nTets > (size_t(1) << 31)) {
    pk::error("the mesh has too many tetrahedra");
    return false;
  }
  // Vertices that tetrahedra use, renumbered in input order.
  std::vector<uint32_t> newIndex(nIn, UINT32_MAX);
  for (uint32_t v : mesh.tets) {
    if (v >= nIn) {
      pk::ErrorLine() << "a tetrahedron refers to vertex " << v << ", but the mesh has " << nIn << " vertices";
      return false;
    }
    newIndex[v] = 0;
  }
  size_t n = 0;
  for (size_t v = 0; v < nIn; ++v)
    if (newIndex[v] == 0) newIndex[v] = uint32_t(n++);
  out.droppedVertices = nIn - n;

  out.sourcePoints.resize(3 * n);
  out.sourceValues.resize(n);
  for (size_t v = 0; v < nIn; ++v) {
    if (newIndex[v] == UINT32_MAX) continue;
    const double s = scalar[v];
    if (!std::isfinite(s)) {
      pk::ErrorLine() << "the field has the value " << (std::isnan(s) ? "NaN" : s > 0 ? "+infinity" : "-infinity")
                      << " at vertex " << v << " (counting from 0 in input order)";
      return false;
    }
    const size_t i = newIndex[v];
    out.sourceValues[i] = s;
    for (int c = 0; c < 3; ++c) out.sourcePoints[3 * i + c] = mesh.points[3 * v + c];
  }
  out.tets.resize(4 * nTets);
  for (size_t k = 0; k < 4 * nTets; ++k) out.tets[k] = newIndex[mesh.tets[k]];

  // Cells: repeated corners, degenerate and inverted ones, in the input's coordinates.
  auto point = [&](uint32_t v) { return D3{out.sourcePoints[3 * v], out.sourcePoints[3 * v + 1], out.sourcePoints[3 * v + 2]}; };
  std::vector<signed char> sign(nTets);
  size_t positive = 0;
  for (size_t t = 0; t < nTets; ++t) {
    const uint32_t* q = &out.tets[4 * t];
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b)
        if (q[a] == q[b]) {
          pk::ErrorLine() << "tetrahedron " << t << " uses the same vertex twice";
          return false;
        }
    const D3 p0 = point(q[0]), e1 = sub(point(q[1]), p0), e2 = sub(point(q[2]), p0), e3 = sub(point(q[3]), p0);
    const double vol6 = dot(e1, cross(e2, e3));
    double longest = std::max({len2(e1), len2(e2), len2(e3), len2(sub(e1, e2)), len2(sub(e1, e3)), len2(sub(e2, e3))});
    longest = std::sqrt(longest);
    if (!(std::fabs(vol6) > 1e-9 * longest * longest * longest)) {
      pk::ErrorLine() << "tetrahedron " << t << " is degenerate: its corners are (nearly) coplanar";
      return false;
    }
    sign[t] = vol6 > 0 ? 1 : -1;
    positive += vol6 > 0;
  }
  const signed char majority = positive * 2 >= nTets ? 1 : -1;
  const size_t inverted = majority > 0 ? nTets - positive : positive;
  if (inverted) {
    size_t first = 0;
    while (sign[first] == majority) ++first;
    pk::ErrorLine() << inverted << " of " << nTets << " tetrahedra are inverted (oriented against the rest of the mesh); the first is tetrahedron " << first;
    return false;
  }

  // Normalisation.
  double lo = out.sourceValues[0], hi = lo;
  for (double s : out.sourceValues) {
    lo = std::min(lo, s);
    hi = std::max(hi, s);
  }
  if (!(hi > lo) || !(float(hi) > float(lo))) {
    pk::ErrorLine() << "the field is constant (" << lo << ") on the mesh: it has no surfaces to extract";
    return false;
  }
  out.dataMin = lo;
  out.dataMax = hi;
  out.values.resize(n);
  const double range = hi - lo;
  for (size_t i = 0; i < n; ++i) {
    const float v = float((out.sourceValues[i] - lo) / range);
    out.values[i] = std::min(1.0f, std::max(0.0f, v));
  }

  // Centring.
  double bmin[3], bmax[3];
  for (int c = 0; c < 3; ++c) bmin[c] = bmax[c] = out.sourcePoints[c];
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) {
      bmin[c] = std::min(bmin[c], out.sourcePoints[3 * i + c]);
      bmax[c] = std::max(bmax[c], out.sourcePoints[3 * i + c]);
    }
  for (int c = 0; c < 3; ++c) out.translation[c] = keepOrigin ? 0.0 : 0.5 * (bmin[c] + bmax[c]);
  out.positions.resize(3 * n);
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) out.positions[3 * i + c] = float(out.sourcePoints[3 * i + c] - out.translation[c]);
  for (int c = 0; c < 3; ++c) out.boxMin[c] = out.boxMax[c] = out.positions[c];
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) {
      out.boxMin[c] = std::min(out.boxMin[c], out.positions[3 * i + c]);
      out.boxMax[c] = std::max(out.boxMax[c], out.positions[3 * i + c]);
    }

  // Gradients: the volume-weighted mean of the gradients of the cells around each vertex. With
  // 6V·grad = Σ df_i (e_j × e_k), |6V|·grad needs no division, so thin cells stay harmless.
  std::vector<double> acc(3 * n, 0.0), weight(n, 0.0);
  auto fpoint = [&](uint32_t v) { return D3{out.positions[3 * v], out.positions[3 * v + 1], out.positions[3 * v + 2]}; };
  for (size_t t = 0; t < nTets; ++t) {
    const uint32_t* q = &out.tets[4 * t];
    const D3 p0 = fpoint(q[0]), e1 = sub(fpoint(q[1]), p0), e2 = sub(fpoint(q[2]), p0), e3 = sub(fpoint(q[3]), p0);
    const double f0 = out.values[q[0]];
    const double d1 = out.values[q[1]] - f0, d2 = out.values[q[2]] - f0, d3 = out.values[q[3]] - f0;
    const D3 c23 = cross(e2, e3), c31 = cross(e3, e1), c12 = cross(e1, e2);
    const double vol6 = dot(e1, c23);
    const double s = vol6 >= 0 ? 1.0 : -1.0;
    const D3 g{s * (d1 * c23.x + d2 * c31.x + d3 * c12.x), s * (d1 * c23.y + d2 * c31.y + d3 * c12.y),
               s * (d1 * c23.z + d2 * c31.z + d3 * c12.z)};
    for (int k = 0; k < 4; ++k) {
      acc[3 * q[k]] += g.x;
      acc[3 * q[k] + 1] += g.y;
      acc[3 * q[k] + 2] += g.z;
      weight[q[k]] += std::fabs(vol6);
    }
  }
  out.gradients.resize(3 * n);
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) out.gradients[3 * i + c] = weight[i] > 0 ? float(acc[3 * i + c] / weight[i]) : 0.0f;

  for (size_t t = 0; t < nTets; ++t) orderByValue(out.values, &out.tets[4 * t]);
  return true;
}

} // namespace vxb
