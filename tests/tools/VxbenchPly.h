// A reader of the PLY files vxbench writes, kept apart from the tool's writer: binary little-endian,
// vertices with float x y z nx ny nz, faces as a uchar-counted list of int indices.
#pragma once

#include "TriangleArea.h"

#include <cmath>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TestPly {
  std::vector<float> vertices; // six floats each: position, normal
  std::vector<std::vector<int>> faces;

  std::size_t facesWith(std::size_t corners) const {
    std::size_t n = 0;
    for (const auto& f : faces) n += f.size() == corners;
    return n;
  }
  // Sum of the faces' areas, quads as (v0, v1, v2) and (v0, v2, v3).
  double area() const {
    auto triangle = [&](int a, int b, int c) {
      const float* p = &vertices[6 * std::size_t(a)];
      const float* q = &vertices[6 * std::size_t(b)];
      const float* r = &vertices[6 * std::size_t(c)];
      return triangleArea(p, q, r);
    };
    double sum = 0;
    for (const auto& f : faces) {
      if (f.size() >= 3) sum += triangle(f[0], f[1], f[2]);
      if (f.size() == 4) sum += triangle(f[0], f[2], f[3]);
    }
    return sum;
  }
};

// False for anything but that layout, for indices out of range and for bytes after the last face.
inline bool readTestPly(const std::string& path, TestPly& ply) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::size_t vertexCount = 0, faceCount = 0;
  if (!std::getline(in, line) || line != "ply") return false;
  if (!std::getline(in, line) || line != "format binary_little_endian 1.0") return false;
  std::vector<std::string> properties;
  while (std::getline(in, line) && line != "end_header") {
    std::istringstream s(line);
    std::string word, kind;
    s >> word;
    if (word == "element") {
      std::size_t n = 0;
      s >> kind >> n;
      if (kind == "vertex") vertexCount = n;
      else if (kind == "face") faceCount = n;
      else return false;
    } else if (word == "property") {
      properties.push_back(line);
    } else if (word != "comment") {
      return false;
    }
  }
  const std::vector<std::string> expected = {"property float x", "property float y", "property float z",
                                             "property float nx", "property float ny", "property float nz",
                                             "property list uchar int vertex_indices"};
  if (line != "end_header" || properties != expected) return false;
  ply.vertices.resize(vertexCount * 6);
  if (!in.read(reinterpret_cast<char*>(ply.vertices.data()), std::streamsize(ply.vertices.size() * 4))) return false;
  for (std::size_t f = 0; f < faceCount; ++f) {
    unsigned char n = 0;
    if (!in.read(reinterpret_cast<char*>(&n), 1)) return false;
    std::vector<int> face(n);
    if (!in.read(reinterpret_cast<char*>(face.data()), std::streamsize(4 * n))) return false;
    for (int i : face)
      if (i < 0 || std::size_t(i) >= vertexCount) return false;
    ply.faces.push_back(face);
  }
  return in.peek() == std::char_traits<char>::eof();
}
