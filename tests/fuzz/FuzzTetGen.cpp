// Fuzz target: the builder's TetGen reader. The input holds both files: the .node file up to the
// first zero byte, the .ele file after it (no zero byte: an empty .ele file).
#include "FuzzFiles.h"
#include "FuzzMeshCheck.h"
#include "meshimport/MeshReaders.h"

#include <cstring>
#include <iostream>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* split = size ? static_cast<const std::uint8_t*>(std::memchr(data, 0, size)) : nullptr;
  const std::size_t nodeBytes = split ? std::size_t(split - data) : size;
  const std::size_t eleOffset = split ? nodeBytes + 1 : size;
  const std::string node = vxfuzz::scratchFile("mesh.node", data, nodeBytes);
  const std::string ele = vxfuzz::scratchFile("mesh.ele", data + eleOffset, size - eleOffset);
  if (node.empty() || ele.empty()) return 0;
  vxb::TetMesh mesh;
  if (vxb::readTetGen(node, mesh)) vxfuzz::checkMesh(mesh);
  return 0;
}
