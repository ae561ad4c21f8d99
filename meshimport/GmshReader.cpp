#include "meshimport/MeshReaders.h"
#include "meshimport/TextScanner.h"

#include <unordered_map>

namespace vxb {

namespace {

constexpr int64_t kMaxCount = int64_t(1) << 31;

// Nodes per element type and the type's dimension (-1: unknown type).
struct ElementKind {
  int nodes;
  int dim;
  bool tet;
};

ElementKind elementKind(int64_t type) {
  switch (type) {
  case 15: return {1, 0, false};
  case 1: return {2, 1, false};
  case 8: return {3, 1, false};
  case 26: return {4, 1, false};
  case 27: return {5, 1, false};
  case 28: return {6, 1, false};
  case 2: return {3, 2, false};
  case 3: return {4, 2, false};
  case 9: return {6, 2, false};
  case 10: return {9, 2, false};
  case 16: return {8, 2, false};
  case 20: return {9, 2, false};
  case 21: return {10, 2, false};
  case 22: return {12, 2, false};
  case 23: return {15, 2, false};
  case 24: return {15, 2, false};
  case 25: return {21, 2, false};
  case 4: return {4, 3, true};
  case 11: return {10, 3, true};
  case 29: return {20, 3, true};
  case 30: return {35, 3, true};
  case 31: return {56, 3, true};
  case 5: return {8, 3, false};
  case 6: return {6, 3, false};
  case 7: return {5, 3, false};
  case 12: return {27, 3, false};
  case 13: return {18, 3, false};
  case 14: return {14, 3, false};
  case 17: return {20, 3, false};
  case 18: return {15, 3, false};
  case 19: return {13, 3, false};
  case 92: return {64, 3, false};
  case 93: return {125, 3, false};
  default: return {0, -1, false};
  }
}

// The shape of a volume element type; its corners are its first nodes.
CellShape volumeShape(int64_t type) {
  switch (type) {
  case 5: case 12: case 17: case 92: case 93: return CellShape::Hexahedron;
  case 6: case 13: case 18: return CellShape::Prism;
  case 7: case 14: case 19: return CellShape::Pyramid;
  default: return CellShape::Tetrahedron;
  }
}

std::string unquote(std::string_view line) {
  size_t b = line.find_first_not_of(" \t\r");
  size_t e = line.find_last_not_of(" \t\r");
  if (b == std::string_view::npos) return std::string();
  std::string_view t = line.substr(b, e - b + 1);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  return std::string(t);
}

struct GmshState {
  TextScanner s;
  TetMesh& mesh;
  bool v4 = false;
  bool haveNodes = false, haveElements = false;
  std::vector<int32_t> tagIndex;                 // dense node tag -> index
  std::unordered_map<int64_t, int32_t> tagMap;   // sparse node tags
  bool dense = true;
  std::vector<std::vector<char>> fieldPresent;
  size_t skippedLower = 0;
  bool quadratic = false;
  bool mixed = false; // volume cells go to mesh.cellShapes and cellCorners

  explicit GmshState(TetMesh& m) : mesh(m) {}

  int64_t nodeIndex(int64_t tag) const {
    if (dense) return tag >= 0 && tag < int64_t(tagIndex.size()) ? tagIndex[size_t(tag)] : -1;
    const auto it = tagMap.find(tag);
    return it == tagMap.end() ? -1 : it->second;
  }

  bool expectLine(const char* what) {
    if (!s.nextLine()) return s.failFile(std::string("ends early, expected ") + what);
    return true;
  }

  bool expectEnd(const std::string& name) {
    if (!expectLine(("$End" + name).c_str())) return false;
    if (s.tokens().size() != 1 || s.tokens()[0] != "$End" + name)
      return s.fail("expected $End" + name + ", found \"" + std::string(s.tokens()[0]) + "\"");
    return true;
  }

  bool countOn(size_t i, int64_t& v, const char* what) {
    if (!s.intAt(i, v, what)) return false;
    if (v < 0 || v >= kMaxCount) return s.fail(std::string("bad ") + what);
    return true;
  }

  bool exactTokens(size_t n) {
    if (s.tokens().size() != n)
      return s.fail("expected " + std::to_string(n) + " values, found " + std::to_string(s.tokens().size()));
    return true;
  }

