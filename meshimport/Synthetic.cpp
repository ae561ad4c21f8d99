#include "meshimport/Synthetic.h"

#include "PkDiag.h"
#include "meshimport/TextScanner.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vxb {

namespace {

// A small deterministic generator, the same on every platform.
class Random {
public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform(double lo, double hi) { return lo + (hi - lo) * double(next() >> 11) * (1.0 / 9007199254740992.0); }

private:
  uint64_t state_;
};

constexpr double kPi = 3.14159265358979323846;

// The cube [-1, 1]³ cut into n³ cubes of six tetrahedra each, vertices jittered by up to `jitter` cell widths; vertices on a face
// of the cube (or of the hole) move only within it. With hole > 0 the cubes within the central
// cube of 2·hole cells per side are left out.
void jitteredCube(int n, int hole, double jitter, bool mirrored, Random& random, TetMesh& mesh) {
  const int m = n + 1;
  const double h = 2.0 / n;
  const int h0 = n / 2 - hole, h1 = n / 2 + hole; // hole cells: [h0, h1) on every axis
  auto inHole = [&](int i, int j, int k) { return hole > 0 && i >= h0 && i < h1 && j >= h0 && j < h1 && k >= h0 && k < h1; };
  std::vector<uint32_t> index(size_t(m) * m * m, UINT32_MAX);
  auto id = [&](int i, int j, int k) { return (size_t(k) * m + j) * m + i; };
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        if (!inHole(i, j, k))
          for (int c = 0; c < 8; ++c) index[id(i + (c & 1), j + ((c >> 1) & 1), k + ((c >> 2) & 1))] = 0;
  uint32_t count = 0;
  mesh.points.reserve(mesh.points.size() + 3 * size_t(m) * m * m);
  mesh.tets.reserve(mesh.tets.size() + 24 * size_t(n) * n * n);
  for (int k = 0; k < m; ++k)
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) {
        if (index[id(i, j, k)] == UINT32_MAX) continue;
        index[id(i, j, k)] = count++;
        const int g[3] = {i, j, k};
        double p[3];
        for (int c = 0; c < 3; ++c) p[c] = -1.0 + h * g[c];
        // Grid coordinates keep the faces of the cube and of the hole exact.
        const int sIndex = std::max({std::abs(2 * i - n), std::abs(2 * j - n), std::abs(2 * k - n)});
        const bool onOuter = sIndex == n, onInner = hole > 0 && sIndex == 2 * hole;
        for (int c = 0; c < 3; ++c) {
          const bool dominant = std::abs(2 * g[c] - n) == sIndex;
          const double d = random.uniform(-jitter, jitter) * h;
          if ((onOuter || onInner) && dominant) continue;
          p[c] += d;
        }
        mesh.points.insert(mesh.points.end(), p, p + 3);
      }
  // Each cube is split along the same diagonal, or (mirrored) along the diagonal that points away
  // from the centre, mirrored across the mid-planes: both keep the faces matching, and the mirrored
  // split keeps every tetrahedron on one side of the planes |x| = |y|, |y| = |z|, |x| = |z|, where
  // the shell's radial map bends.
  static const int perms[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {0, 2, 1}, {2, 1, 0}, {1, 0, 2}};
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        if (inHole(i, j, k)) continue;
        const int cell[3] = {i, j, k};
        int from[3], step[3];
        for (int c = 0; c < 3; ++c) {
          const bool lower = mirrored && 2 * cell[c] + 1 < n;
          from[c] = lower ? cell[c] + 1 : cell[c];
          step[c] = lower ? -1 : 1;
        }
        for (int p = 0; p < 6; ++p) {
          int g[3] = {from[0], from[1], from[2]};
          int corner[4][3];
          for (int c = 0; c < 3; ++c) corner[0][c] = g[c];
          for (int s = 0; s < 2; ++s) {
            g[perms[p][s]] += step[perms[p][s]];
            for (int c = 0; c < 3; ++c) corner[s + 1][c] = g[c];
          }
          for (int c = 0; c < 3; ++c) corner[3][c] = from[c] + step[c];
          uint32_t v[4];
          for (int q = 0; q < 4; ++q) v[q] = index[id(corner[q][0], corner[q][1], corner[q][2])];
          // Positive orientation on the grid.
          int e[3][3];
          for (int q = 0; q < 3; ++q)
            for (int c = 0; c < 3; ++c) e[q][c] = corner[q + 1][c] - corner[0][c];
          const int det = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) - e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
                          e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
          if (det < 0) std::swap(v[1], v[2]);
          mesh.tets.insert(mesh.tets.end(), v, v + 4);
        }
      }
}

