// The faces of a tetrahedral mesh, sorted so that the faces two tetrahedra share lie next to each
// other: the face check of the mesh preparation and the boundary extraction both walk this list.
#pragma once

#include <cstdint>
#include <vector>

namespace vxb {

struct TetFace {
  uint32_t v[3];   // vertex ids, ascending
  uint32_t tet;    // the tetrahedron the face belongs to
  uint32_t corner; // 0..3: the tetrahedron's corner opposite the face
};

// The four faces of every tetrahedron (four vertex ids each in tets), ordered by their vertex ids
// and, among equal faces, by tetrahedron. Takes memory in proportion to the largest vertex id
// (the faces are grouped by vertex), so ids should be those of a mesh's vertex array.
std::vector<TetFace> sortedTetFaces(const std::vector<uint32_t>& tets);

// Whether two faces have the same three vertices.
inline bool sameFace(const TetFace& a, const TetFace& b) {
  return a.v[0] == b.v[0] && a.v[1] == b.v[1] && a.v[2] == b.v[2];
}

} // namespace vxb
