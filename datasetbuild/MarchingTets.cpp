#include "datasetbuild/MarchingTets.h"

#include "TriangleArea.h"

#include <cmath>

namespace vxb {

namespace {

struct P {
  double x, y, z;
};

double area(const P& a, const P& b, const P& c) {
  const double p[3] = {a.x, a.y, a.z}, q[3] = {b.x, b.y, b.z}, r[3] = {c.x, c.y, c.z};
  return triangleArea(p, q, r);
}

} // namespace

MarchingResult marchingTets(const PreparedMesh& mesh, float isoValue) {
  MarchingResult r;
  const double iso = isoValue;
  for (size_t t = 0; t < mesh.tetCount(); ++t) {
    const uint32_t* q = &mesh.tets[4 * t];
    const double a = mesh.values[q[0]], b = mesh.values[q[1]], c = mesh.values[q[2]], d = mesh.values[q[3]];
    if (iso < a || iso > d) continue;
    auto cut = [&](int i, int j) {
      const double fi = mesh.values[q[i]], fj = mesh.values[q[j]];
      const double s = fj > fi ? (iso - fi) / (fj - fi) : 0.0;
      const double* pi = &mesh.sourcePoints[3 * size_t(q[i])];
      const double* pj = &mesh.sourcePoints[3 * size_t(q[j])];
      return P{pi[0] + (pj[0] - pi[0]) * s, pi[1] + (pj[1] - pi[1]) * s, pi[2] + (pj[2] - pi[2]) * s};
    };
    if (iso < b) {
      r.area += area(cut(0, 1), cut(0, 2), cut(0, 3));
      r.triangles += 1;
    } else if (iso <= c) {
      const P ac = cut(0, 2), ad = cut(0, 3), bd = cut(1, 3), bc = cut(1, 2);
      r.area += area(ac, ad, bd) + area(ac, bd, bc);
      r.triangles += 2;
    } else {
      r.area += area(cut(0, 3), cut(1, 3), cut(2, 3));
      r.triangles += 1;
    }
  }
  return r;
}

} // namespace vxb
