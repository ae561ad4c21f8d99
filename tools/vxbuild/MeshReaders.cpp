#include "MeshReaders.h"

#include "PkDiag.h"

#include <cctype>

namespace vxb {

namespace {

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
#endif

bool readMesh(const std::string& path, TetMesh& mesh) {
  const std::string ext = lowerExtension(path);
  if (ext == ".node" || ext == ".ele") return readTetGen(path, mesh);
  if (ext == ".msh") return readGmsh(path, mesh);
  if (ext == ".vtk" || ext == ".vtu") return readVtk(path, mesh);
  pk::ErrorLine() << path << ": unknown mesh format \"" << ext
                  << "\" (known: .vtk, .vtu, .node/.ele, .msh)";
  return false;
}

} // namespace vxb
