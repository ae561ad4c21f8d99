// The viewer's perspective camera: position, viewing direction and up vector, field of view and
// clip planes, optional stereo and quarter-frustum projections, and the matrices derived from them.
// No OpenGL header here; the matrices are column-major as OpenGL stores them.
#pragma once

#include "PkTypes.h"

class Camera {
public:
  float fov = 45.0f;            // vertical field of view, degrees
  float aspect = 1.0f;          // width / height of the viewport
  float nearPlane = 1.0f;
  float farPlane = 100.0f;
  float focalDistance = 50.0f;  // zero-parallax plane of the stereo projections
  float eyeSeparation = 0.04f;
  int stereoEye = 0;            // 0 left, 1 right
  PkVec3f position{0, 0, 0};
  PkVec3f direction{0, 0, -1};  // kept unit length
  PkVec3f up{0, 1, 0};          // kept unit length
  float moveStep = 1.0f;        // distance of one translation command
  float turnStep = 0.01f;       // angle of one rotation command, radians
  float viewMatrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float projectionMatrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float viewProjectionMatrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float edgeOffset[4] = {0, 0, 0, 0}; // stored top, bottom, right, left
  int projectionMode = 0;       // 0 mono, 1 stereo, 2 stereo side by side, 3..6 quarter frusta

  // Navigation commands of apply().
  enum Command {
    None = 0, Forward, Backward, Left, Right, Up, Down,
    PitchUp, PitchDown, YawLeft, YawRight, RollLeft, RollRight
  };

  Camera();

  // Performs the command, recomputes the matrices and loads them into OpenGL (projection into
  // GL_PROJECTION, view into GL_MODELVIEW, which is left the current matrix mode). Needs a context.
  void apply(int command = None);
  // Edge 0 top, 1 bottom, 2 left, 3 right; others are reported. Recomputes the projection.
  void setEdge(int edge, float value);
  void renormalize();
  // Becomes a copy of a with position, direction and up blended linearly towards b.
  void interpolate(const Camera& a, const Camera& b, float t);

  void pitch(float angle);
  void yaw(float angle);
  void roll(float angle);

  void computeProjection();
  void computeView();

  friend Camera operator+(const Camera& a, const Camera& b);
  friend Camera operator*(const Camera& a, float s);
  friend Camera operator*(float s, const Camera& a);

private:
  void updateViewProjection();
};
