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

namespace {

// Both flat soups of a geometry, list 0 then list 1, as bits (a damaged file may hold NaNs).
std::vector<std::uint32_t> soups(const GeometryData& g) {
  std::vector<PkVec3f> all, positions, normals;
  for (int list = 0; list < 2; ++list) {
    buildFlatTriangles(g, list, positions, normals);
    all.insert(all.end(), positions.begin(), positions.end());
    all.insert(all.end(), normals.begin(), normals.end());
  }
  std::vector<std::uint32_t> bits(3 * all.size());
  if (!all.empty()) std::memcpy(bits.data(), all.data(), 4 * bits.size());
  return bits;
}

// A grid of n × n × n points whose boundary squares are list 0 and one inner square list 1; most
// vertices lie inside and are used by no triangle.
GeometryData gridWithInnerPoints(int n) {
  GeometryData g;
  auto at = [n](int i, int j, int k) { return std::int32_t((k * n + j) * n + i); };
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) g.vertices.push_back(PkVec3f(float(i), float(j) * 1.5f, float(k) * 0.5f - float(i * j)));
  for (int a = 0; a + 1 < n; ++a)
    for (int b = 0; b + 1 < n; ++b)
      for (int side : {0, n - 1}) {
        g.triangles[0].insert(g.triangles[0].end(), {at(side, a, b), at(side, a + 1, b), at(side, a + 1, b + 1)});
        g.triangles[0].insert(g.triangles[0].end(), {at(a, side, b), at(a + 1, side, b + 1), at(a, side, b + 1)});
        g.triangles[0].insert(g.triangles[0].end(), {at(a, b, side), at(a + 1, b, side), at(a, b + 1, side)});
      }
  g.triangles[1] = {at(1, 1, 1), at(2, 1, 1), at(1, 2, 2)};
  return g;
}

} // namespace

// The viewer reads only the vertices the boundary triangles use: the same acceptance and messages
// as the whole read, and the same drawn soups, from memory and from disk.
TEST(GeometryFile, BoundaryReadDrawsTheSameSurfaceAndRefusesTheSameFiles) {
  for (const GeometryData& g : {samples::tetrahedron(), gridWithInnerPoints(5), gridWithInnerPoints(40), GeometryData()}) {
    const std::vector<unsigned char> bytes = samples::geometryBytes(g);
    GeometryData boundary;
    bool ok = false;
    EXPECT_EQ(captureStderr([&] { ok = parseGeometryBoundaryBytes(bytes.data(), bytes.size(), "mesh.vx", boundary); }),
              "");
    ASSERT_TRUE(ok);
    EXPECT_LE(boundary.vertices.size(), g.vertices.size());
    EXPECT_EQ(boundary.triangleCount(0), g.triangleCount(0));
    EXPECT_EQ(boundary.triangleCount(1), g.triangleCount(1));
    EXPECT_EQ(soups(boundary), soups(g));

    const std::string path = tempPath("boundary.vx");
    ASSERT_TRUE(writeGeometryFile(path, g));
    GeometryData fromDisk;
    EXPECT_EQ(captureStderr([&] { ok = parseGeometryBoundary(path, fromDisk); }), "");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(sameGeometry(fromDisk, boundary));
    std::remove(path.c_str());
  }
  // A 40³ grid uses the 40³ − 38³ boundary points and three inner ones, read in runs.
  const GeometryData grid = gridWithInnerPoints(40);
  const std::vector<unsigned char> gridBytes = samples::geometryBytes(grid);
  GeometryData boundary;
  ASSERT_TRUE(parseGeometryBoundaryBytes(gridBytes.data(), gridBytes.size(), "mesh.vx", boundary));
  EXPECT_EQ(boundary.vertices.size(), std::size_t(40 * 40 * 40 - 38 * 38 * 38 + 3));

  // Every prefix, and the file with each of its words (and the bytes of the counts) changed: the
  // same outcome and message as the whole read, and nothing changed on refusal.
  const std::vector<unsigned char> good = samples::geometryBytes(gridWithInnerPoints(3));
  std::vector<std::vector<unsigned char>> variants;
  for (std::size_t n = 0; n < good.size(); ++n) variants.emplace_back(good.begin(), good.begin() + long(n));
  for (std::size_t at = 0; at + 4 <= good.size(); at += 4)
    for (std::uint32_t value : {0u, 2u, 26u, 27u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      std::vector<unsigned char> v = good;
      putU32(v, at, value);
      variants.push_back(v);
    }
  const std::string path = tempPath("variant.vx");
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const std::vector<unsigned char>& v = variants[i];
    GeometryData whole = samples::tetrahedron(), part = samples::tetrahedron(), disk = samples::tetrahedron();
    bool wholeOk = false, partOk = false, diskOk = false;
    const std::string wholeText = parse(v, whole, wholeOk);
    const std::string partText =
        captureStderr([&] { partOk = parseGeometryBoundaryBytes(v.data(), v.size(), "mesh.vx", part); });
    ASSERT_EQ(partOk, wholeOk) << i;
    ASSERT_EQ(partText, wholeText) << i;
    ASSERT_EQ(soups(part), soups(whole)) << i; // both the read file, or both the tetrahedron kept
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    if (!v.empty()) std::fwrite(v.data(), 1, v.size(), f);
    std::fclose(f);
    const std::string diskText = captureStderr([&] { diskOk = parseGeometryBoundary(path, disk); });
    ASSERT_EQ(diskOk, wholeOk) << i;
    std::string expected = wholeText;
    const std::string name = "mesh.vx";
    for (std::size_t p = expected.find(name); p != std::string::npos; p = expected.find(name, p + path.size()))
      expected.replace(p, name.size(), path);
    ASSERT_EQ(diskText, expected) << i;
    ASSERT_EQ(soups(disk), soups(whole)) << i;
  }
  std::remove(path.c_str());
}
