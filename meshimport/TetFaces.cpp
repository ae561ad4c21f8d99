#include "meshimport/TetFaces.h"

#include <algorithm>

namespace vxb {

std::vector<TetFace> sortedTetFaces(const std::vector<uint32_t>& tets) {
  const size_t nt = tets.size() / 4;
  std::vector<TetFace> faces(4 * nt);
  for (size_t t = 0; t < nt; ++t)
    for (uint32_t o = 0; o < 4; ++o) {
      TetFace& f = faces[4 * t + o];
      int k = 0;
      for (uint32_t c = 0; c < 4; ++c)
        if (c != o) f.v[k++] = tets[4 * t + c];
      std::sort(f.v, f.v + 3);
      f.tet = uint32_t(t);
      f.corner = o;
    }
  std::sort(faces.begin(), faces.end(), [](const TetFace& a, const TetFace& b) {
    if (a.v[0] != b.v[0]) return a.v[0] < b.v[0];
    if (a.v[1] != b.v[1]) return a.v[1] < b.v[1];
    if (a.v[2] != b.v[2]) return a.v[2] < b.v[2];
    return a.tet < b.tet;
  });
  return faces;
}

} // namespace vxb
