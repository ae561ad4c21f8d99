#include "GeometryFile.h"

#include "ByteSource.h"
#include "PkDiag.h"

#include <new>

static_assert(sizeof(PkVec3f) == 12, "vertex positions are read as three packed floats");

namespace {

// Reads the whole file from source into out. Prints the message and returns false on refusal.
bool parseGeometry(vxdata::ByteSource& in, const std::string& path, GeometryData& out) {
  std::uint32_t magic = 0;
  if (!in.readU32(magic) || magic != kGeometryStartMagic) {
    pk::error(path + " is not a tet mesh we can use");
    return false;
  }
  auto broken = [&] {
    pk::error(path + " mesh is broken ?");
    return false;
  };

  std::uint32_t counts[3]; // V, T0, T1
  if (!in.read(counts, sizeof counts)) return broken();
  // The arrays and the end word must fit in what is left, before anything is allocated.
  const std::uint64_t needed = 12ull * (std::uint64_t(counts[0]) + counts[1] + counts[2]) + 4;
  if (needed > in.remaining()) return broken();

  GeometryData data;
  try {
    data.vertices.resize(counts[0]);
    data.triangles[0].resize(3ull * counts[1]);
    data.triangles[1].resize(3ull * counts[2]);
  } catch (const std::bad_alloc&) {
    return broken();
  }
  if (!in.read(data.vertices.data(), 12ull * counts[0])) return broken();
  for (int k = 0; k < 2; ++k)
    if (!in.read(data.triangles[k].data(), 4ull * data.triangles[k].size())) return broken();
  std::uint32_t end = 0;
  if (!in.readU32(end) || end != kGeometryEndMagic) return broken();

  // Every corner must name a vertex of the table.
  const std::int64_t vertexCount = counts[0];
  for (int k = 0; k < 2; ++k)
    for (std::int32_t index : data.triangles[k])
      if (index < 0 || index >= vertexCount) return broken();

  out = std::move(data);
  return true;
}

} // namespace

bool parseGeometryFile(const std::string& path, GeometryData& out) {
  if (!vxdata::pathExists(path)) {
    pk::error(path + " not found");
    return false;
  }
  vxdata::FileSource in;
  if (!in.open(path)) {
    // Nothing can be read from it, so its first word is not ours.
    pk::error(path + " is not a tet mesh we can use");
    return false;
  }
  return parseGeometry(in, path, out);
}

bool parseGeometryBytes(const unsigned char* data, std::size_t size, const std::string& path,
                        GeometryData& out) {
  vxdata::MemorySource in(data, size);
  return parseGeometry(in, path, out);
}

PkVec3f faceNormal(const PkVec3f& p0, const PkVec3f& p1, const PkVec3f& p2) {
  const PkVec3f a = (p1 - p0).normalized(pk::kEpsilon23);
  const PkVec3f b = (p2 - p0).normalized(pk::kEpsilon23);
  return a.unitCross(b);
}

void buildFlatTriangles(const GeometryData& geometry, int list, std::vector<PkVec3f>& positions,
                        std::vector<PkVec3f>& normals) {
  const std::vector<std::int32_t>& indices = geometry.triangles[list];
  const std::size_t triangles = indices.size() / 3;
  positions.assign(3 * triangles, PkVec3f());
  normals.assign(3 * triangles, PkVec3f());
  const std::size_t vertexCount = geometry.vertices.size();
  auto vertex = [&](std::int32_t i) {
    // Indices are checked by the parser; an invalid one here gives the origin, never a stray read.
    return i >= 0 && static_cast<std::size_t>(i) < vertexCount ? geometry.vertices[i] : PkVec3f();
  };
  for (std::size_t t = 0; t < triangles; ++t) {
    const PkVec3f p0 = vertex(indices[3 * t]);
    const PkVec3f p1 = vertex(indices[3 * t + 1]);
    const PkVec3f p2 = vertex(indices[3 * t + 2]);
    const PkVec3f n = faceNormal(p0, p1, p2);
    positions[3 * t] = p0;
    positions[3 * t + 1] = p1;
    positions[3 * t + 2] = p2;
    normals[3 * t] = normals[3 * t + 1] = normals[3 * t + 2] = n;
  }
}
