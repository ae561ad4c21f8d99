#include "meshimport/MeshReaders.h"

#include "PkDiag.h"

#include <cctype>

namespace vxb {

namespace {

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lowerExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  std::string e = path.substr(dot);
  for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

} // namespace

#ifndef VX_HAVE_VTK
bool vtkAvailable() { return false; }

bool readVtk(const std::string& path, TetMesh& mesh) {
  mesh = TetMesh();
  pk::ErrorLine() << path << ": VTK formats (.vtk, .vtu) are unavailable: this vxbuild was built without VTK";
  return false;
}

bool readVtkFormat(const std::string& path, const ReadOptions&, TetMesh& mesh) {
  mesh = TetMesh();
  pk::ErrorLine() << path << ": this format is read through VTK, and this vxbuild was built without VTK";
  return false;
}

bool splitVolumeCells(const std::string& path, TetMesh& mesh) {
  pk::ErrorLine() << path << ": hexahedra, prisms and pyramids are split into tetrahedra by VTK, and this vxbuild was built without VTK";
  mesh = TetMesh();
  return false;
}
#endif

bool isVtkFormat(const std::string& path) {
  const std::string ext = lowerExtension(path);
  for (const char* e : {".pvtu", ".pvd", ".exo", ".e", ".g", ".ex2", ".exii", ".foam", ".cgns", ".case", ".cas"})
    if (ext == e) return true;
  return baseName(path) == "controlDict";
}

bool readMesh(const std::string& path, TetMesh& mesh, const ReadOptions& options) {
  if (isVtkFormat(path)) return readVtkFormat(path, options, mesh);
  const std::string ext = lowerExtension(path);
  const bool known = ext == ".node" || ext == ".ele" || ext == ".msh" || ext == ".vtk" || ext == ".vtu";
  if (known && (options.haveTime || !options.blocks.empty())) {
    pk::ErrorLine() << path << ": --time and --block apply to formats with time steps and blocks (Exodus II, "
                    << "OpenFOAM, CGNS, EnSight, Fluent, .pvd, .pvtu), not to " << ext << " files";
    mesh = TetMesh();
    return false;
  }
  if (ext == ".node" || ext == ".ele") return readTetGen(path, mesh);
  if (ext == ".msh") {
    if (!readGmsh(path, mesh)) return false;
    return mesh.cellShapes.empty() || splitVolumeCells(path, mesh);
  }
  if (ext == ".vtk" || ext == ".vtu") return readVtk(path, mesh);
  pk::ErrorLine() << path << ": unknown mesh format \"" << ext
                  << "\" (known: .vtk, .vtu, .pvtu, .pvd, .node/.ele, .msh, .exo/.e/.g, controlDict/.foam, .cgns, .case, .cas)";
  return false;
}

} // namespace vxb
