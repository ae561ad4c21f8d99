#include "meshimport/MeshReaders.h"
#include "meshimport/TextScanner.h"

#include <sstream>

namespace vxb {

namespace {

std::string replaceExtension(const std::string& path, const std::string& ext) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

constexpr int64_t kMaxCount = int64_t(1) << 31;

bool readNodes(const std::string& path, TetMesh& mesh, int64_t& base) {
  TextScanner s;
  if (!s.load(path, '#')) return false;
  if (!s.nextLine()) return s.failFile("empty file, expected the node count line");
  int64_t count, dim, attributes = 0, markers = 0;
  if (!s.intAt(0, count, "the number of points")) return false;
  if (count <= 0 || count >= kMaxCount) return s.fail("the number of points must be between 1 and 2^31");
  if (!s.intAt(1, dim, "the dimension")) return false;
  if (dim != 3) return s.fail("the dimension must be 3, not " + std::to_string(dim));
  if (s.tokens().size() > 2 && !s.intAt(2, attributes, "the number of attributes")) return false;
  if (attributes < 0 || attributes > 1000) return s.fail("bad number of attributes");
  if (s.tokens().size() > 3 && !s.intAt(3, markers, "the number of boundary markers")) return false;
  if (markers != 0 && markers != 1) return s.fail("the number of boundary markers must be 0 or 1");
  if (s.tokens().size() > 4) return s.fail("too many values on the header line");

  // The arrays grow with the lines actually read, so a count the file cannot back costs nothing.
  const size_t n = size_t(count);
  const size_t perLine = 4 + size_t(attributes) + size_t(markers);
  mesh.fields.assign(size_t(attributes), MeshField());
  for (size_t a = 0; a < mesh.fields.size(); ++a) mesh.fields[a].name = "attribute" + std::to_string(a);
  for (size_t i = 0; i < n; ++i) {
    if (!s.nextLine())
      return s.failFile("ends after " + std::to_string(i) + " of " + std::to_string(n) + " points");
    if (s.tokens().size() != perLine) {
      std::ostringstream m;
      m << "expected " << perLine << " values (number, x, y, z" << (attributes ? ", attributes" : "")
        << (markers ? ", marker" : "") << "), found " << s.tokens().size();
      return s.fail(m.str());
    }
    int64_t number;
    if (!s.intAt(0, number, "the point number")) return false;
    if (i == 0) {
      if (number != 0 && number != 1) return s.fail("the first point must be numbered 0 or 1");
      base = number;
    } else if (number != base + int64_t(i)) {
      return s.fail("point numbers must be consecutive: expected " + std::to_string(base + int64_t(i)) +
                    ", found " + std::to_string(number));
    }
    for (int c = 0; c < 3; ++c) {
      double x;
      if (!s.finiteAt(1 + size_t(c), x, "a finite coordinate")) return false;
      mesh.points.push_back(x);
    }
    for (size_t a = 0; a < size_t(attributes); ++a) {
      double x;
      if (!s.doubleAt(4 + a, x, "an attribute value")) return false;
      mesh.fields[a].values.push_back(x);
    }
    if (markers) {
      int64_t m;
      if (!s.intAt(perLine - 1, m, "the boundary marker")) return false;
    }
  }
  if (s.nextLine()) return s.fail("unexpected data after the last point");
  return true;
}

bool readElements(const std::string& path, TetMesh& mesh, int64_t base) {
  TextScanner s;
  if (!s.load(path, '#')) return false;
  if (!s.nextLine()) return s.failFile("empty file, expected the tetrahedron count line");
  int64_t count, nodesPerTet, region = 0;
  if (!s.intAt(0, count, "the number of tetrahedra")) return false;
  if (count <= 0 || count >= kMaxCount) return s.fail("the number of tetrahedra must be between 1 and 2^31");
  if (!s.intAt(1, nodesPerTet, "the number of nodes per tetrahedron")) return false;
  if (nodesPerTet != 4 && nodesPerTet != 10)
    return s.fail("only tetrahedra with 4 or 10 nodes are supported, not " + std::to_string(nodesPerTet));
  if (s.tokens().size() > 2 && !s.intAt(2, region, "the region attribute flag")) return false;
  if (region != 0 && region != 1) return s.fail("the region attribute flag must be 0 or 1");
  if (s.tokens().size() > 3) return s.fail("too many values on the header line");

  const size_t n = size_t(count);
  const size_t perLine = 1 + size_t(nodesPerTet) + size_t(region);
  const int64_t vertices = int64_t(mesh.vertexCount());
  for (size_t t = 0; t < n; ++t) {
    if (!s.nextLine())
      return s.failFile("ends after " + std::to_string(t) + " of " + std::to_string(n) + " tetrahedra");
    if (s.tokens().size() != perLine)
      return s.fail("expected " + std::to_string(perLine) + " values, found " + std::to_string(s.tokens().size()));
    int64_t number;
    if (!s.intAt(0, number, "the tetrahedron number")) return false;
    for (size_t k = 0; k < size_t(nodesPerTet); ++k) {
      int64_t v;
      if (!s.intAt(1 + k, v, "a node number")) return false;
      if (v < base || v - base >= vertices)
        return s.fail("node " + std::to_string(v) + " of tetrahedron " + std::to_string(number) +
                      " is not in the .node file (" + std::to_string(base) + " .. " +
                      std::to_string(base + vertices - 1) + ")");
      if (k < 4) mesh.tets.push_back(uint32_t(v - base));
    }
    if (region) {
      double r;
      if (!s.doubleAt(perLine - 1, r, "the region attribute")) return false;
    }
  }
  if (s.nextLine()) return s.fail("unexpected data after the last tetrahedron");
  if (nodesPerTet == 10) mesh.notes.push_back("quadratic tetrahedra: their corner nodes are used");
  return true;
}

} // namespace

bool readTetGen(const std::string& path, TetMesh& mesh) {
  mesh = TetMesh();
  int64_t base = 0;
  if (!readNodes(replaceExtension(path, ".node"), mesh, base)) return false;
  if (!readElements(replaceExtension(path, ".ele"), mesh, base)) return false;
  return true;
}

} // namespace vxb
