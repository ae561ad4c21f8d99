// Readers of the tetrahedral mesh formats the builder accepts. Each reads the whole file, checks
// every count and index before it uses it, and on any fault prints one error naming the file and
// (for the text formats) the line, and returns false with `mesh` left in an unspecified state.
#pragma once

#include "meshimport/Mesh.h"

#include <string>
#include <vector>

namespace vxb {

// TetGen: PATH names the .node or the .ele file; the other is found beside it. Point attributes
// become the fields "attribute0", "attribute1", ...; quadratic (10-node) tetrahedra keep their
// corners.
bool readTetGen(const std::string& path, TetMesh& mesh);

// Gmsh ASCII meshes of format 2.2 or 4.1. Volume elements are kept by their corners (tetrahedra
// in mesh.tets; when there are hexahedra, prisms or pyramids, all of them in mesh.cellShapes and
// cellCorners, for splitVolumeCells); points, lines and surface elements are skipped. Every
// $NodeData block is a field named by its first string tag; a later block of the same name (a
// later time step) replaces an earlier one.
bool readGmsh(const std::string& path, TetMesh& mesh);

// Splits mesh.cellShapes/cellCorners into tetrahedra with VTK (as the .vtu reader does), keeping
// the points, fields and notes. Without VTK, prints that it is unavailable and returns false.
bool splitVolumeCells(const std::string& path, TetMesh& mesh);

// What to take from inputs with time steps or blocks.
struct ReadOptions {
  bool haveTime = false;           // --time given
  double time = 0;                 // otherwise the first step is read
  std::vector<std::string> blocks; // when not empty: only blocks of these names
};

// VTK legacy (.vtk) and XML (.vtu) unstructured grids. Only present when the tool is built with
// VTK; otherwise prints that these formats are unavailable and returns false.
bool readVtk(const std::string& path, TetMesh& mesh);
bool vtkAvailable();

// The other formats that VTK reads, through its readers: parallel XML (.pvtu), ParaView data
// collections (.pvd), Exodus II (.exo, .e, .g, .ex2), OpenFOAM cases (controlDict or a .foam
// file), CGNS (.cgns), EnSight (.case) and Fluent (.cas with its .dat). Blocks and pieces are
// merged into one grid (coincident points joined); point fields come first, cell fields that have
// no point field of the same name are averaged onto the points; quadratic and higher-order cells
// keep their corners; other cells are split into tetrahedra. The summary notes list the time steps
// and blocks there are.
bool readVtkFormat(const std::string& path, const ReadOptions& options, TetMesh& mesh);

// True when the name is one that readVtkFormat reads.
bool isVtkFormat(const std::string& path);

// Chooses the reader by the file's extension (.node, .ele, .msh, .vtk, .vtu and those of
// readVtkFormat).
bool readMesh(const std::string& path, TetMesh& mesh, const ReadOptions& options = ReadOptions());

} // namespace vxb
