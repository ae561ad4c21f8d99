// What every mesh a reader accepts must satisfy, whatever the input was.
#pragma once

#include "meshimport/Mesh.h"

#include <cstdlib>

namespace vxfuzz {

inline void checkMesh(const vxb::TetMesh& mesh) {
  if (mesh.points.size() % 3 != 0 || mesh.tets.size() % 4 != 0) std::abort();
  // Tetrahedra, or volume cells of other shapes kept by their corners until they are split.
  if (mesh.vertexCount() == 0 || (mesh.tetCount() == 0 && mesh.cellShapes.empty())) std::abort();
  for (std::uint32_t v : mesh.tets)
    if (v >= mesh.vertexCount()) std::abort();
  std::size_t corners = 0;
  for (vxb::CellShape shape : mesh.cellShapes) corners += std::size_t(vxb::cornerCount(shape));
  if (corners != mesh.cellCorners.size()) std::abort();
  for (std::uint32_t v : mesh.cellCorners)
    if (v >= mesh.vertexCount()) std::abort();
  for (const vxb::MeshField& f : mesh.fields)
    if (f.components < 1 || f.values.size() != mesh.vertexCount() * std::size_t(f.components)) std::abort();
}

} // namespace vxfuzz
