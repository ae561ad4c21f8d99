// From a mesh and its chosen scalar to what the layout needs: unused vertices dropped, cells
// checked, the field normalised to [0, 1], the box centred at the origin, per-vertex gradients,
// and every tetrahedron's vertices ordered by value.
#pragma once

#include "meshimport/Mesh.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vxb {

struct PreparedMesh {
  std::vector<float> positions;   // x, y, z per vertex, translated by -translation
  std::vector<float> values;      // the field normalised to [0, 1]
  std::vector<float> gradients;   // x, y, z per vertex: gradient of the piecewise-linear field
  std::vector<uint32_t> tets;     // four per tetrahedron as A, B, C, D: ascending value, ties by index
  std::vector<double> sourcePoints; // the vertices' input coordinates (for checks against the input)
  std::vector<double> sourceValues; // the field's input values
  double dataMin = 0, dataMax = 0;  // input range of the field
  double translation[3] = {0, 0, 0};
  float boxMin[3] = {0, 0, 0}, boxMax[3] = {0, 0, 0}; // of `positions`
  // Faces that belong to one tetrahedron only, found by the face check: the tetrahedron and its
  // corner in `tets` opposite the face, pair after pair, in the order of sortedTetFaces.
  std::vector<uint32_t> boundaryFaces;
  size_t droppedVertices = 0;     // input vertices that no kept tetrahedron uses
  size_t degenerateTets = 0;      // input tetrahedra without volume, dropped
  size_t turnedTets = 0;          // input tetrahedra oriented against the rest, turned around

  size_t vertexCount() const { return values.size(); }
  size_t tetCount() const { return tets.size() / 4; }
};

// Checks and prepares. Tetrahedra without volume (a repeated corner, or (nearly) coplanar corners)
// are dropped and those oriented against the majority turned around (two corners swapped); both are
// counted. Fails with one error line for: a field value that is not finite, a mesh of degenerate
// tetrahedra only, a face shared by more than two tetrahedra or two tetrahedra on the same side of
// their common face (overlapping cells), a constant field.
bool prepareMesh(const TetMesh& mesh, const std::vector<double>& scalar, bool keepOrigin,
                 PreparedMesh& out);

// Orders the four vertices of tetrahedron t of `tets` by (value, index).
void orderByValue(const std::vector<float>& values, uint32_t tet[4]);

} // namespace vxb
