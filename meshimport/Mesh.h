// The tetrahedral mesh as the builder holds it between reading and laying out: vertex positions
// and point fields in double precision, four vertex indices per tetrahedron.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxb {

// A point field: `components` values per vertex, vertex after vertex.
struct MeshField {
  std::string name;
  int components = 1;
  std::vector<double> values;
};

// Volume cells that a reader keeps when not all of them are tetrahedra; they are split into
// tetrahedra (by VTK) before the mesh is used. Corners in VTK's order for the shape.
enum class CellShape : uint8_t { Tetrahedron, Hexahedron, Prism, Pyramid };
int cornerCount(CellShape shape);

struct TetMesh {
  std::vector<double> points;  // x, y, z per vertex
  std::vector<uint32_t> tets;  // four zero-based vertex indices per tetrahedron
  // When not empty: every volume cell in input order (tets then stays empty until the cells are
  // split), its corners one shape after the other in cellCorners.
  std::vector<CellShape> cellShapes;
  std::vector<uint32_t> cellCorners;
  std::vector<MeshField> fields;
  std::vector<std::string> notes;  // what the reader did to the input, for the summary

  size_t vertexCount() const { return points.size() / 3; }
  size_t tetCount() const { return tets.size() / 4; }
};

// How a scalar is taken from the mesh's fields.
struct FieldChoice {
  std::string name;       // empty: the only field, or the first one with a note
  int component = -1;     // >= 0: that component of a vector field
  bool magnitude = false; // the Euclidean length of a vector field
};

// Picks the scalar per vertex. On failure prints an error naming the fields there are and returns
// false. `label` receives the field's name and how it was reduced, for the summary.
bool selectField(const TetMesh& mesh, const FieldChoice& choice, std::vector<double>& scalar,
                 std::string& label);

} // namespace vxb
