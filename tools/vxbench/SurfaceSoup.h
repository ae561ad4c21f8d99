// The surface as the output targets hold it, taken apart on the host: which tetrahedron slots
// cross the isovalue, whether each is a triangle or a quad, and the binary PLY file of them.
// Plain C++ over read-back arrays (four floats per texel, bottom window row first, W texels a row).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxbench {

struct PrimitiveCount {
  std::size_t triangles = 0;
  std::size_t quads = 0;
  PrimitiveCount& operator+=(const PrimitiveCount& o) {
    triangles += o.triangles;
    quads += o.quads;
    return *this;
  }
};

// Polygons with their own vertices (nothing shared): three or four corners each, positions and
// normals three floats per corner.
struct PolygonSoup {
  std::vector<float> positions;
  std::vector<float> normals;
  std::vector<std::uint8_t> corners; // 3 or 4 per polygon
  PrimitiveCount count;

  double area() const; // sum of the polygons' areas (quads as two triangles), double precision
};

// The slots of window rows [rowFirst, rowEnd) of one half's position target. A slot is four
// consecutive texels; it crosses when the w of all four is >= 0; it is a triangle when it repeats a
// vertex (v2 = v3 or v0 = v1, all four components equal), else a quad.
PrimitiveCount countPrimitives(const std::vector<float>& positions, int width, int rowFirst, int rowEnd);

// The same slots appended to soup as polygons, with the matching texels of the normal target
// (normalised; a zero gradient stays zero). A triangle (v0, v1, v2, v2) gives (v0, v1, v2), one
// (v0, v0, v2, v3) gives (v0, v2, v3); a quad keeps its order, which goes round its outline.
void appendPrimitives(const std::vector<float>& positions, const std::vector<float>& normals, int width,
                      int rowFirst, int rowEnd, PolygonSoup& soup);

// Texel-by-texel comparison of a read-back target with the reference's: xyz (and w where both are
// weights, w >= 0) within 1e-5 relative (absolute below 1), w exactly where either is a flag (< 0).
// Only window rows [rowFirst, rowEnd) are compared (rowEnd < 0: up to the last).
struct TargetDifference {
  std::size_t differing = 0; // values that differ
  std::string first;         // where the first one is, and both values
  bool same() const { return differing == 0; }
};
TargetDifference compareTargets(const std::vector<float>& gpu, const std::vector<float>& reference, int width,
                                int rowFirst = 0, int rowEnd = -1);

// Writes soup as a binary little-endian PLY: vertices with x y z nx ny nz (float), faces as a
// uchar-counted list of int indices. False after an error line when the file cannot be written.
bool writePly(const std::string& path, const PolygonSoup& soup);

} // namespace vxbench
