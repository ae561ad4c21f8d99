// The surface of an appending back end (the compute pass), taken apart on the host: its vertex
// buffer holds eight floats per vertex (position with the weight in w, normal with the slot id
// chunk·2^15 + slot as bits in w), every crossing tetrahedron slot three vertices (a triangle) or
// six (a quad as (v0, v1, v2) and (v0, v2, v3)), contiguous. And the same surface expected from the
// CPU reference's per-slot output, so that both can be compared slot by slot in any order.
#pragma once

#include "SurfaceSoup.h"

#include <cstdint>
#include <map>
#include <vector>

struct ReferenceChunkOutput;

namespace vxbench {

// Vertices of each slot (eight floats each, normals' w unused), keyed by slot id.
using SlotVertices = std::map<std::uint32_t, std::vector<float>>;

// Groups an appended vertex buffer by slot. False when a slot appears twice or a group is not
// three or six vertices.
bool groupBySlot(const std::vector<float>& vertices, SlotVertices& out);

// The crossing slots of a reference chunk's drawn rows as an appending back end writes them.
void referenceSlots(const ReferenceChunkOutput& reference, int chunk, int width, int height, SlotVertices& out);

// Slot by slot: the same slots, the same vertex counts, positions (xyzw) and normals (xyz) within
// 1e-5 relative (absolute below 1).
TargetDifference compareSlots(const SlotVertices& appended, const SlotVertices& expected);

// Triangles and quads of a grouped surface, and the same as polygons (normals normalised).
PrimitiveCount countSlots(const SlotVertices& slots);
void appendSlots(const SlotVertices& slots, PolygonSoup& soup);

} // namespace vxbench
