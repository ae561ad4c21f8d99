// A prepared mesh handed to VTK: its tetrahedra as a vtkUnstructuredGrid, the normalised field as
// the point scalars "value". For contouring the very mesh a dataset is built from (the benchmark's
// VTK side, the tests' outside oracle). Only in builds with VTK.
#pragma once

#include "meshimport/MeshPrep.h"

#include <vtkSmartPointer.h>
#include <vtkUnstructuredGrid.h>

namespace vxb {

vtkSmartPointer<vtkUnstructuredGrid> vtkGridOf(const PreparedMesh& mesh);

} // namespace vxb