double blobs(const double p[3]) {
  static const struct {
    double c[3], sigma, a;
  } g[] = {{{-0.45, -0.30, 0.20}, 0.32, 1.00}, {{0.40, 0.35, -0.25}, 0.38, 0.85},
           {{0.10, -0.50, -0.45}, 0.28, 0.70}, {{-0.30, 0.45, 0.50}, 0.30, 0.90},
           {{0.55, -0.20, 0.45}, 0.26, 0.65}, {{-0.05, 0.05, -0.05}, 0.42, 0.55}};
  double f = 0;
  for (const auto& b : g) {
    const double dx = p[0] - b.c[0], dy = p[1] - b.c[1], dz = p[2] - b.c[2];
    f += b.a * std::exp(-(dx * dx + dy * dy + dz * dz) / (2 * b.sigma * b.sigma));
  }
  return f;
}

double marschnerLobb(const double p[3]) {
  const double alpha = 0.25, fM = 6.0;
  const double r = std::sqrt(p[0] * p[0] + p[1] * p[1]);
  const double rho = std::cos(2 * kPi * fM * std::cos(kPi * r / 2));
  return (1 - std::sin(kPi * p[2] / 2) + alpha * (1 + rho)) / (2 * (1 + alpha));
}

int defaultN(const std::string& name) { return name == "shell" ? 58 : 55; }

} // namespace

const std::vector<std::string>& syntheticNames() {
  static const std::vector<std::string> names = {"blobs", "marschner-lobb", "shell"};
  return names;
}

bool parseSynthetic(const std::string& request, std::string& name, int& n) {
  const size_t colon = request.find(':');
  name = request.substr(0, colon);
  if (std::find(syntheticNames().begin(), syntheticNames().end(), name) == syntheticNames().end()) {
    pk::ErrorLine() << "unknown synthetic dataset \"" << name << "\" (known: blobs, marschner-lobb, shell)";
    return false;
  }
  n = defaultN(name);
  if (colon != std::string::npos) {
    int64_t v;
    if (!TextScanner::toInt(request.substr(colon + 1), v) || v < 2 || v > 400) {
      pk::ErrorLine() << "bad resolution in \"" << request << "\": N must be an integer from 2 to 400";
      return false;
    }
    n = int(v);
  }
  return true;
}

bool makeSynthetic(const std::string& name, int n, TetMesh& mesh) {
  mesh = TetMesh();
  Random random(0x5EED0000u + uint64_t(n));
  MeshField field;
  field.name = name;
  if (name == "shell") {
    if (n % 2) ++n;
    const int hole = std::max(1, n / 4);
    jitteredCube(n, hole, 0.15, true, random, mesh);
    // Map the cubical shell onto the spherical one: cube shells s = max|x_i| become spheres.
    const double s0 = 2.0 * hole / n;
    const size_t nv = mesh.vertexCount();
    field.values.resize(nv);
    for (size_t v = 0; v < nv; ++v) {
      double* p = &mesh.points[3 * v];
      const double s = std::max({std::fabs(p[0]), std::fabs(p[1]), std::fabs(p[2])});
      const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
      const double r = kShellInner + (s - s0) / (1.0 - s0) * (kShellOuter - kShellInner);
      for (int c = 0; c < 3; ++c) p[c] = p[c] / len * r;
      field.values[v] = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    }
  } else if (name == "blobs" || name == "marschner-lobb") {
    jitteredCube(n, 0, 0.2, false, random, mesh);
    const size_t nv = mesh.vertexCount();
    field.values.resize(nv);
    for (size_t v = 0; v < nv; ++v)
      field.values[v] = name == "blobs" ? blobs(&mesh.points[3 * v]) : marschnerLobb(&mesh.points[3 * v]);
  } else {
    pk::ErrorLine() << "unknown synthetic dataset \"" << name << "\"";
    return false;
  }
  mesh.fields.push_back(std::move(field));
  return true;
}

} // namespace vxb
