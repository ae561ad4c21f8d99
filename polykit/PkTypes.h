// Small value types shared by every layer of Vorex: the library's boolean and string types, the
// three-component vector, the point-times-matrix product and the angle constants.
#pragma once

#include <cmath>
#include <limits>
#include <string>

typedef bool PkBool;
typedef std::string PkString;

namespace pk {
// Tolerances of the two normalisation rules.
constexpr float kEpsilon23 = 1.1920929e-07f; // 2^-23
constexpr float kEpsilon46 = 1.4210855e-14f; // 2^-46

// Set up once at start (before main) from 4·atan(1).
extern const double kPi;
extern const double kTwoPi;
extern const double kDegToRad;

void reportZeroHomogeneous(); // "operator*(PkVec3<T>, w) yields zero homogenous coordinate"
} // namespace pk

template <typename T>
struct PkVec3 {
  T x = 0, y = 0, z = 0;

  constexpr PkVec3() = default;
  constexpr PkVec3(T ax, T ay, T az) : x(ax), y(ay), z(az) {}

  PkVec3 operator+(const PkVec3& b) const { return {x + b.x, y + b.y, z + b.z}; }
  PkVec3 operator-(const PkVec3& b) const { return {x - b.x, y - b.y, z - b.z}; }
  PkVec3 operator-() const { return {-x, -y, -z}; }
  PkVec3& operator+=(const PkVec3& b) { x += b.x; y += b.y; z += b.z; return *this; }
  PkVec3& operator-=(const PkVec3& b) { x -= b.x; y -= b.y; z -= b.z; return *this; }
  PkVec3 operator*(T s) const { return {x * s, y * s, z * s}; }
  friend PkVec3 operator*(T s, const PkVec3& v) { return {s * v.x, s * v.y, s * v.z}; }
  bool operator==(const PkVec3& b) const { return x == b.x && y == b.y && z == b.z; }
  bool operator!=(const PkVec3& b) const { return !(*this == b); }

  // Component-wise division; a zero divisor component gives +infinity.
  PkVec3 operator/(const PkVec3& b) const {
    return {divide(x, b.x), divide(y, b.y), divide(z, b.z)};
  }

  T dot(const PkVec3& b) const { return x * b.x + y * b.y + z * b.z; }
  T lengthSquared() const { return dot(*this); }
  T length() const { return std::sqrt(lengthSquared()); }

  PkVec3 cross(const PkVec3& b) const {
    return {y * b.z - z * b.y, z * b.x - x * b.z, x * b.y - y * b.x};
  }
  // Cross product made unit length by the in-place rule.
  PkVec3 unitCross(const PkVec3& b) const {
    PkVec3 c = cross(b);
    c.makeUnit();
    return c;
  }

  // Returned unchanged when |s - 1| < eps², divided by sqrt(s) when s > eps², else zero.
  PkVec3 normalized(T eps = T(pk::kEpsilon23)) const {
    const T s = lengthSquared();
    if (std::fabs(s - T(1)) < eps * eps) return *this;
    if (s > eps * eps) {
      const T r = std::sqrt(s);
      return {x / r, y / r, z / r};
    }
    return {};
  }

  // The in-place unit-vector rule: zero when s < 2^-46, divided by sqrt(s) when |s - 1| > 2^-46.
  PkVec3& makeUnit() {
    const T s = lengthSquared();
    if (s < T(pk::kEpsilon46)) {
      *this = PkVec3();
    } else if (std::fabs(s - T(1)) > T(pk::kEpsilon46)) {
      const T r = std::sqrt(s);
      x /= r; y /= r; z /= r;
    }
    return *this;
  }

private:
  static T divide(T a, T b) { return b == T(0) ? std::numeric_limits<T>::infinity() : a / b; }
};

typedef PkVec3<float> PkVec3f;

// A 4×4 matrix stored row by row: element (i, j) at index 4i + j.
template <typename T>
struct PkMatrix4 {
  T m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  T& operator()(int i, int j) { return m[4 * i + j]; }
  T operator()(int i, int j) const { return m[4 * i + j]; }
};

// Point (x, y, z, w) times the matrix, divided by the resulting w'. A |w'| below 2^-23 is reported
// and replaced by 1.
template <typename T>
PkVec3<T> transformPoint(const PkMatrix4<T>& a, const PkVec3<T>& p, T w = T(1)) {
  auto row = [&](int i) { return a(i, 0) * p.x + a(i, 1) * p.y + a(i, 2) * p.z + a(i, 3) * w; };
  T wp = row(3);
  if (std::fabs(wp) < T(pk::kEpsilon23)) {
    pk::reportZeroHomogeneous();
    wp = T(1);
  }
  return {row(0) / wp, row(1) / wp, row(2) / wp};
}

template <typename T>
PkVec3<T> operator*(const PkMatrix4<T>& a, const PkVec3<T>& p) { return transformPoint(a, p); }