  bool addNode(int64_t tag, const double xyz[3]) {
    if (tag < 1) return s.fail("node tags must be positive, found " + std::to_string(tag));
    const size_t index = mesh.vertexCount();
    // The dense table stays within a few entries per node read; larger tags move it to a map.
    if (dense && tag > 4 * int64_t(index) + 1024) {
      for (size_t t = 0; t < tagIndex.size(); ++t)
        if (tagIndex[t] >= 0) tagMap.emplace(int64_t(t), tagIndex[t]);
      tagIndex.clear();
      dense = false;
    }
    if (dense) {
      if (tag < int64_t(tagIndex.size()) && tagIndex[size_t(tag)] >= 0)
        return s.fail("node " + std::to_string(tag) + " is defined twice");
      if (size_t(tag) >= tagIndex.size()) tagIndex.resize(size_t(tag) + 1, -1);
      tagIndex[size_t(tag)] = int32_t(index);
    } else if (!tagMap.emplace(tag, int32_t(index)).second) {
      return s.fail("node " + std::to_string(tag) + " is defined twice");
    }
    mesh.points.insert(mesh.points.end(), xyz, xyz + 3);
    return true;
  }

  // Checks an element's type and node tags (tokens from `first` on) and keeps it if it is a volume
  // element, by its corners.
  bool addElement(int64_t number, int64_t type, size_t first) {
    const ElementKind kind = elementKind(type);
    if (kind.dim < 0) return s.fail("element " + std::to_string(number) + " has the unknown type " + std::to_string(type));
    if (!exactTokens(first + size_t(kind.nodes))) return false;
    uint32_t corners[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int k = 0; k < kind.nodes; ++k) {
      int64_t tag;
      if (!s.intAt(first + size_t(k), tag, "a node tag")) return false;
      const int64_t index = nodeIndex(tag);
      if (index < 0)
        return s.fail("element " + std::to_string(number) + " refers to node " + std::to_string(tag) + ", which is not defined");
      if (k < 8) corners[k] = uint32_t(index);
    }
    if (kind.dim != 3) {
      ++skippedLower;
      return true;
    }
    const CellShape shape = volumeShape(type);
    const int n = cornerCount(shape);
    if (kind.nodes > n) quadratic = true;
    // Gmsh's prism has its first triangle facing the second, VTK's facing away.
    if (shape == CellShape::Prism) {
      std::swap(corners[1], corners[2]);
      std::swap(corners[4], corners[5]);
    }
    if (shape != CellShape::Tetrahedron && !mixed) {
      // From the first other shape on, all volume cells are kept in order for splitting.
      mesh.cellShapes.assign(mesh.tetCount(), CellShape::Tetrahedron);
      mesh.cellCorners = std::move(mesh.tets);
      mesh.tets.clear();
      mixed = true;
    }
    if (!mixed) {
      mesh.tets.insert(mesh.tets.end(), corners, corners + 4);
    } else {
      mesh.cellShapes.push_back(shape);
      mesh.cellCorners.insert(mesh.cellCorners.end(), corners, corners + n);
    }
    return true;
  }

  bool readNodes2() {
    int64_t n;
    if (!expectLine("the node count") || !exactTokens(1) || !countOn(0, n, "node count")) return false;
    if (n == 0) return s.fail("no nodes");
    for (int64_t i = 0; i < n; ++i) {
      if (!expectLine("a node")) return false;
      if (!exactTokens(4)) return false;
      int64_t tag;
      double xyz[3];
      if (!s.intAt(0, tag, "a node tag")) return false;
      for (int c = 0; c < 3; ++c)
        if (!s.finiteAt(1 + size_t(c), xyz[c], "a finite coordinate")) return false;
      if (!addNode(tag, xyz)) return false;
    }
    return expectEnd("Nodes");
  }

  bool readNodes4() {
    int64_t blocks, n, minTag, maxTag;
    if (!expectLine("the node section header") || !exactTokens(4)) return false;
    if (!countOn(0, blocks, "entity block count") || !countOn(1, n, "node count") ||
        !s.intAt(2, minTag, "the smallest node tag") || !s.intAt(3, maxTag, "the largest node tag"))
      return false;
    if (n == 0) return s.fail("no nodes");
    int64_t total = 0;
    for (int64_t b = 0; b < blocks; ++b) {
      int64_t dim, entity, parametric, count;
      if (!expectLine("a node block header") || !exactTokens(4)) return false;
      if (!s.intAt(0, dim, "the entity dimension") || !s.intAt(1, entity, "the entity tag") ||
          !s.intAt(2, parametric, "the parametric flag") || !countOn(3, count, "node count"))
        return false;
      if (dim < 0 || dim > 3) return s.fail("bad entity dimension " + std::to_string(dim));
      if (parametric != 0 && parametric != 1) return s.fail("the parametric flag must be 0 or 1");
      if (count > n - total) return s.fail("the node blocks hold more nodes than the section header says");
      std::vector<int64_t> tags(static_cast<size_t>(count));
      for (auto& tag : tags) {
        if (!expectLine("a node tag") || !exactTokens(1) || !s.intAt(0, tag, "a node tag")) return false;
        if (tag < minTag || tag > maxTag) return s.fail("node tag " + std::to_string(tag) + " is outside the range of the section header");
      }
      const size_t perLine = 3 + (parametric ? size_t(dim) : 0);
      for (int64_t tag : tags) {
        if (!expectLine("node coordinates") || !exactTokens(perLine)) return false;
        double xyz[3];
        for (int c = 0; c < 3; ++c)
          if (!s.finiteAt(size_t(c), xyz[c], "a finite coordinate")) return false;
        if (!addNode(tag, xyz)) return false;
      }
      total += count;
    }
    if (total != n) return s.fail("the node blocks hold " + std::to_string(total) + " nodes, the header says " + std::to_string(n));
    return expectEnd("Nodes");
  }

