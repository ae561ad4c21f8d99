// Fuzz target: the geometry file parser, then the flat-shaded soups and a write/parse round trip of
// whatever it accepts.
#include "DatasetWriter.h"
#include "GeometryFile.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit); // the parser's console messages only slow the fuzzer down
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  GeometryData geometry;
  if (!parseGeometryBytes(data, size, "fuzz.vx", geometry)) return 0;
  std::vector<PkVec3f> positions, normals;
  for (int list = 0; list < 2; ++list) buildFlatTriangles(geometry, list, positions, normals);

  std::vector<unsigned char> bytes;
  GeometryData again;
  if (!writeGeometryBytes(geometry, bytes) || !parseGeometryBytes(bytes.data(), bytes.size(), "again.vx", again) ||
      again.triangles[0] != geometry.triangles[0] || again.triangles[1] != geometry.triangles[1] ||
      again.vertices.size() != geometry.vertices.size())
    std::abort();
  return 0;
}
