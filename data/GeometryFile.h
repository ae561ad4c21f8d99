// The geometry file (".vx"): the mesh's vertices and two lists of boundary triangles.
//
//   uint32 0xDEADBEEF, uint32 V, uint32 T0, uint32 T1,
//   V × 3 float32 positions, T0 × 3 int32 indices (list 0), T1 × 3 int32 indices (list 1),
//   uint32 0xBEEFDEAD
//
// little-endian, no padding; nothing after the end word is read.
//
// Parsing is the first half of opening a dataset: it reads and checks the whole file into plain
// host memory and changes nothing else, so that a file it refuses leaves the viewer as it was. The
// engine then builds the flat-shaded triangle soups (buildFlatTriangles) and uploads them.
#pragma once

#include "PkTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t kGeometryStartMagic = 0xDEADBEEFu;
constexpr std::uint32_t kGeometryEndMagic = 0xBEEFDEADu;

struct GeometryData {
  std::vector<PkVec3f> vertices;        // V positions
  std::vector<std::int32_t> triangles[2]; // per list: 3 zero-based vertex indices per triangle

  std::uint32_t triangleCount(int list) const {
    return static_cast<std::uint32_t>(triangles[list].size() / 3);
  }
};

// Reads and checks the geometry file at path. On success replaces out and returns true. On failure
// prints one error and returns false with out unchanged:
//   path + " not found"                       the path does not exist
//   path + " is not a tet mesh we can use"    the first word is not 0xDEADBEEF (or cannot be read)
//   path + " mesh is broken ?"                the file ends before the end word, the end word is
//                                             not 0xBEEFDEAD, or a vertex index is outside [0, V)
// Counts are checked against the file's size before anything is allocated.
bool parseGeometryFile(const std::string& path, GeometryData& out);

// The same over a file image in memory; path is only used in the messages.
bool parseGeometryBytes(const unsigned char* data, std::size_t size, const std::string& path,
                        GeometryData& out);

// The same checks and messages, but only the vertices the triangles use are read: out.vertices holds
// them in the order of the file's table and the corners are renumbered to them, so the triangles
// (and buildFlatTriangles's soups) are those of the whole file. This is what the viewer draws.
bool parseGeometryBoundary(const std::string& path, GeometryData& out);
bool parseGeometryBoundaryBytes(const unsigned char* data, std::size_t size, const std::string& path,
                                GeometryData& out);

// Face normal of the triangle (p0, p1, p2): unitCross(normalize(p1 − p0), normalize(p2 − p0)), the
// zero vector for a degenerate triangle; right-handed over the vertex order.
PkVec3f faceNormal(const PkVec3f& p0, const PkVec3f& p1, const PkVec3f& p2);

// The flat-shaded soup of one list (0 or 1): 3·Tk positions (triangle i at 3i, 3i+1, 3i+2, in file
// order) and 3·Tk normals, each corner carrying its triangle's face normal. The indices must be
// valid (as parseGeometryFile guarantees). Both vectors are replaced.
void buildFlatTriangles(const GeometryData& geometry, int list, std::vector<PkVec3f>& positions,
                        std::vector<PkVec3f>& normals);
// The same into storage of 3·Tk positions and 3·Tk normals the caller provides (a mapped buffer).
void buildFlatTriangles(const GeometryData& geometry, int list, PkVec3f* positions, PkVec3f* normals);