  bool readElements2() {
    int64_t n;
    if (!expectLine("the element count") || !exactTokens(1) || !countOn(0, n, "element count")) return false;
    for (int64_t i = 0; i < n; ++i) {
      if (!expectLine("an element")) return false;
      int64_t number, type, tags;
      if (!s.intAt(0, number, "the element number") || !s.intAt(1, type, "the element type") ||
          !s.intAt(2, tags, "the number of tags"))
        return false;
      if (tags < 0 || tags > 100) return s.fail("bad number of element tags");
      if (!addElement(number, type, 3 + size_t(tags))) return false;
    }
    return expectEnd("Elements");
  }

  bool readElements4() {
    int64_t blocks, n, minTag, maxTag;
    if (!expectLine("the element section header") || !exactTokens(4)) return false;
    if (!countOn(0, blocks, "entity block count") || !countOn(1, n, "element count") ||
        !s.intAt(2, minTag, "the smallest element tag") || !s.intAt(3, maxTag, "the largest element tag"))
      return false;
    int64_t total = 0;
    for (int64_t b = 0; b < blocks; ++b) {
      int64_t dim, entity, type, count;
      if (!expectLine("an element block header") || !exactTokens(4)) return false;
      if (!s.intAt(0, dim, "the entity dimension") || !s.intAt(1, entity, "the entity tag") ||
          !s.intAt(2, type, "the element type") || !countOn(3, count, "element count"))
        return false;
      if (count > n - total) return s.fail("the element blocks hold more elements than the section header says");
      const ElementKind kind = elementKind(type);
      if (kind.dim >= 0 && kind.dim != dim)
        return s.fail("element type " + std::to_string(type) + " does not belong to an entity of dimension " + std::to_string(dim));
      for (int64_t i = 0; i < count; ++i) {
        if (!expectLine("an element")) return false;
        int64_t number;
        if (!s.intAt(0, number, "the element tag")) return false;
        if (!addElement(number, type, 1)) return false;
      }
      total += count;
    }
    if (total != n) return s.fail("the element blocks hold " + std::to_string(total) + " elements, the header says " + std::to_string(n));
    return expectEnd("Elements");
  }

  bool readNodeData() {
    int64_t strings, reals, ints;
    if (!expectLine("the number of string tags") || !exactTokens(1) || !countOn(0, strings, "number of string tags")) return false;
    std::string name;
    for (int64_t i = 0; i < strings; ++i) {
      if (!expectLine("a string tag")) return false;
      if (i == 0) name = unquote(s.line());
    }
    if (name.empty()) name = "field" + std::to_string(mesh.fields.size());
    if (!expectLine("the number of real tags") || !exactTokens(1) || !countOn(0, reals, "number of real tags")) return false;
    for (int64_t i = 0; i < reals; ++i) {
      double v;
      if (!expectLine("a real tag") || !exactTokens(1) || !s.doubleAt(0, v, "a real tag")) return false;
    }
    if (!expectLine("the number of integer tags") || !exactTokens(1) || !countOn(0, ints, "number of integer tags")) return false;
    if (ints < 3) return s.fail("a node data block needs at least 3 integer tags (time step, components, values)");
    int64_t intTags[3] = {0, 0, 0};
    for (int64_t i = 0; i < ints; ++i) {
      int64_t v;
      if (!expectLine("an integer tag") || !exactTokens(1) || !s.intAt(0, v, "an integer tag")) return false;
      if (i < 3) intTags[i] = v;
    }
    const int64_t comps = intTags[1], count = intTags[2];
    if (comps < 1 || comps > 9) return s.fail("bad number of components " + std::to_string(comps));
    if (count < 0 || count >= kMaxCount) return s.fail("bad number of values");
    const size_t nv = mesh.vertexCount();
    MeshField field;
    field.name = name;
    field.components = int(comps);
    field.values.assign(nv * size_t(comps), 0.0);
    std::vector<char> present(nv, 0);
    for (int64_t i = 0; i < count; ++i) {
      if (!expectLine("a node value") || !exactTokens(1 + size_t(comps))) return false;
      int64_t tag;
      if (!s.intAt(0, tag, "a node tag")) return false;
      const int64_t index = nodeIndex(tag);
      if (index < 0) return s.fail("field \"" + name + "\" gives a value for node " + std::to_string(tag) + ", which is not defined");
      if (present[size_t(index)]) return s.fail("field \"" + name + "\" gives node " + std::to_string(tag) + " two values");
      present[size_t(index)] = 1;
      for (int64_t c = 0; c < comps; ++c)
        if (!s.doubleAt(1 + size_t(c), field.values[size_t(index) * size_t(comps) + size_t(c)], "a field value")) return false;
    }
    if (!expectEnd("NodeData")) return false;
    for (size_t f = 0; f < mesh.fields.size(); ++f)
      if (mesh.fields[f].name == name) {
        mesh.fields[f] = std::move(field);
        fieldPresent[f] = std::move(present);
        return true;
      }
    mesh.fields.push_back(std::move(field));
    fieldPresent.push_back(std::move(present));
    return true;
  }

