// The analytic fields vxbuild can put on a mesh: defined over the mesh's own box wherever the mesh
// lies, usable on a mesh without fields, and refused by unknown name.
#include "CaptureOutput.h"
#include "meshimport/FieldFunctions.h"
#include "meshimport/MeshPrep.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace vxb;

namespace {

// A row of unit cubes along x over [x0, x0 + n] x [y0, y0 + 1] x [z0, z0 + 1], six tetrahedra each.
TetMesh cubeRow(int n, double x0, double y0, double z0) {
  TetMesh m;
  for (int i = 0; i <= n; ++i)
    for (int c = 0; c < 4; ++c) {
      const double p[3] = {x0 + i, y0 + (c & 1), z0 + (c >> 1)};
      m.points.insert(m.points.end(), p, p + 3);
    }
  // The six paths from corner 0 to corner 7, the odd ones with two corners swapped: one orientation.
  static const int cube[6][4] = {{0, 1, 3, 7}, {0, 1, 7, 5}, {0, 2, 7, 3}, {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 7, 6}};
  for (int i = 0; i < n; ++i) {
    // Corner k of the cube: x from bit 0, y from bit 1, z from bit 2.
    auto corner = [&](int k) { return uint32_t(4 * (i + (k & 1)) + ((k >> 1) & 1) + 2 * ((k >> 2) & 1)); };
    for (const auto& t : cube)
      for (int k : t) m.tets.push_back(corner(k));
  }
  return m;
}

} // namespace

TEST(FieldFunctions, SmoothIsTheDistanceFromAFixedPointOfTheBox) {
  // The same mesh in two places gives the same field: the point moves with the box.
  TetMesh near = cubeRow(4, 0, 0, 0), far = cubeRow(4, 100, -50, 7);
  std::vector<double> a, b;
  std::string label;
  ASSERT_TRUE(evaluateFieldFunction("smooth", near, a, label));
  EXPECT_EQ(label, "function \"smooth\"");
  ASSERT_TRUE(evaluateFieldFunction("smooth", far, b, label));
  ASSERT_EQ(a.size(), near.vertexCount());
  for (size_t v = 0; v < a.size(); ++v) EXPECT_NEAR(a[v], b[v], 1e-9) << v;
  // Off-centre: the corner (0, 0, 0) and the opposite one (4, 1, 1) are at different distances,
  // from the point (1.2, 0.4, 0.65).
  EXPECT_NEAR(a[0], std::sqrt(1.2 * 1.2 + 0.4 * 0.4 + 0.65 * 0.65), 1e-12);
  EXPECT_NEAR(a[near.vertexCount() - 1], std::sqrt(2.8 * 2.8 + 0.6 * 0.6 + 0.35 * 0.35), 1e-12);
  // A mesh without fields takes it through the whole preparation.
  PreparedMesh p;
  ASSERT_TRUE(prepareMesh(far, b, false, p));
  EXPECT_EQ(p.tetCount(), 24u);
}

TEST(FieldFunctions, FoldedCrossesEveryMidValueManyTimes) {
  TetMesh m = cubeRow(60, -3, 0, 0);
  std::vector<double> s;
  std::string label;
  ASSERT_TRUE(evaluateFieldFunction("folded", m, s, label));
  // Along the edge y = 0, z = 1 of the row: three periods in x, so six sign changes.
  int changes = 0;
  double previous = 0;
  for (int i = 0; i <= 60; ++i) {
    const double v = s[size_t(4 * i + 2)];
    EXPECT_LE(std::fabs(v), 1.0);
    if (i > 0 && (v > 0) != (previous > 0)) ++changes;
    previous = v;
  }
  EXPECT_EQ(changes, 6);
  PreparedMesh p;
  ASSERT_TRUE(prepareMesh(m, s, false, p));
}

TEST(FieldFunctions, UnknownNameIsRefused) {
  TetMesh m = cubeRow(1, 0, 0, 0);
  std::vector<double> s;
  std::string label;
  const std::string err = captureStderr([&] { EXPECT_FALSE(evaluateFieldFunction("wavy", m, s, label)); });
  EXPECT_EQ(err, pk::errorText("unknown field function \"wavy\" (known: smooth, folded)"));
}
