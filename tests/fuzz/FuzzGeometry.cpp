// Fuzz target: the geometry file parser, then the flat-shaded soups and a write/parse round trip of
// whatever it accepts; the viewer's read of the boundary's vertices only must accept the same
// files and give the same soups, bit for bit.
#include "DatasetWriter.h"
#include "GeometryFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit); // the parser's console messages only slow the fuzzer down
  return 0;
}

namespace {
bool sameBits(const std::vector<PkVec3f>& a, const std::vector<PkVec3f>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(PkVec3f)) == 0);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  GeometryData geometry, boundary;
  const bool accepted = parseGeometryBytes(data, size, "fuzz.vx", geometry);
  if (parseGeometryBoundaryBytes(data, size, "fuzz.vx", boundary) != accepted) std::abort();
  if (!accepted) return 0;
  std::vector<PkVec3f> positions, normals, boundaryPositions, boundaryNormals;
  for (int list = 0; list < 2; ++list) {
    buildFlatTriangles(geometry, list, positions, normals);
    buildFlatTriangles(boundary, list, boundaryPositions, boundaryNormals);
    if (!sameBits(positions, boundaryPositions) || !sameBits(normals, boundaryNormals)) std::abort();
  }

  std::vector<unsigned char> bytes;
  GeometryData again;
  if (!writeGeometryBytes(geometry, bytes) || !parseGeometryBytes(bytes.data(), bytes.size(), "again.vx", again) ||
      again.triangles[0] != geometry.triangles[0] || again.triangles[1] != geometry.triangles[1] ||
      again.vertices.size() != geometry.vertices.size())
    std::abort();
  return 0;
}
