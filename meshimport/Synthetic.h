// Demo datasets: analytic fields on jittered unstructured tetrahedral meshes of about 6·N³ cells.
//   blobs          sum of Gaussians on the cube [-1, 1]³
//   marschner-lobb the Marschner–Lobb test signal on the cube [-1, 1]³
//   shell          the distance from the centre on a spherical shell 0.5 <= r <= 1 (a mesh with an
//                  inner boundary); every isosurface is a sphere of radius 0.5 + 0.5·iso
#pragma once

#include "meshimport/Mesh.h"

#include <string>
#include <vector>

namespace vxb {

const std::vector<std::string>& syntheticNames();

// Parses "NAME" or "NAME:N"; N defaults so that the dataset has about a million tetrahedra.
// Prints an error and returns false for an unknown name or a bad N (2 … 400).
bool parseSynthetic(const std::string& request, std::string& name, int& n);

// Builds the named dataset at resolution n. The field is named after the dataset.
bool makeSynthetic(const std::string& name, int n, TetMesh& mesh);

// Inner and outer radius of the shell dataset.
constexpr double kShellInner = 0.5;
constexpr double kShellOuter = 1.0;

} // namespace vxb
