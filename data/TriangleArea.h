// Area of a triangle given by three points of three coordinates each (float or double), computed
// in double precision as half the length of the cross product of two edges.
#pragma once

#include <cmath>

template <class T>
inline double triangleArea(const T* a, const T* b, const T* c) {
  const double u[3] = {double(b[0]) - double(a[0]), double(b[1]) - double(a[1]), double(b[2]) - double(a[2])};
  const double v[3] = {double(c[0]) - double(a[0]), double(c[1]) - double(a[1]), double(c[2]) - double(a[2])};
  const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2], z = u[0] * v[1] - u[1] * v[0];
  return 0.5 * std::sqrt(x * x + y * y + z * z);
}
