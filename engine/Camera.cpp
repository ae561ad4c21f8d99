#include "Camera.h"

#include "PkDiag.h"
#include "PolykitGL.h"

#include <GL/glu.h>

#include <cmath>
#include <cstring>

namespace {

// The matrix glFrustum multiplies by, column-major.
void frustumMatrix(float l, float r, float b, float t, float n, float f, float m[16]) {
  std::memset(m, 0, 16 * sizeof(float));
  m[0] = 2 * n / (r - l);
  m[5] = 2 * n / (t - b);
  m[8] = (r + l) / (r - l);
  m[9] = (t + b) / (t - b);
  m[10] = -(f + n) / (f - n);
  m[11] = -1;
  m[14] = -2 * f * n / (f - n);
}

// The matrix gluLookAt multiplies by, column-major.
void lookAtMatrix(const PkVec3f& eye, const PkVec3f& target, const PkVec3f& up, float m[16]) {
  PkVec3f f = target - eye;
  f.makeUnit();
  PkVec3f s = f.cross(up);
  s.makeUnit();
  const PkVec3f u = s.cross(f);
  const float rows[3][3] = {{s.x, s.y, s.z}, {u.x, u.y, u.z}, {-f.x, -f.y, -f.z}};
  std::memset(m, 0, 16 * sizeof(float));
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[j * 4 + i] = rows[i][j];
    m[12 + i] = -(rows[i][0] * eye.x + rows[i][1] * eye.y + rows[i][2] * eye.z);
  }
  m[15] = 1;
}

// Runs `multiply` on an identity model-view matrix and reads the product back, leaving the matrix
// stacks and the matrix mode as they were. Without a current context the CPU fallback is used.
template <typename GLMultiply, typename CPUCompute>
void matrixFromGL(float out[16], GLMultiply multiply, CPUCompute cpu) {
  if (!pk::hasCurrentContext()) {
    cpu(out);
    return;
  }
  GLint mode = GL_MODELVIEW;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  multiply();
  glGetFloatv(GL_MODELVIEW_MATRIX, out);
  glPopMatrix();
  glMatrixMode(GLenum(mode));
}

} // namespace

Camera::Camera() {
  direction.makeUnit();
  up.makeUnit();
  computeProjection();
  computeView();
}

void Camera::apply(int command) {
  const PkVec3f r = up.cross(direction); // points to the viewer's left
  switch (command) {
  case Forward: position += moveStep * direction; break;
  case Backward: position -= moveStep * direction; break;
  case Left: position += moveStep * r; break;
  case Right: position -= moveStep * r; break;
  case Up: position += moveStep * up; break;
  case Down: position -= moveStep * up; break;
  case PitchUp: pitch(turnStep); break;
  case PitchDown: pitch(-turnStep); break;
  case YawLeft: yaw(-turnStep); break;
  case YawRight: yaw(turnStep); break;
  case RollLeft: roll(-turnStep); break;
  case RollRight: roll(turnStep); break;
  default: break;
  }
  computeProjection();
  computeView();
  if (!pk::hasCurrentContext()) return;
  glMatrixMode(GL_PROJECTION);
  glLoadMatrixf(projectionMatrix);
  glMatrixMode(GL_MODELVIEW);
  glLoadMatrixf(viewMatrix);
}

void Camera::setEdge(int edge, float value) {
  // Edges are numbered top, bottom, left, right but stored top, bottom, right, left.
  static const int slot[4] = {0, 1, 3, 2};
  if (edge >= 0 && edge < 4)
    edgeOffset[slot[edge]] = value;
  else
    pk::ErrorLine() << "unknown edge : " << edge << " value: " << value;
  computeProjection();
}

void Camera::renormalize() {
  direction.makeUnit();
  up.makeUnit();
  computeProjection();
  computeView();
}

void Camera::interpolate(const Camera& a, const Camera& b, float t) {
  *this = a;
  position = (1 - t) * a.position + t * b.position;
  direction = (1 - t) * a.direction + t * b.direction;
  up = (1 - t) * a.up + t * b.up;
  direction.makeUnit();
  up.makeUnit();
  computeProjection();
  computeView();
}

void Camera::pitch(float a) {
  const PkVec3f d = direction, u = up;
  direction = (std::cos(a) * d + std::sin(a) * u).normalized();
  up = (-std::sin(a) * d + std::cos(a) * u).normalized();
}

void Camera::yaw(float a) {
  const PkVec3f d = direction;
  direction = (std::cos(a) * d + std::sin(a) * d.cross(up)).normalized();
}

void Camera::roll(float a) {
  const PkVec3f u = up;
  up = (std::cos(a) * u + std::sin(a) * u.cross(direction)).normalized();
}

void Camera::computeProjection() {
  const float f = std::tan(float(fov * pk::kDegToRad * 0.5)) * nearPlane;
  const float effectiveAspect = projectionMode == 2 ? aspect * 0.5f : aspect;
  float right = f * effectiveAspect, left = -right, top = f, bottom = -f;
  if (projectionMode == 1 || projectionMode == 2) {
    float o = 0.5f * eyeSeparation * nearPlane / focalDistance;
    if (stereoEye == 1) o = -o;
    left += o;
    right += o;
  }
  switch (projectionMode) {
  case 3: right = 0; bottom = 0; break;
  case 4: left = 0; bottom = 0; break;
  case 5: right = 0; top = 0; break;
  case 6: left = 0; top = 0; break;
  default: break;
  }
  const float l = left + edgeOffset[3], r = right + edgeOffset[2];
  const float b = bottom + edgeOffset[1], t = top + edgeOffset[0];
  const float n = nearPlane, fa = farPlane;
  matrixFromGL(
      projectionMatrix, [&] { glFrustum(l, r, b, t, n, fa); },
      [&](float* m) { frustumMatrix(l, r, b, t, n, fa, m); });
  updateViewProjection();
}

void Camera::computeView() {
  PkVec3f eye = position, target = position + direction;
  if (projectionMode == 1 || projectionMode == 2) {
    const PkVec3f s = direction.unitCross(up) * (0.5f * eyeSeparation);
    if (stereoEye == 0) {
      eye -= s;
      target -= s;
    } else {
      eye += s;
      target += s;
    }
  }
  matrixFromGL(
      viewMatrix,
      [&] { gluLookAt(eye.x, eye.y, eye.z, target.x, target.y, target.z, up.x, up.y, up.z); },
      [&](float* m) { lookAtMatrix(eye, target, up, m); });
  updateViewProjection();
}

void Camera::updateViewProjection() {
  // Column-major product projection · view.
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += projectionMatrix[k * 4 + r] * viewMatrix[c * 4 + k];
      viewProjectionMatrix[c * 4 + r] = s;
    }
}

Camera operator+(const Camera& a, const Camera& b) {
  Camera c;
  c.position = a.position + b.position;
  c.direction = a.direction + b.direction;
  c.up = a.up + b.up;
  return c;
}

Camera operator*(const Camera& a, float s) {
  Camera c;
  c.position = a.position * s;
  c.direction = a.direction * s;
  c.up = a.up * s;
  return c;
}

Camera operator*(float s, const Camera& a) { return a * s; }
