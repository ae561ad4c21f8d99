// Fuzz target: the builder's whole path from mesh bytes to dataset bytes. A small mesh (Gmsh when
// the input starts with '$', else TetGen with the .node and .ele files split at the first zero
// byte) is read, its field chosen and prepared, laid out in the builder's 256 × 256 chunks, boundary
// and chunk textures made, both files written to memory and read back with the dataset parsers. What the
// reader gives back must equal what was written, and the cache must give the surface that
// marching tetrahedra give on the prepared mesh.
#include "datasetbuild/Boundary.h"
#include "datasetbuild/CacheStream.h"
#include "CacheFile.h"
#include "datasetbuild/ChunkLayout.h"
#include "datasetbuild/ChunkTextures.h"
#include "DatasetWriter.h"
#include "FuzzFiles.h"
#include "GeometryFile.h"
#include "datasetbuild/MarchingTets.h"
#include "meshimport/MeshPrep.h"
#include "meshimport/MeshReaders.h"
#include "ReferenceExtractor.h"

#include <cstring>
#include <iostream>

namespace {

// The edge map addresses texels in bytes: the builder's textures are 256 × 256.
constexpr int kWidth = 256, kHeight = 256;
// Larger meshes only slow the fuzzer down.
constexpr std::size_t kMaxTets = 600, kMaxVertices = 800;

bool readInput(const std::uint8_t* data, std::size_t size, vxb::TetMesh& mesh) {
  if (size > 0 && data[0] == '$') {
    const std::string path = vxfuzz::scratchFile("build.msh", data, size);
    return !path.empty() && vxb::readGmsh(path, mesh);
  }
  const std::uint8_t* split = size ? static_cast<const std::uint8_t*>(std::memchr(data, 0, size)) : nullptr;
  const std::size_t nodeBytes = split ? std::size_t(split - data) : size;
  const std::size_t eleOffset = split ? nodeBytes + 1 : size;
  const std::string node = vxfuzz::scratchFile("build.node", data, nodeBytes);
  const std::string ele = vxfuzz::scratchFile("build.ele", data + eleOffset, size - eleOffset);
  return !node.empty() && !ele.empty() && vxb::readTetGen(node, mesh);
}

bool sameChunk(const ChunkData& a, const ChunkData& b) {
  return a.vertexCount == b.vertexCount && a.vertexArray == b.vertexArray && a.firstWeightArray == b.firstWeightArray &&
         a.vertexIndices == b.vertexIndices && a.weightArray == b.weightArray && a.reserved == b.reserved &&
         a.rowCount0 == b.rowCount0 && a.rowCount1 == b.rowCount1 && a.edgeMap == b.edgeMap &&
         a.tetCount == b.tetCount && a.tetMap == b.tetMap && a.intervals == b.intervals;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.setstate(std::ios::badbit);
  std::cout.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vxb::TetMesh mesh;
  if (!readInput(data, size, mesh)) return 0;
  if (mesh.tetCount() > kMaxTets || mesh.vertexCount() > kMaxVertices) return 0;
  std::vector<double> scalar;
  std::string label;
  if (!vxb::selectField(mesh, vxb::FieldChoice(), scalar, label)) return 0;
  vxb::PreparedMesh prepared;
  if (!vxb::prepareMesh(mesh, scalar, false, prepared)) return 0;

  vxb::LayoutOptions options;
  options.width = kWidth;
  options.height = kHeight;
  vxb::Layout layout;
  vxb::buildLayout(prepared, options, layout);
  vxb::BoundaryLists boundary;
  vxb::extractBoundary(prepared.positions, prepared.tets, boundary);

  // The cache as the builder fills it, at this texture size.
  CacheData cache;
  cache.header = vxb::cacheHeaderOf(prepared, layout);
  cache.chunks.resize(layout.chunks.size());
  {
    vxb::ChunkTextureBuilder builder(prepared, layout);
    for (std::size_t k = 0; k < cache.chunks.size(); ++k) builder.build(k, cache.chunks[k]);
  }

  std::vector<unsigned char> bytes;
  if (!writeCacheBytes(cache, bytes)) std::abort();
  CacheData back;
  if (!parseCacheBytes(bytes.data(), bytes.size(), kWidth, kHeight, back) || back.chunks.size() != cache.chunks.size())
    std::abort();
  for (std::size_t k = 0; k < cache.chunks.size(); ++k)
    if (!sameChunk(back.chunks[k], cache.chunks[k])) std::abort();

  GeometryData geometry;
  geometry.vertices.resize(prepared.vertexCount());
  for (std::size_t v = 0; v < prepared.vertexCount(); ++v)
    geometry.vertices[v] = PkVec3f(prepared.positions[3 * v], prepared.positions[3 * v + 1], prepared.positions[3 * v + 2]);
  geometry.triangles[0] = boundary.triangles[0];
  geometry.triangles[1] = boundary.triangles[1];
  GeometryData geometryBack;
  if (!writeGeometryBytes(geometry, bytes) || !parseGeometryBytes(bytes.data(), bytes.size(), "fuzz.vx", geometryBack) ||
      geometryBack.triangles[0] != geometry.triangles[0] || geometryBack.triangles[1] != geometry.triangles[1])
    std::abort();

  // The cache holds the mesh's surface: as many triangles as marching tetrahedra find, at both
  // isovalues. The reference extraction runs over the whole chunk textures and is most of an
  // input's time, so the fuzzer checks the isovalue the input's last byte picks (mutations reach
  // both); the corpus replay checks both on every input.
  const float isovalues[2] = {0.3f, 0.7f};
  for (int i = 0; i < 2; ++i) {
#ifdef VX_FUZZING
    if (i != (size ? data[size - 1] & 1 : 0)) continue;
#endif
    const float iso = isovalues[i];
    ReferenceSurface surface;
    if (!referenceSurface(back, iso, surface)) std::abort();
    if (surface.triangleCount() != vxb::marchingTets(prepared, iso).triangles) std::abort();
  }
  return 0;
}
