#include "meshimport/MeshPrep.h"

#include "PkDiag.h"
#include "meshimport/Parallel.h"
#include "meshimport/TetFaces.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vxb {

namespace {

// Tetrahedra per piece of the work spread over the cores.
constexpr size_t kBatch = size_t(1) << 16;

struct D3 {
  double x, y, z;
};
D3 sub(const D3& a, const D3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 cross(const D3& a, const D3& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(const D3& a, const D3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double len2(const D3& a) { return dot(a, a); }

// Faces between tetrahedra: every face belongs to one or two tetrahedra, and of two the corners
// opposite the face lie on its two sides. Otherwise cells overlap and the isosurfaces through them
// would be counted twice. `origin` gives each tetrahedron's number in the input, for the message.
bool checkFaces(const std::vector<double>& points, const std::vector<uint32_t>& tets,
                const std::vector<uint32_t>& origin, std::vector<uint32_t>& boundary) {
  boundary.clear();
  const std::vector<TetFace> faces = sortedTetFaces(tets);
  auto opposite = [&](const TetFace& f) { return tets[4 * size_t(f.tet) + f.corner]; };
  auto point = [&](uint32_t v) { return D3{points[3 * size_t(v)], points[3 * size_t(v) + 1], points[3 * size_t(v) + 2]}; };

  // The sorted faces in pieces that start at a new face, checked on every core; what each piece
  // found is taken in piece order, so the messages name the same tetrahedra as one walk would.
  struct Piece {
    size_t begin = 0, end = 0;
    size_t shared = SIZE_MAX; // start of the first face of more than two tetrahedra
    size_t sharedCount = 0;
    size_t folded = 0;
    uint32_t firstA = 0, firstB = 0;
    std::vector<uint32_t> boundary;
  };
  const size_t pieceCount = std::max<size_t>(1, std::min<size_t>(64, faces.size() / 65536));
  std::vector<Piece> pieces(pieceCount);
  for (size_t p = 0; p < pieceCount; ++p) {
    size_t at = faces.size() * p / pieceCount;
    if (p) at = std::max(at, pieces[p - 1].begin);
    while (at > 0 && at < faces.size() && sameFace(faces[at - 1], faces[at])) ++at;
    pieces[p].begin = at;
    if (p) pieces[p - 1].end = at;
  }
  pieces.back().end = faces.size();
  parallelFor(pieceCount, [&](size_t p) {
    Piece& piece = pieces[p];
    for (size_t i = piece.begin; i < piece.end;) {
      size_t j = i + 1;
      while (j < faces.size() && sameFace(faces[i], faces[j])) ++j;
      if (j - i > 2) {
        piece.shared = i;
        piece.sharedCount = j - i;
        return;
      }
      if (j - i == 1) piece.boundary.insert(piece.boundary.end(), {faces[i].tet, faces[i].corner});
      if (j - i == 2) {
        const D3 a = point(faces[i].v[0]);
        const D3 normal = cross(sub(point(faces[i].v[1]), a), sub(point(faces[i].v[2]), a));
        const double s1 = dot(normal, sub(point(opposite(faces[i])), a));
        const double s2 = dot(normal, sub(point(opposite(faces[i + 1])), a));
        if (!(s1 * s2 < 0)) {
          if (!piece.folded++) {
            piece.firstA = std::min(origin[faces[i].tet], origin[faces[i + 1].tet]);
            piece.firstB = std::max(origin[faces[i].tet], origin[faces[i + 1].tet]);
          }
        }
      }
      i = j;
    }
  });
  size_t folded = 0;
  uint32_t firstA = 0, firstB = 0;
  for (const Piece& piece : pieces) {
    if (piece.shared != SIZE_MAX) {
      const size_t i = piece.shared;
      pk::ErrorLine() << "a face is shared by " << piece.sharedCount << " tetrahedra (" << origin[faces[i].tet] << ", "
                      << origin[faces[i + 1].tet] << ", " << origin[faces[i + 2].tet]
                      << "); in a tetrahedral mesh a face belongs to at most two";
      return false;
    }
    if (piece.folded && !folded) {
      firstA = piece.firstA;
      firstB = piece.firstB;
    }
    folded += piece.folded;
  }
  if (folded) {
    pk::ErrorLine() << "the mesh overlaps itself: at " << folded << " face(s) the two tetrahedra lie on the same side"
                    << " of their common face (the first: tetrahedra " << firstA << " and " << firstB << ")";
    return false;
  }
  for (Piece& piece : pieces) {
    boundary.insert(boundary.end(), piece.boundary.begin(), piece.boundary.end());
    piece.boundary = std::vector<uint32_t>();
  }
  return true;
}

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
  for (uint32_t v : mesh.tets)
    if (v >= nIn) {
      pk::ErrorLine() << "a tetrahedron refers to vertex " << v << ", but the mesh has " << nIn << " vertices";
      return false;
    }

  // Cells, in the input's coordinates: those without volume (a repeated corner, or corners that are
  // (nearly) coplanar) are dropped, those oriented against the majority are turned around. Neither
  // changes the isosurfaces.
  auto inputPoint = [&](uint32_t v) { return D3{mesh.points[3 * size_t(v)], mesh.points[3 * size_t(v) + 1], mesh.points[3 * size_t(v) + 2]}; };
  std::vector<signed char> sign(nTets, 0);
  parallelFor((nTets + kBatch - 1) / kBatch, [&](size_t b) {
    for (size_t t = b * kBatch; t < std::min(nTets, (b + 1) * kBatch); ++t) {
      const uint32_t* q = &mesh.tets[4 * t];
      if (q[0] == q[1] || q[0] == q[2] || q[0] == q[3] || q[1] == q[2] || q[1] == q[3] || q[2] == q[3]) continue;
      const D3 p0 = inputPoint(q[0]), e1 = sub(inputPoint(q[1]), p0), e2 = sub(inputPoint(q[2]), p0), e3 = sub(inputPoint(q[3]), p0);
      const double vol6 = dot(e1, cross(e2, e3));
      double longest = std::max({len2(e1), len2(e2), len2(e3), len2(sub(e1, e2)), len2(sub(e1, e3)), len2(sub(e2, e3))});
      longest = std::sqrt(longest);
      if (!(std::fabs(vol6) > 1e-9 * longest * longest * longest)) continue;
      sign[t] = vol6 > 0 ? 1 : -1;
    }
  });
  size_t positive = 0, negative = 0;
  for (signed char s : sign) {
    positive += s > 0;
    negative += s < 0;
  }
  const size_t kept = positive + negative;
  if (kept == 0) {
    pk::ErrorLine() << "all " << nTets << " tetrahedra are degenerate (a repeated corner or (nearly) coplanar corners)";
    return false;
  }
  const signed char majority = positive >= negative ? 1 : -1;
  out.degenerateTets = nTets - kept;
  out.turnedTets = majority > 0 ? negative : positive;
  std::vector<uint32_t> cells, origin;
  cells.reserve(4 * kept);
  origin.reserve(kept);
  for (size_t t = 0; t < nTets; ++t) {
    if (!sign[t]) continue;
    origin.push_back(uint32_t(t));
    const uint32_t* q = &mesh.tets[4 * t];
    if (sign[t] == majority)
      cells.insert(cells.end(), {q[0], q[1], q[2], q[3]});
    else
      cells.insert(cells.end(), {q[0], q[1], q[3], q[2]});
  }

  // Vertices that the kept tetrahedra use, renumbered in input order.
  std::vector<uint32_t> newIndex(nIn, UINT32_MAX);
  for (uint32_t v : cells) newIndex[v] = 0;
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
  out.tets.resize(cells.size());
  for (size_t k = 0; k < cells.size(); ++k) out.tets[k] = newIndex[cells[k]];
  cells = std::vector<uint32_t>();
  if (!checkFaces(out.sourcePoints, out.tets, origin, out.boundaryFaces)) return false;
  origin = std::vector<uint32_t>();

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

  const size_t tetCount = out.tetCount();
  // Gradients: the volume-weighted mean of the gradients of the cells around each vertex. With
  // 6V·grad = Σ df_i (e_j × e_k), |6V|·grad needs no division, so thin cells stay harmless.
  std::vector<double> acc(3 * n, 0.0), weight(n, 0.0);
  auto fpoint = [&](uint32_t v) { return D3{out.positions[3 * v], out.positions[3 * v + 1], out.positions[3 * v + 2]}; };
  for (size_t t = 0; t < tetCount; ++t) {
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

  // Boundary faces keep the vertex opposite them across the reordering below.
  for (size_t i = 0; i < out.boundaryFaces.size(); i += 2)
    out.boundaryFaces[i + 1] = out.tets[4 * size_t(out.boundaryFaces[i]) + out.boundaryFaces[i + 1]];
  parallelFor((tetCount + kBatch - 1) / kBatch, [&](size_t b) {
    for (size_t t = b * kBatch; t < std::min(tetCount, (b + 1) * kBatch); ++t) orderByValue(out.values, &out.tets[4 * t]);
  });
  for (size_t i = 0; i < out.boundaryFaces.size(); i += 2) {
    const uint32_t* q = &out.tets[4 * size_t(out.boundaryFaces[i])];
    const uint32_t v = out.boundaryFaces[i + 1];
    out.boundaryFaces[i + 1] = q[0] == v ? 0 : q[1] == v ? 1 : q[2] == v ? 2 : 3;
  }
  return true;
}

} // namespace vxb
