// The parts of vxbench that need no display: its command line, the reading of the output targets
// (crossing slots, triangles and quads), the PLY file, and the comparison used by --check.
#include "BenchOptions.h"
#include "BenchReport.h"
#include "PkDiag.h"
#include "SurfaceSoup.h"

#include "CaptureOutput.h"
#include "VxbenchPly.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace vxbench;

namespace {

int parse(std::vector<std::string> args, BenchOptions& options, std::string* err = nullptr) {
  args.insert(args.begin(), "vxbench");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  int status = 0;
  const std::string text = captureStderr([&] { status = parseCommandLine(int(argv.size()), argv.data(), options); });
  if (err) *err = text;
  return status;
}

} // namespace

TEST(VxbenchCommandLine, ReadsTheBenchmarkAndTheRenderForms) {
  BenchOptions b;
  ASSERT_EQ(parse({"set.vx", "--iso", "0.25,1.1920929e-07,-1", "--repeat", "3", "--mode", "pbuffer", "--rect", "--flat",
                   "--check", "--json", "--profile", "--no-pbo"},
                  b),
            -1);
  EXPECT_EQ(b.dataset, "set.vx");
  EXPECT_EQ(b.isovalues, (std::vector<float>{0.25f, 1.1920929e-07f, -1.0f}));
  EXPECT_EQ(b.repeat, 3);
  EXPECT_EQ(b.renderTargetMode, 1);
  EXPECT_TRUE(b.rectTextures && b.flat && b.check && b.json && b.profile && b.noPixelBuffers);

  BenchOptions d;
  ASSERT_EQ(parse({"set.vx"}, d), -1);
  EXPECT_EQ(d.isovalues, defaultIsovalues());
  EXPECT_FALSE(d.rendering());

  BenchOptions r;
  ASSERT_EQ(parse({"--render", "f.png", "set.vx", "--mode-shading", "2", "--opacity", "0.5", "--multi", "--size",
                   "640x480", "--rotate", "10,-20.5,0", "--distance", "3"},
                  r),
            -1);
  EXPECT_TRUE(r.rendering());
  EXPECT_EQ(r.isovalues, std::vector<float>{0.5f}); // the render's default isovalue
  EXPECT_EQ(r.shadingMode, 2);
  EXPECT_EQ(r.opacity, 0.5f);
  EXPECT_TRUE(r.multi);
  EXPECT_EQ(r.width, 640);
  EXPECT_EQ(r.height, 480);
  EXPECT_EQ(r.rotation[1], -20.5f);
  EXPECT_EQ(r.distance, 3.0f);

  BenchOptions h;
  std::string out = captureStdout([&] { EXPECT_EQ(parse({"--help"}, h), 0); });
  EXPECT_NE(out.find("usage: vxbench"), std::string::npos);
}

TEST(VxbenchCommandLine, RejectsBadUseWithAMessageAndStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"a.vx", "b.vx"},
      {"a.vx", "--bogus"},
      {"a.vx", "--iso"},
      {"a.vx", "--iso", "0.5,"},
      {"a.vx", "--iso", "abc"},
      {"a.vx", "--iso", "nan"},
      {"a.vx", "--iso", "1e99"},
      {"a.vx", "--repeat", "0"},
      {"a.vx", "--repeat", "5x"},
      {"a.vx", "--mode", "window"},
      {"a.vx", "--export-ply", "x.ply"},                      // needs exactly one isovalue
      {"a.vx", "--iso", "0.2,0.4", "--export-ply", "x.ply"},
      {"a.vx", "--opacity", "0.5"},                           // a frame setting without --render
      {"a.vx", "--render", "x.png", "--check"},
      {"a.vx", "--render", "x.png", "--iso", "0.2,0.3"},
      {"a.vx", "--render", "x.png", "--opacity", "1.5"},
      {"a.vx", "--render", "x.png", "--mode-shading", "3"},
      {"a.vx", "--render", "x.png", "--size", "0x10"},
      {"a.vx", "--render", "x.png", "--size", "640"},
      {"a.vx", "--render", "x.png", "--size", "9000x10"},
      {"a.vx", "--render", "x.png", "--rotate", "1,2"},
      {"a.vx", "--render", "x.png", "--distance", "inf"},
  };
  std::string errorTag = pk::errorText("vxbench: ");
  errorTag.pop_back(); // the newline
  for (const auto& args : bad) {
    BenchOptions o;
    std::string err;
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(parse(args, o, &err), 2) << joined;
    EXPECT_EQ(err.rfind(errorTag, 0), 0u) << joined << "\n" << err;
    EXPECT_NE(err.find("usage: vxbench"), std::string::npos) << joined;
  }
}

