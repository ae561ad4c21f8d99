// The boundary of a tetrahedral mesh as the geometry file's two triangle lists: faces that belong
// to one tetrahedron only, oriented outwards (right-handed normal pointing out of the mesh), split
// into connected components. Components that touch the bounding box of the vertices form list 0
// (the outer boundary), all others list 1 (inner boundaries: holes and obstacles).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxb {

struct BoundaryLists {
  std::vector<int32_t> triangles[2]; // three vertex indices per triangle
  size_t components[2] = {0, 0};
};

// positions: x, y, z per vertex; tets: four vertex indices per tetrahedron (any orientation).
void extractBoundary(const std::vector<float>& positions, const std::vector<uint32_t>& tets,
                     BoundaryLists& out);
// The same from the boundary faces that the preparation found while it checked the faces
// (faces: the tetrahedron and its corner (0 … 3) opposite the face, pair after pair, in the order
// of sortedTetFaces).
void extractBoundary(const std::vector<float>& positions, const std::vector<uint32_t>& tets,
                     const std::vector<uint32_t>& faces, BoundaryLists& out);

} // namespace vxb
