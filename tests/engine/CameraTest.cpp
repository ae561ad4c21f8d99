#include "Camera.h"
#include "PkDiag.h"
#include "PolykitGL.h"

#include "CaptureOutput.h"
#include "GLTestContext.h"

#include <cmath>

namespace {

void expectMatrixNear(const float* a, const float* b, float tol = 1e-6f) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tol) << "element " << i;
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Matrix glFrustum would give for the bounds, read back from OpenGL itself.
void glFrustumMatrix(double l, double r, double b, double t, double n, double f, float out[16]) {
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glFrustum(l, r, b, t, n, f);
  glGetFloatv(GL_MODELVIEW_MATRIX, out);
  glPopMatrix();
}

class CameraTest : public ::testing::Test {
protected:
  GLTestContext gl;
  void SetUp() override { ASSERT_TRUE(gl.ok()); }
};

} // namespace

TEST_F(CameraTest, DefaultIsCentred45DegreeFrustumAndIdentityView) {
  Camera c;
  const double f = std::tan(45.0 * M_PI / 360.0);
  float expected[16];
  glFrustumMatrix(-f, f, -f, f, 1, 100, expected);
  expectMatrixNear(c.projectionMatrix, expected);
  expectMatrixNear(c.viewMatrix, kIdentity);
  expectMatrixNear(c.viewProjectionMatrix, expected);

  // apply() loads both matrices and leaves GL_MODELVIEW current.
  c.apply(0);
  float loaded[16];
  glGetFloatv(GL_PROJECTION_MATRIX, loaded);
  expectMatrixNear(loaded, expected);
  GLint mode = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_MODELVIEW);
  glGetFloatv(GL_MODELVIEW_MATRIX, loaded);
  expectMatrixNear(loaded, kIdentity);
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(CameraTest, MatricesWithoutContextMatchOpenGL) {
  // Built before a context exists (the widget's construction), the camera computes the same
  // matrices on the CPU.
  Camera withGL;
  withGL.position = PkVec3f(1, 2, 3);
  withGL.direction = PkVec3f(0.3f, -0.2f, -0.9f);
  withGL.renormalize();
  gl.doneCurrent();
  Camera noGL;
  noGL.position = withGL.position;
  noGL.direction = withGL.direction;
  noGL.renormalize();
  gl.makeCurrent();
  expectMatrixNear(noGL.viewMatrix, withGL.viewMatrix, 1e-5f);
  expectMatrixNear(noGL.projectionMatrix, withGL.projectionMatrix, 1e-5f);
}

TEST_F(CameraTest, StereoShiftsFrustumAndEyes) {
  const double f = std::tan(45.0 * M_PI / 360.0);
  for (int eye = 0; eye < 2; ++eye) {
    Camera c;
    c.projectionMode = 1;
    c.stereoEye = eye;
    c.apply(0);
    const double o = eye == 0 ? 0.0004 : -0.0004; // 0.5 · 0.04 · 1 / 50
    float expected[16];
    glFrustumMatrix(-f + o, f + o, -f, f, 1, 100, expected);
    expectMatrixNear(c.projectionMatrix, expected);
    // Looking down -z with y up, direction × up is +x: the left eye sits at x = -0.02.
    const float shift = eye == 0 ? -0.02f : 0.02f;
    EXPECT_NEAR(c.viewMatrix[12], -shift, 1e-7f);
    EXPECT_NEAR(c.viewMatrix[13], 0.0f, 1e-7f);
  }
  // Side by side halves the aspect ratio; the quarter modes cut the frustum at the centre.
  Camera side;
  side.projectionMode = 2;
  side.aspect = 2.0f;
  side.computeProjection();
  float expected[16];
  glFrustumMatrix(-f + 0.0004, f + 0.0004, -f, f, 1, 100, expected);
  expectMatrixNear(side.projectionMatrix, expected);
  Camera quarter;
  quarter.projectionMode = 4; // upper right
  quarter.computeProjection();
  glFrustumMatrix(0, f, 0, f, 1, 100, expected);
  expectMatrixNear(quarter.projectionMatrix, expected);
}

TEST_F(CameraTest, NavigationCommands) {
  Camera c;
  c.apply(3);
  EXPECT_EQ(c.position, PkVec3f(-1, 0, 0));
  c.apply(4);
  c.apply(1);
  EXPECT_EQ(c.position, PkVec3f(0, 0, -1));
  c.apply(6);
  EXPECT_EQ(c.position, PkVec3f(0, -1, -1));

  Camera p;
  p.apply(7); // pitch up by 0.01 rad
  EXPECT_NEAR(p.direction.y, std::sin(0.01f), 1e-7f);
  EXPECT_NEAR(p.direction.z, -std::cos(0.01f), 1e-7f);
  EXPECT_NEAR(p.up.y, std::cos(0.01f), 1e-7f);
  EXPECT_NEAR(p.up.z, std::sin(0.01f), 1e-7f);

  Camera y;
  y.apply(10); // yaw by +turnStep turns towards direction × up = +x
  EXPECT_NEAR(y.direction.x, std::sin(0.01f), 1e-7f);
  EXPECT_EQ(y.up, PkVec3f(0, 1, 0));
  Camera r;
  r.apply(12); // roll by +turnStep: up turns towards up × direction = -x
  EXPECT_NEAR(r.up.x, -std::sin(0.01f), 1e-7f);
  EXPECT_EQ(r.direction, PkVec3f(0, 0, -1));

  Camera ignored;
  ignored.apply(13);
  EXPECT_EQ(ignored.position, PkVec3f(0, 0, 0));
  EXPECT_EQ(ignored.direction, PkVec3f(0, 0, -1));
}

TEST_F(CameraTest, EdgesInterpolationAndArithmetic) {
  Camera c;
  float before[16];
  std::copy(c.projectionMatrix, c.projectionMatrix + 16, before);
  const std::string err = captureStderr([&] { c.setEdge(4, 0.5f); });
  EXPECT_EQ(err, pk::errorText("unknown edge : 4 value: 0.5"));
  expectMatrixNear(c.projectionMatrix, before);
  for (float offset : c.edgeOffset) EXPECT_EQ(offset, 0.0f);

  // Numbered top, bottom, left, right; stored top, bottom, right, left.
  c.setEdge(2, 0.25f);
  EXPECT_EQ(c.edgeOffset[3], 0.25f);
  c.setEdge(3, -0.125f);
  EXPECT_EQ(c.edgeOffset[2], -0.125f);
  const double f = std::tan(45.0 * M_PI / 360.0);
  float expected[16];
  glFrustumMatrix(-f + 0.25, f - 0.125, -f, f, 1, 100, expected);
  expectMatrixNear(c.projectionMatrix, expected);

  Camera a, b;
  b.position = PkVec3f(2, 0, 0);
  b.direction = PkVec3f(1, 0, 0);
  b.fov = 60;
  Camera mid;
  mid.interpolate(a, b, 0.5f);
  EXPECT_EQ(mid.position, PkVec3f(1, 0, 0));
  EXPECT_NEAR(mid.direction.x, std::sqrt(0.5f), 1e-6f);
  EXPECT_NEAR(mid.direction.z, -std::sqrt(0.5f), 1e-6f);
  EXPECT_EQ(mid.fov, 45.0f); // everything else comes from a

  const Camera sum = a + b;
  EXPECT_EQ(sum.direction, PkVec3f(1, 0, -1)); // not normalised
  const Camera scaled = 2.0f * b;
  EXPECT_EQ(scaled.position, PkVec3f(4, 0, 0));
  EXPECT_EQ(scaled.fov, 45.0f);
}