namespace {

constexpr int W = 16; // four slots a row

// A position target of `rows` window rows, every texel the cleared value (1, 1, 1, −1).
std::vector<float> clearedTarget(int rows) {
  std::vector<float> t(std::size_t(W) * rows * 4);
  for (std::size_t i = 0; i < t.size(); i += 4) {
    t[i] = t[i + 1] = t[i + 2] = 1;
    t[i + 3] = -1;
  }
  return t;
}

void setSlot(std::vector<float>& t, int row, int slot, const float v[4][4]) {
  std::memcpy(&t[(std::size_t(row) * W + 4 * slot) * 4], v, sizeof(float) * 16);
}

} // namespace

TEST(VxbenchSurface, CrossingSlotsAreSortedIntoTrianglesAndQuadsAndWrittenAsPly) {
  std::vector<float> pos = clearedTarget(3), nrm = clearedTarget(3);
  // Row 1: a quad (the unit square in z = 0), a triangle repeating its third vertex, a triangle
  // repeating its first, and a slot with one flagged vertex.
  const float quad[4][4] = {{0, 0, 0, 0.5f}, {1, 0, 0, 0.25f}, {1, 1, 0, 0}, {0, 1, 0, 1}};
  const float small[4][4] = {{0, 0, 1, 0.1f}, {2, 0, 1, 0.2f}, {0, 2, 1, 0.3f}, {0, 2, 1, 0.3f}};
  const float large[4][4] = {{5, 5, 5, 0.7f}, {5, 5, 5, 0.7f}, {6, 5, 5, 0.1f}, {5, 7, 5, 0.9f}};
  const float flagged[4][4] = {{0, 0, 0, 0.5f}, {1, 0, 0, 0.5f}, {1, 1, 0, -2}, {0, 1, 0, 0.5f}};
  setSlot(pos, 1, 0, quad);
  setSlot(pos, 1, 1, small);
  setSlot(pos, 1, 2, large);
  setSlot(pos, 1, 3, flagged);
  setSlot(pos, 2, 0, quad); // outside the rows asked for below
  const float normals[4][4] = {{0, 0, 2, 0}, {0, 0, 0, 0}, {3, 4, 0, 0}, {0, 0, -1, 0}};
  setSlot(nrm, 1, 0, normals);

  const PrimitiveCount count = countPrimitives(pos, W, 0, 2);
  EXPECT_EQ(count.quads, 1u);
  EXPECT_EQ(count.triangles, 2u);
  EXPECT_EQ(countPrimitives(pos, W, 0, 3).quads, 2u);
  EXPECT_EQ(countPrimitives(pos, W, 2, 99).quads, 1u); // rows past the target are ignored
  EXPECT_EQ(countPrimitives(pos, W, 0, 1).quads + countPrimitives(pos, W, 0, 1).triangles, 0u);

  PolygonSoup soup;
  appendPrimitives(pos, nrm, W, 1, 2, soup);
  ASSERT_EQ(soup.corners, (std::vector<std::uint8_t>{4, 3, 3}));
  EXPECT_EQ(soup.count.quads, 1u);
  EXPECT_EQ(soup.count.triangles, 2u);
  // Areas: the unit square 1, the small triangle 2, the large one (v0, v2, v3) 1.
  EXPECT_NEAR(soup.area(), 4.0, 1e-12);
  // The large triangle keeps v0, v2, v3.
  EXPECT_EQ(std::vector<float>(soup.positions.begin() + 21, soup.positions.end()),
            (std::vector<float>{5, 5, 5, 6, 5, 5, 5, 7, 5}));
  // Normals are made unit length; a zero gradient stays zero.
  EXPECT_EQ(std::vector<float>(soup.normals.begin(), soup.normals.begin() + 12),
            (std::vector<float>{0, 0, 1, 0, 0, 0, 0.6f, 0.8f, 0, 0, 0, -1}));

  char name[] = "/tmp/vxbench-ply-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(writePly(name, soup));
  TestPly ply;
  ASSERT_TRUE(readTestPly(name, ply));
  std::remove(name);
  ASSERT_EQ(ply.faces.size(), 3u);
  EXPECT_EQ(ply.faces[0], (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(ply.faces[2], (std::vector<int>{7, 8, 9}));
  ASSERT_EQ(ply.vertices.size(), 10u * 6);
  EXPECT_EQ(ply.vertices[6 * 2 + 0], 1.0f); // third corner of the quad: (1, 1, 0), normal (0.6, 0.8, 0)
  EXPECT_EQ(ply.vertices[6 * 2 + 1], 1.0f);
  EXPECT_EQ(ply.vertices[6 * 2 + 3], 0.6f);
  EXPECT_EQ(ply.vertices[6 * 9 + 1], 7.0f);

  const std::string err = captureStderr([&] { EXPECT_FALSE(writePly("/nonexistent-dir/x.ply", soup)); });
  EXPECT_EQ(err, pk::errorText("cannot write /nonexistent-dir/x.ply"));
}

TEST(VxbenchSurface, TargetsCompareFlagsExactlyAndValuesWithinTheTolerance) {
  const std::vector<float> ref = {100.0f, 0.5f, -3.0f, 0.25f, 1, 1, 1, -1, 0, 0, 0, -2, 0, 0, 0, 0};
  EXPECT_TRUE(compareTargets(ref, ref, 2).same());
  std::vector<float> near = ref;
  near[0] = 100.0009f; // 9e-6 relative
  near[1] = 0.500009f; // absolute below 1
  near[3] = 0.250009f; // a weight
  EXPECT_TRUE(compareTargets(near, ref, 2).same());

  auto differing = [&](std::size_t i, float v) {
    std::vector<float> gpu = ref;
    gpu[i] = v;
    return compareTargets(gpu, ref, 2);
  };
  EXPECT_EQ(differing(0, 100.002f).differing, 1u);
  EXPECT_EQ(differing(7, -2.0f).differing, 1u);  // flag −1 against −2
  EXPECT_EQ(differing(11, 0.0f).differing, 1u);  // flag against a weight
  EXPECT_EQ(differing(15, -1.0f).differing, 1u); // weight 0 against a flag
  EXPECT_EQ(differing(2, NAN).differing, 1u);
  const TargetDifference d = differing(6, 1.5f);
  EXPECT_EQ(d.first, "window row 0, column 1, component z: 1.5 instead of 1");
  EXPECT_FALSE(compareTargets(std::vector<float>(4), ref, 2).same());
  // Window rows outside [rowFirst, rowEnd) are not compared: 2 texels a row here.
  std::vector<float> lowRow = ref, highRow = ref;
  lowRow[2] = 9.0f;   // row 0
  highRow[10] = 9.0f; // row 1
  EXPECT_TRUE(compareTargets(lowRow, ref, 2, 1, 2).same());
  EXPECT_EQ(compareTargets(highRow, ref, 2, 1, 2).differing, 1u);
  EXPECT_EQ(compareTargets(highRow, ref, 2, 1).differing, 1u);
  EXPECT_TRUE(compareTargets(highRow, ref, 2, 0, 1).same());
}

TEST(VxbenchReport, ViewerRateAndJsonText) {
  // 2^20 tetrahedra in half a second: 2 Mtets/s; a zero time counts as a microsecond.
  EXPECT_DOUBLE_EQ(viewerRate(1u << 20, 0.5), 2.0);
  EXPECT_DOUBLE_EQ(viewerRate(1u << 20, 0.0), 1e6);
  EXPECT_TRUE(std::isfinite(viewerRate(0xFFFFFFFFu, 0.0)));
  EXPECT_EQ(jsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
  EXPECT_EQ(isoText(0.1f), "0.1");
  EXPECT_EQ(isoText(1.1920929e-07f), "1.1920929e-07");
  EXPECT_EQ(std::strtof(isoText(0.99999988f).c_str(), nullptr), 0.99999988f);
}
