// The geometry file: what loads, every refusal with its exact message, and the flat-shaded soup.
#include "DatasetSamples.h"

#include "CaptureOutput.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace {

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "vxdata_" + std::to_string(getpid()) + "_" + name;
}

void putU32(std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t v) {
  std::memcpy(bytes.data() + offset, &v, 4);
}

// Parses bytes under the name "mesh.vx"; returns the console output.
std::string parse(const std::vector<unsigned char>& bytes, GeometryData& out, bool& ok) {
  return captureStderr([&] { ok = parseGeometryBytes(bytes.data(), bytes.size(), "mesh.vx", out); });
}

bool sameGeometry(const GeometryData& a, const GeometryData& b) {
  return a.vertices == b.vertices && a.triangles[0] == b.triangles[0] && a.triangles[1] == b.triangles[1];
}

} // namespace

TEST(GeometryFile, SmallestFileAndARealOneLoadFromDiskAndMemory) {
  GeometryData empty;
  const std::vector<unsigned char> smallest = samples::geometryBytes(empty);
  ASSERT_EQ(smallest.size(), 20u);
  GeometryData out = samples::tetrahedron();
  bool ok = false;
  EXPECT_EQ(parse(smallest, out, ok), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(out.vertices.empty());
  EXPECT_EQ(out.triangleCount(0), 0u);
  EXPECT_EQ(out.triangleCount(1), 0u);

  const GeometryData tet = samples::tetrahedron();
  const std::string path = tempPath("tet.vx");
  ASSERT_TRUE(writeGeometryFile(path, tet));
  GeometryData fromDisk;
  EXPECT_EQ(captureStderr([&] { ok = parseGeometryFile(path, fromDisk); }), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(sameGeometry(fromDisk, tet));
  EXPECT_EQ(fromDisk.triangleCount(0), 2u);

  // Bytes after the end word are not read.
  std::vector<unsigned char> trailing = samples::geometryBytes(tet);
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
  GeometryData fromMemory;
  EXPECT_EQ(parse(trailing, fromMemory, ok), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(sameGeometry(fromMemory, tet));
  std::remove(path.c_str());
}

TEST(GeometryFile, RefusalsNameThePathAndChangeNothing) {
  const GeometryData before = samples::tetrahedron();
  GeometryData out = before;
  bool ok = true;
  const std::string missing = tempPath("missing.vx");
  EXPECT_EQ(captureStderr([&] { ok = parseGeometryFile(missing, out); }), pk::errorText(missing + " not found"));
  EXPECT_FALSE(ok);

  // A directory exists but holds no mesh.
  EXPECT_EQ(captureStderr([&] { ok = parseGeometryFile(::testing::TempDir(), out); }),
            pk::errorText(::testing::TempDir() + " is not a tet mesh we can use"));

  const std::string notOurs = pk::errorText("mesh.vx is not a tet mesh we can use");
  const std::string broken = pk::errorText("mesh.vx mesh is broken ?");
  const std::vector<unsigned char> good = samples::geometryBytes(before);
  // Every refusal starts from the same filled structure and must leave it as it was.
  auto refused = [&](const std::vector<unsigned char>& bytes, const std::string& message, const std::string& what) {
    GeometryData kept = before;
    bool result = true;
    EXPECT_EQ(parse(bytes, kept, result), message) << what;
    EXPECT_FALSE(result) << what;
    EXPECT_TRUE(sameGeometry(kept, before)) << what;
  };

  std::vector<unsigned char> bytes = good;
  putU32(bytes, 0, kGeometryEndMagic); // the end word where the start word belongs
  refused(bytes, notOurs, "end word first");
  refused({}, notOurs, "empty");

  bytes = good;
  putU32(bytes, bytes.size() - 4, kGeometryStartMagic);
  refused(bytes, broken, "start word last");

  // Counts the file cannot hold are refused before anything is allocated.
  for (std::size_t field : {4u, 8u, 12u}) {
    for (std::uint32_t count : {5u, 0x15555555u, 0xFFFFFFFFu}) {
      bytes = good;
      putU32(bytes, field, count);
      refused(bytes, broken, "count at " + std::to_string(field) + ": " + std::to_string(count));
    }
  }

  // Indices must name one of the V vertices.
  for (std::int32_t index : {-1, 4, 0x7FFFFFFF, std::int32_t(0x80000000)}) {
    for (int list = 0; list < 2; ++list) {
      GeometryData bad = before;
      bad.triangles[list][4] = index;
      refused(samples::geometryBytes(bad), broken, "index " + std::to_string(index) + " in list " + std::to_string(list));
    }
  }
  bytes = good;
  bytes.resize(bytes.size() - 1);
  refused(bytes, broken, "cut");

  GeometryData edge = before;
  edge.triangles[1][5] = 3; // the last vertex is fine
  EXPECT_EQ(parse(samples::geometryBytes(edge), out, ok), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(sameGeometry(out, edge));
}

TEST(GeometryFile, FlatNormalsFollowTheVertexOrder) {
  const PkVec3f o(0, 0, 0), x(2, 0, 0), y(0, 3, 0);
  EXPECT_EQ(faceNormal(o, x, y), PkVec3f(0, 0, 1));
  EXPECT_EQ(faceNormal(o, y, x), PkVec3f(0, 0, -1));
  EXPECT_EQ(faceNormal(o, o, y), PkVec3f(0, 0, 0)); // two equal corners
  EXPECT_EQ(faceNormal(o, x, x * 2.0f), PkVec3f(0, 0, 0)); // collinear

  GeometryData g = samples::tetrahedron();
  g.triangles[1].insert(g.triangles[1].end(), {2, 2, 0}); // a degenerate third triangle
  std::vector<PkVec3f> positions, normals;
  buildFlatTriangles(g, 0, positions, normals);
  ASSERT_EQ(positions.size(), 6u);
  ASSERT_EQ(normals.size(), 6u);
  EXPECT_EQ(positions[0], g.vertices[0]);
  EXPECT_EQ(positions[1], g.vertices[2]);
  EXPECT_EQ(positions[2], g.vertices[1]);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(normals[c], PkVec3f(0, 0, -1)); // (0, 2, 1): seen from below
  for (int c = 3; c < 6; ++c) EXPECT_EQ(normals[c], PkVec3f(0, -1, 0));
  buildFlatTriangles(g, 1, positions, normals);
  ASSERT_EQ(normals.size(), 9u);
  for (int c = 6; c < 9; ++c) EXPECT_EQ(normals[c], PkVec3f(0, 0, 0));
  const float s = 1.0f / std::sqrt(3.0f); // the slanted face (1, 2, 3)
  EXPECT_NEAR(normals[3].x, s, 1e-6);
  EXPECT_NEAR(normals[3].y, s, 1e-6);
  EXPECT_NEAR(normals[3].z, s, 1e-6);
}

TEST(GeometryFile, WriterRefusals) {
  GeometryData bad = samples::tetrahedron();
  bad.triangles[1].push_back(0);
  std::vector<unsigned char> bytes;
  bool ok = true;
  EXPECT_EQ(captureStderr([&] { ok = writeGeometryBytes(bad, bytes); }),
            pk::errorText("geometry triangle list 1 has a length that is not a multiple of 3"));
  EXPECT_FALSE(ok);
  const std::string nowhere = tempPath("no/such/dir.vx");
  EXPECT_EQ(captureStderr([&] { ok = writeGeometryFile(nowhere, samples::tetrahedron()); }),
            pk::errorText("cannot write file " + nowhere));
  EXPECT_FALSE(ok);
}
