#include "SurfaceSoup.h"

#include "PkDiag.h"
#include "TriangleArea.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vxbench {

namespace {

enum class SlotKind { None, Triangle0, Triangle1, Quad }; // Triangle0: v2 = v3; Triangle1: v0 = v1

bool sameTexel(const float* a, const float* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

SlotKind classify(const float* slot) {
  for (int k = 0; k < 4; ++k)
    if (!(slot[4 * k + 3] >= 0.0f)) return SlotKind::None;
  if (sameTexel(slot + 8, slot + 12)) return SlotKind::Triangle0;
  if (sameTexel(slot, slot + 4)) return SlotKind::Triangle1;
  return SlotKind::Quad;
}

// Calls f(slot pointer offset in floats, kind) for every crossing slot of the rows.
template <typename F>
void forEachCrossing(const std::vector<float>& positions, int width, int rowFirst, int rowEnd, F f) {
  if (width < 4) return;
  const std::size_t rowFloats = std::size_t(width) * 4;
  const int rows = int(positions.size() / rowFloats);
  rowFirst = std::max(rowFirst, 0);
  rowEnd = std::min(rowEnd, rows);
  for (int row = rowFirst; row < rowEnd; ++row)
    for (int s = 0; s < width / 4; ++s) {
      const std::size_t at = std::size_t(row) * rowFloats + std::size_t(s) * 16;
      const SlotKind kind = classify(&positions[at]);
      if (kind != SlotKind::None) f(at, kind);
    }
}

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

void putFloat(std::string& out, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  putU32(out, bits);
}

} // namespace

double PolygonSoup::area() const {
  double sum = 0;
  std::size_t vertex = 0;
  for (std::uint8_t n : corners) {
    const float* p = &positions[3 * vertex];
    sum += triangleArea(p, p + 3, p + 6);
    if (n == 4) sum += triangleArea(p, p + 6, p + 9);
    vertex += n;
  }
  return sum;
}

PrimitiveCount countPrimitives(const std::vector<float>& positions, int width, int rowFirst, int rowEnd) {
  PrimitiveCount count;
  forEachCrossing(positions, width, rowFirst, rowEnd, [&](std::size_t, SlotKind kind) {
    if (kind == SlotKind::Quad)
      ++count.quads;
    else
      ++count.triangles;
  });
  return count;
}

void appendPrimitives(const std::vector<float>& positions, const std::vector<float>& normals, int width,
                      int rowFirst, int rowEnd, PolygonSoup& soup) {
  const bool haveNormals = normals.size() == positions.size();
  forEachCrossing(positions, width, rowFirst, rowEnd, [&](std::size_t at, SlotKind kind) {
    static const int kTriangle0[3] = {0, 1, 2}, kTriangle1[3] = {0, 2, 3}, kQuad[4] = {0, 1, 2, 3};
    const int* order = kind == SlotKind::Quad ? kQuad : kind == SlotKind::Triangle0 ? kTriangle0 : kTriangle1;
    const int n = kind == SlotKind::Quad ? 4 : 3;
    for (int i = 0; i < n; ++i) {
      const std::size_t texel = at + 4 * std::size_t(order[i]);
      soup.positions.insert(soup.positions.end(), &positions[texel], &positions[texel] + 3);
      float g[3] = {0, 0, 0};
      if (haveNormals) {
        const float* src = &normals[texel];
        const double length = std::sqrt(double(src[0]) * src[0] + double(src[1]) * src[1] + double(src[2]) * src[2]);
        if (length > 0 && std::isfinite(length))
          for (int c = 0; c < 3; ++c) g[c] = float(src[c] / length);
      }
      soup.normals.insert(soup.normals.end(), g, g + 3);
    }
    soup.corners.push_back(std::uint8_t(n));
    if (n == 4)
      ++soup.count.quads;
    else
      ++soup.count.triangles;
  });
}

TargetDifference compareTargets(const std::vector<float>& gpu, const std::vector<float>& reference, int width,
                                int rowFirst, int rowEnd) {
  TargetDifference d;
  if (gpu.size() != reference.size() || width <= 0) {
    d.differing = std::max<std::size_t>(1, std::max(gpu.size(), reference.size()));
    d.first = "sizes differ: " + std::to_string(gpu.size()) + " and " + std::to_string(reference.size()) + " values";
    return d;
  }
  const std::size_t rowValues = 4 * std::size_t(width);
  const std::size_t begin = std::min(gpu.size(), std::size_t(std::max(rowFirst, 0)) * rowValues);
  const std::size_t end = rowEnd < 0 ? gpu.size() : std::clamp(std::size_t(rowEnd) * rowValues, begin, gpu.size());
  for (std::size_t i = begin; i < end; ++i) {
    const float a = gpu[i], b = reference[i];
    const bool flag = i % 4 == 3 && (a < 0 || b < 0);
    const bool ok = flag ? a == b : std::fabs(a - b) <= 1e-5f * std::max(1.0f, std::fabs(b));
    if (ok) continue;
    if (d.differing++ == 0) {
      const std::size_t texel = i / 4;
      std::ostringstream text;
      text.precision(9);
      text << "window row " << texel / std::size_t(width) << ", column " << texel % std::size_t(width)
           << ", component " << "xyzw"[i % 4] << ": " << a << " instead of " << b;
      d.first = text.str();
    }
  }
  return d;
}

bool writePly(const std::string& path, const PolygonSoup& soup) {
  const std::size_t vertices = soup.positions.size() / 3;
  std::string header = "ply\nformat binary_little_endian 1.0\ncomment Vorex isosurface: " +
                       std::to_string(soup.count.triangles) + " triangles, " + std::to_string(soup.count.quads) +
                       " quads\nelement vertex " + std::to_string(vertices) +
                       "\nproperty float x\nproperty float y\nproperty float z\n"
                       "property float nx\nproperty float ny\nproperty float nz\n"
                       "element face " + std::to_string(soup.corners.size()) +
                       "\nproperty list uchar int vertex_indices\nend_header\n";
  std::string body;
  body.reserve(vertices * 24 + soup.corners.size() * 17);
  for (std::size_t v = 0; v < vertices; ++v) {
    for (int c = 0; c < 3; ++c) putFloat(body, soup.positions[3 * v + std::size_t(c)]);
    for (int c = 0; c < 3; ++c) putFloat(body, v * 3 + 2 < soup.normals.size() ? soup.normals[3 * v + std::size_t(c)] : 0.0f);
  }
  std::uint32_t next = 0;
  for (std::uint8_t n : soup.corners) {
    body.push_back(char(n));
    for (int i = 0; i < n; ++i) putU32(body, next++);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(header.data(), std::streamsize(header.size()));
    out.write(body.data(), std::streamsize(body.size()));
    out.close();
  }
  if (!out) {
    pk::error("cannot write " + path);
    return false;
  }
  return true;
}

} // namespace vxbench
