#include "GeometryFile.h"

#include "ByteSource.h"
#include "PkDiag.h"

#include <new>

static_assert(sizeof(PkVec3f) == 12, "vertex positions are read as three packed floats");

namespace {

// The words around the arrays and the triangle lists, checked as a whole read checks them: the start
// word, the counts against what is left, the end word and every corner's index. The vertex table
// is read into data.vertices (wholeTable) or passed over, its offset in the file left in
// vertexOffset and its length in tableVertices. Prints the message and returns false on refusal.
bool readFrame(vxdata::ByteSource& in, const std::string& path, bool wholeTable, GeometryData& data,
               std::uint64_t& vertexOffset, std::uint32_t& tableVertices) {
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

  try {
    if (wholeTable) data.vertices.resize(counts[0]);
    data.triangles[0].resize(3ull * counts[1]);
    data.triangles[1].resize(3ull * counts[2]);
  } catch (const std::bad_alloc&) {
    return broken();
  }
  vertexOffset = in.position();
  tableVertices = counts[0];
  if (wholeTable ? !in.read(data.vertices.data(), 12ull * counts[0]) : !in.skip(12ull * counts[0])) return broken();
  for (int k = 0; k < 2; ++k)
    if (!in.read(data.triangles[k].data(), 4ull * data.triangles[k].size())) return broken();
  std::uint32_t end = 0;
  if (!in.readU32(end) || end != kGeometryEndMagic) return broken();

  // Every corner must name a vertex of the table.
  const std::int64_t vertexCount = counts[0];
  for (int k = 0; k < 2; ++k)
    for (std::int32_t index : data.triangles[k])
      if (index < 0 || index >= vertexCount) return broken();
  if (!wholeTable) data.vertices.clear();
  return true;
}

// Reads the whole file from source into out. Prints the message and returns false on refusal.
bool parseGeometry(vxdata::ByteSource& in, const std::string& path, GeometryData& out) {
  GeometryData data;
  std::uint64_t vertexOffset = 0;
  std::uint32_t tableVertices = 0;
  if (!readFrame(in, path, true, data, vertexOffset, tableVertices)) return false;
  out = std::move(data);
  return true;
}

// The vertices the triangles use, in the order of the table, and the corners renumbered to them.
// The table is read where it is used: runs of used vertices with gaps of less than kGapBytes
// between them are read at once, up to kRunBytes a read.
bool parseBoundary(vxdata::ByteSource& in, const std::string& path, GeometryData& out) {
  GeometryData data;
  std::uint64_t vertexOffset = 0;
  std::uint32_t tableVertices = 0;
  if (!readFrame(in, path, false, data, vertexOffset, tableVertices)) return false;
  auto broken = [&] {
    pk::error(path + " mesh is broken ?");
    return false;
  };
  try {
    // One bit per vertex of the table, and per 64 of them the used vertices before them.
    const std::size_t words = (std::size_t(tableVertices) + 63) / 64;
    std::vector<std::uint64_t> used(words, 0);
    for (int k = 0; k < 2; ++k)
      for (std::int32_t index : data.triangles[k]) used[std::size_t(index) >> 6] |= 1ull << (index & 63);
    std::vector<std::uint32_t> before(words);
    std::uint32_t count = 0;
    for (std::size_t w = 0; w < words; ++w) {
      before[w] = count;
      count += std::uint32_t(__builtin_popcountll(used[w]));
    }
    for (int k = 0; k < 2; ++k)
      for (std::int32_t& index : data.triangles[k]) {
        const std::size_t w = std::size_t(index) >> 6;
        const std::uint64_t lower = used[w] & ((1ull << (index & 63)) - 1);
        index = std::int32_t(before[w] + std::uint32_t(__builtin_popcountll(lower)));
      }

    data.vertices.resize(count);
    constexpr std::uint64_t kGapBytes = 16384, kRunBytes = 1 << 20;
    std::vector<PkVec3f> run(kRunBytes / 12);
    std::vector<std::uint64_t> members; // the used vertices of the run being gathered
    members.reserve(run.size());
    std::size_t filled = 0;
    auto flush = [&] {
      if (members.empty()) return true;
      const std::uint64_t first = members.front(), span = members.back() - first + 1;
      if (!in.readAt(vertexOffset + 12 * first, run.data(), std::size_t(12 * span))) return false;
      for (std::uint64_t v : members) data.vertices[filled++] = run[std::size_t(v - first)];
      members.clear();
      return true;
    };
    for (std::size_t w = 0; w < words; ++w)
      for (std::uint64_t bits = used[w]; bits; bits &= bits - 1) {
        const std::uint64_t v = 64 * std::uint64_t(w) + std::uint64_t(__builtin_ctzll(bits));
        if (!members.empty() && (12 * (v - members.back()) > kGapBytes || 12 * (v - members.front() + 1) > kRunBytes))
          if (!flush()) return broken();
        members.push_back(v);
      }
    if (!flush()) return broken();
  } catch (const std::bad_alloc&) {
    return broken();
  }
  out = std::move(data);
  return true;
}

bool openGeometry(const std::string& path, vxdata::FileSource& in) {
  if (!vxdata::pathExists(path)) {
    pk::error(path + " not found");
    return false;
  }
  if (!in.open(path)) {
    // Nothing can be read from it, so its first word is not ours.
    pk::error(path + " is not a tet mesh we can use");
    return false;
  }
  return true;
}

} // namespace

bool parseGeometryFile(const std::string& path, GeometryData& out) {
  vxdata::FileSource in;
  return openGeometry(path, in) && parseGeometry(in, path, out);
}

bool parseGeometryBytes(const unsigned char* data, std::size_t size, const std::string& path,
                        GeometryData& out) {
  vxdata::MemorySource in(data, size);
  return parseGeometry(in, path, out);
}

bool parseGeometryBoundary(const std::string& path, GeometryData& out) {
  vxdata::FileSource in;
  return openGeometry(path, in) && parseBoundary(in, path, out);
}

bool parseGeometryBoundaryBytes(const unsigned char* data, std::size_t size, const std::string& path,
                                GeometryData& out) {
  vxdata::MemorySource in(data, size);
  return parseBoundary(in, path, out);
}

PkVec3f faceNormal(const PkVec3f& p0, const PkVec3f& p1, const PkVec3f& p2) {
  const PkVec3f a = (p1 - p0).normalized(pk::kEpsilon23);
  const PkVec3f b = (p2 - p0).normalized(pk::kEpsilon23);
  return a.unitCross(b);
}

void buildFlatTriangles(const GeometryData& geometry, int list, std::vector<PkVec3f>& positions,
                        std::vector<PkVec3f>& normals) {
  const std::size_t corners = 3 * (geometry.triangles[list].size() / 3);
  positions.resize(corners);
  normals.resize(corners);
  buildFlatTriangles(geometry, list, positions.data(), normals.data());
}

void buildFlatTriangles(const GeometryData& geometry, int list, PkVec3f* positions, PkVec3f* normals) {
  const std::vector<std::int32_t>& indices = geometry.triangles[list];
  const std::size_t triangles = indices.size() / 3;
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
