#include "meshimport/FieldFunctions.h"

#include "PkDiag.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vxb {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Box {
  double lo[3], size[3];
};

Box boundingBox(const TetMesh& mesh) {
  Box box;
  double hi[3];
  for (int c = 0; c < 3; ++c) {
    box.lo[c] = std::numeric_limits<double>::infinity();
    hi[c] = -std::numeric_limits<double>::infinity();
  }
  for (size_t v = 0; v < mesh.vertexCount(); ++v)
    for (int c = 0; c < 3; ++c) {
      box.lo[c] = std::min(box.lo[c], mesh.points[3 * v + c]);
      hi[c] = std::max(hi[c], mesh.points[3 * v + c]);
    }
  for (int c = 0; c < 3; ++c) {
    if (!(hi[c] >= box.lo[c])) box.lo[c] = hi[c] = 0; // no vertices, or coordinates that are not finite
    // A flat box (no valid tetrahedral mesh has one) keeps its coordinates unscaled.
    box.size[c] = hi[c] > box.lo[c] ? hi[c] - box.lo[c] : 1.0;
  }
  return box;
}

} // namespace

const std::vector<std::string>& fieldFunctionNames() {
  static const std::vector<std::string> names = {"smooth", "folded"};
  return names;
}

bool isFieldFunction(const std::string& name) {
  const auto& names = fieldFunctionNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool evaluateFieldFunction(const std::string& name, const TetMesh& mesh, std::vector<double>& scalar,
                           std::string& label) {
  if (!isFieldFunction(name)) {
    pk::ErrorLine() << "unknown field function \"" << name << "\" (known: smooth, folded)";
    return false;
  }
  const Box box = boundingBox(mesh);
  const size_t n = mesh.vertexCount();
  scalar.resize(n);
  if (name == "smooth") {
    static const double at[3] = {0.3, 0.4, 0.65};
    double centre[3];
    for (int c = 0; c < 3; ++c) centre[c] = box.lo[c] + at[c] * box.size[c];
    for (size_t v = 0; v < n; ++v) {
      const double* p = &mesh.points[3 * v];
      scalar[v] = std::sqrt((p[0] - centre[0]) * (p[0] - centre[0]) + (p[1] - centre[1]) * (p[1] - centre[1]) +
                            (p[2] - centre[2]) * (p[2] - centre[2]));
    }
  } else {
    const double k = 6 * kPi, phase = 0.4;
    for (size_t v = 0; v < n; ++v) {
      double f = 1;
      for (int c = 0; c < 3; ++c) f *= std::sin(k * (mesh.points[3 * v + c] - box.lo[c]) / box.size[c] + phase);
      scalar[v] = f;
    }
  }
  label = "function \"" + name + "\"";
  return true;
}

} // namespace vxb
