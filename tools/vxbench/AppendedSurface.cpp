#include "AppendedSurface.h"

#include "ReferenceExtractor.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace vxbench {

namespace {

constexpr int kFloats = 8;

std::uint32_t slotId(const float* vertex) {
  std::uint32_t bits;
  std::memcpy(&bits, vertex + 7, 4);
  return bits;
}

bool sameTexel(const float* a, const float* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

bool close(float a, float b) {
  const float scale = std::max(1.0f, std::max(std::fabs(a), std::fabs(b)));
  return std::fabs(a - b) <= 1e-5f * scale;
}

void pushVertex(std::vector<float>& out, const float* position, const float* normal) {
  out.insert(out.end(), position, position + 4);
  out.insert(out.end(), normal, normal + 4);
}

} // namespace

bool groupBySlot(const std::vector<float>& vertices, SlotVertices& out) {
  const std::size_t count = vertices.size() / kFloats;
  std::size_t i = 0;
  while (i < count) {
    const std::uint32_t id = slotId(&vertices[i * kFloats]);
    std::size_t n = 1;
    while (i + n < count && n < 6 && slotId(&vertices[(i + n) * kFloats]) == id) ++n;
    if ((n != 3 && n != 6) || out.count(id)) return false;
    out[id].assign(vertices.begin() + std::ptrdiff_t(i * kFloats), vertices.begin() + std::ptrdiff_t((i + n) * kFloats));
    i += n;
  }
  return true;
}

void referenceSlots(const ReferenceChunkOutput& ref, int chunk, int W, int H, SlotVertices& out) {
  if (!ref.span.drawn()) return;
  ReferenceExtractor layout(W, H);
  const int columns = W / 2;
  for (int r = std::max(ref.span.rowMin, 0); r < std::min(ref.span.rowEnd, H); ++r)
    for (int c = 0; c < columns; ++c) {
      const int h = ReferenceExtractor::halfOf(c, W);
      const float* p[4];
      const float* n[4];
      bool crossing = true;
      for (int k = 0; k < 4; ++k) {
        const std::size_t at = layout.outputTexel(r, c, k);
        p[k] = &ref.positions[h][at];
        n[k] = &ref.normals[h][at];
        crossing = crossing && p[k][3] >= 0.0f;
      }
      if (!crossing) continue;
      std::vector<float>& v = out[std::uint32_t(chunk) << 15 | std::uint32_t(r * columns + c)];
      if (sameTexel(p[2], p[3])) {
        for (int k : {0, 1, 2}) pushVertex(v, p[k], n[k]);
      } else if (sameTexel(p[0], p[1])) {
        for (int k : {0, 2, 3}) pushVertex(v, p[k], n[k]);
      } else {
        for (int k : {0, 1, 2, 0, 2, 3}) pushVertex(v, p[k], n[k]);
      }
    }
}

TargetDifference compareSlots(const SlotVertices& appended, const SlotVertices& expected) {
  TargetDifference d;
  auto note = [&](std::uint32_t id, const std::string& what) {
    if (d.differing++ == 0) {
      std::ostringstream s;
      s << "chunk " << (id >> 15) << " slot " << (id & 0x7FFF) << ": " << what;
      d.first = s.str();
    }
  };
  for (const auto& [id, v] : expected) {
    const auto found = appended.find(id);
    if (found == appended.end()) {
      note(id, "crosses in the reference, missing here");
      continue;
    }
    const std::vector<float>& a = found->second;
    if (a.size() != v.size()) {
      note(id, std::to_string(a.size() / kFloats) + " vertices here, " + std::to_string(v.size() / kFloats) +
                   " in the reference");
      continue;
    }
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i % kFloats == 7) continue; // the slot id here, the weight in the reference
      if (!close(a[i], v[i])) {
        std::ostringstream s;
        s << "vertex " << i / kFloats << " component " << i % kFloats << ": " << a[i] << " here, " << v[i]
          << " in the reference";
        note(id, s.str());
        break;
      }
    }
  }
  for (const auto& entry : appended)
    if (!expected.count(entry.first)) note(entry.first, "drawn here, does not cross in the reference");
  return d;
}

PrimitiveCount countSlots(const SlotVertices& slots) {
  PrimitiveCount c;
  for (const auto& entry : slots) (entry.second.size() == 6 * kFloats ? c.quads : c.triangles)++;
  return c;
}

void appendSlots(const SlotVertices& slots, PolygonSoup& soup) {
  for (const auto& entry : slots) {
    const std::vector<float>& v = entry.second;
    const bool quad = v.size() == 6 * kFloats;
    for (int k : quad ? std::vector<int>{0, 1, 2, 5} : std::vector<int>{0, 1, 2}) {
      const float* p = &v[std::size_t(k) * kFloats];
      soup.positions.insert(soup.positions.end(), p, p + 3);
      const float length = std::sqrt(p[4] * p[4] + p[5] * p[5] + p[6] * p[6]);
      for (int i = 4; i < 7; ++i) soup.normals.push_back(length > 0 ? p[i] / length : 0.0f);
    }
    soup.corners.push_back(quad ? 4 : 3);
    (quad ? soup.count.quads : soup.count.triangles)++;
  }
}

} // namespace vxbench