  bool skipSection(const std::string& name) {
    const std::string end = "$End" + name;
    while (s.nextLine())
      if (s.tokens()[0] == end) return true;
    return s.failFile("section $" + name + " has no " + end);
  }

  bool read() {
    if (!s.nextLine() || s.tokens()[0] != "$MeshFormat") return s.failFile("not a Gmsh mesh: it does not start with $MeshFormat");
    if (!expectLine("the format line") || !exactTokens(3)) return false;
    const std::string version(s.tokens()[0]);
    if (version == "4.1")
      v4 = true;
    else if (version != "2.2")
      return s.fail("format version " + version + " is not supported (2.2 or 4.1 ASCII)");
    if (s.tokens()[1] != "0") return s.fail("binary .msh files are not supported; save the mesh as ASCII");
    if (!expectEnd("MeshFormat")) return false;
    while (s.nextLine()) {
      const std::string_view head = s.tokens()[0];
      if (head.empty() || head[0] != '$' || s.tokens().size() != 1)
        return s.fail("expected a section such as $Nodes, found \"" + std::string(head) + "\"");
      const std::string name(head.substr(1));
      if (name == "Nodes") {
        if (haveNodes) return s.fail("a second $Nodes section");
        if (!(v4 ? readNodes4() : readNodes2())) return false;
        haveNodes = true;
      } else if (name == "Elements") {
        if (!haveNodes) return s.fail("$Elements before $Nodes");
        if (haveElements) return s.fail("a second $Elements section");
        if (!(v4 ? readElements4() : readElements2())) return false;
        haveElements = true;
      } else if (name == "NodeData") {
        if (!haveNodes) return s.fail("$NodeData before $Nodes");
        if (!readNodeData()) return false;
      } else if (name == "MeshFormat") {
        return s.fail("a second $MeshFormat section");
      } else if (!skipSection(name)) {
        return false;
      }
    }
    if (!haveNodes) return s.failFile("no $Nodes section");
    if (!haveElements) return s.failFile("no $Elements section");
    if (mesh.tets.empty() && mesh.cellShapes.empty()) return s.failFile("no volume elements among the elements");
    // Every vertex that a volume element uses needs a value of every field.
    std::vector<char> used(mesh.vertexCount(), 0);
    for (uint32_t v : mesh.tets) used[v] = 1;
    for (uint32_t v : mesh.cellCorners) used[v] = 1;
    for (size_t f = 0; f < mesh.fields.size(); ++f)
      for (size_t v = 0; v < used.size(); ++v)
        if (used[v] && !fieldPresent[f][v])
          return s.failFile("field \"" + mesh.fields[f].name + "\" has no value for a node of the volume elements (vertex " +
                            std::to_string(v) + " in file order)");
    if (skippedLower)
      mesh.notes.push_back(std::to_string(skippedLower) + " point, line and surface elements skipped");
    if (quadratic) mesh.notes.push_back("higher-order elements: their corner nodes are used");
    return true;
  }
};

} // namespace

bool readGmsh(const std::string& path, TetMesh& mesh) {
  mesh = TetMesh();
  GmshState state(mesh);
  if (!state.s.load(path)) return false;
  return state.read();
}

} // namespace vxb
