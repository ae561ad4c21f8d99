// Marching tetrahedra straight from the prepared mesh, in double precision: the independent check
// of a written cache. A tetrahedron A, B, C, D (ascending values a <= b <= c <= d) gives, like the
// extraction, a triangle on AB, AC, AD when a <= iso < b, a quad on AC, AD, BD, BC (two triangles)
// when b <= iso <= c, and a triangle on AD, BD, CD when c < iso <= d.
#pragma once

#include "meshimport/MeshPrep.h"

#include <cstddef>

namespace vxb {

struct MarchingResult {
  size_t triangles = 0;
  double area = 0.0;
};

// Positions from the input coordinates, values the normalised field; iso on the normalised scale.
MarchingResult marchingTets(const PreparedMesh& mesh, float iso);

} // namespace vxb
