// Fuzz target: the builder's Gmsh reader (ASCII formats 2.2 and 4.1) over a whole .msh file.
#include "FuzzFiles.h"
#include "FuzzMeshCheck.h"
#include "meshimport/MeshReaders.h"

#include <iostream>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = vxfuzz::scratchFile("mesh.msh", data, size);
  if (path.empty()) return 0;
  vxb::TetMesh mesh;
  if (vxb::readGmsh(path, mesh)) vxfuzz::checkMesh(mesh);
  return 0;
}
