// Analytic fields to put on a mesh that has none (or in place of its own), for benchmarks and
// tests on real geometry. Both are defined on the mesh's bounding box, so they suit any mesh:
//   smooth  the distance from the point at (0.3, 0.4, 0.65) of the box's extent: one family of
//           concentric spheres, each isosurface a single connected sheet
//   folded  sin(6 pi u + 0.4) sin(6 pi v + 0.4) sin(6 pi w + 0.4), with u, v, w the coordinates
//           scaled to [0, 1] over the box: three periods per axis, so a mid isovalue crosses the
//           whole model many times
// The builder normalises the values to [0, 1] as it does any field's.
#pragma once

#include "meshimport/Mesh.h"

#include <string>
#include <vector>

namespace vxb {

const std::vector<std::string>& fieldFunctionNames();

bool isFieldFunction(const std::string& name);

// The named function at every vertex of the mesh. False after an error line for an unknown name.
// `label` names the field for the builder's summary.
bool evaluateFieldFunction(const std::string& name, const TetMesh& mesh, std::vector<double>& scalar,
                           std::string& label);

} // namespace vxb
