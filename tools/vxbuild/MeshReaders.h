// Readers of the tetrahedral mesh formats the builder accepts. Each reads the whole file, checks
// every count and index before it uses it, and on any fault prints one error naming the file and
// (for the text formats) the line, and returns false with `mesh` left in an unspecified state.
#pragma once

#include "Mesh.h"

#include <string>

namespace vxb {

// TetGen: PATH names the .node or the .ele file; the other is found beside it. Point attributes
// become the fields "attribute0", "attribute1", ...; quadratic (10-node) tetrahedra keep their
// corners.
bool readTetGen(const std::string& path, TetMesh& mesh);

// Gmsh ASCII meshes of format 2.2 or 4.1. Tetrahedra (4- and 10-node) are kept, points, lines and
// surface elements are skipped, other volume elements are refused. Every $NodeData block is a
// field named by its first string tag; a later block of the same name (a later time step)
// replaces an earlier one.
bool readGmsh(const std::string& path, TetMesh& mesh);

// VTK legacy (.vtk) and XML (.vtu) unstructured grids. Only present when the tool is built with
// VTK; otherwise prints that these formats are unavailable and returns false.
bool readVtk(const std::string& path, TetMesh& mesh);
bool vtkAvailable();

// Chooses the reader by the file's extension (.node, .ele, .msh, .vtk, .vtu).
bool readMesh(const std::string& path, TetMesh& mesh);

} // namespace vxb
