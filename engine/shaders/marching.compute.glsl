// Marching tetrahedra over the candidate tetrahedron slots of one chunk, in three variants:
//
//   EDGE_PASS:    one invocation per edge of the span's edge range. A crossing edge is interpolated
//                 once, into the surface vertex its tetrahedra share (vertex VertexBase + n for the
//                 range's n-th edge): the position with the interpolation weight in w, the normal
//                 (the interpolated gradient) with the chunk's bits in w.
//   (default):    one invocation per tetrahedron slot. A crossing tetrahedron appends the indices
//                 of its triangle, or of its quad as two triangles, with one atomic add on the index
//                 count (the first word of an indexed indirect draw command), and its slot's id
//                 (chunk · 2^15 + slot) once per triangle.
//   FLAT_NORMALS: one invocation per tetrahedron slot, appending its three or six vertices whole,
//                 every one with the normal of the primitive's third vertex (a shared vertex cannot
//                 carry the normals of several primitives); the count is that of vertices.
//
// Inputs (buffer textures, bound per chunk):
//   Vertices: two texels per vertex slot, position and value, then gradient and value;
//   Edges:    one texel per edge of the chunk's edge rows (row · W/2 + column − W/2): its ends as
//             vertex slots (lower-valued end in the low 16 bits), and the two ends' values as bits;
//   Tets:     one texel per tetrahedron slot (row · W/2 + column): its edges AB, AC, AD, BC, BD, CD
//             (A..D in ascending value order) as edge numbers, two to a word, 0xFFFF for one that
//             the interpolation pass would leave cleared (never crossing); then the classification
//             edge as the vertex slots of its ends.
//
// The arithmetic repeats the interpolation pass and the triangle assembly exactly, so both back
// ends draw the same surface.
layout(local_size_x = 64) in;

uniform samplerBuffer Vertices;
uniform usamplerBuffer Edges;
uniform usamplerBuffer Tets;
uniform float Iso;
uniform uint ChunkBits;
uniform uint Capacity;    // indices (vertices for FLAT_NORMALS) the output holds
uniform int First;        // first edge (EDGE_PASS) or slot of the dispatch
uniform int Count;
uniform uint VertexBase;  // EDGE_PASS: the surface vertex of the range's first edge
uniform uint EdgeBase;    // added to an edge number to give its surface vertex
uniform bool Finite;      // every coordinate and value of the chunk finite and below 1e30

layout(std430, binding = 0) writeonly buffer Surface { vec4 corners[]; };
layout(std430, binding = 1) buffer Command { uint appended; uint instanceCount; uint firstIndex; uint baseVertex; uint baseInstance; };
layout(std430, binding = 2) writeonly buffer Indices { uint indices[]; };
layout(std430, binding = 3) writeonly buffer Slots { uint slotIds[]; };

const uint kNoEdge = 0xFFFFu;

// The edge between two vertex slots at the isovalue: the interpolated texel, with the weight in w,
// or −1 (the isovalue lies below both ends) or −2 (above both) in w.
vec4 interpolateEnds(uint ends, int texel)
{
  vec4 lo = texelFetch(Vertices, 2 * int(ends & 0xFFFFu) + texel);
  vec4 hi = texelFetch(Vertices, 2 * int(ends >> 16) + texel);
  float d = max(hi.w - lo.w, 0.000001);
  float i = clamp((Iso - lo.w) / d, 0.0, 1.0);
  vec4 result = lo + (hi - lo) * i;
  result.w = i;
  if (Iso > hi.w) result.w = -2.0;
  if (Iso < lo.w) result.w = -1.0;
  return result;
}

#ifdef EDGE_PASS

void main()
{
  int n = int(gl_GlobalInvocationID.x);
  if (n >= Count) return;
  uvec4 edge = texelFetch(Edges, First + n);
  // Only crossing edges are read by the assembly; with values that are not finite it may read any.
  if (Finite && (Iso > uintBitsToFloat(edge.z) || Iso < uintBitsToFloat(edge.y))) return;
  vec4 p = interpolateEnds(edge.x, 0);
  vec4 g = interpolateEnds(edge.x, 1);
  g.w = uintBitsToFloat(ChunkBits);
  uint at = 2u * (VertexBase + uint(n));
  corners[at] = p;
  corners[at + 1u] = g;
}

#else

float sideOf(uint ends)
{
  float lo = texelFetch(Vertices, 2 * int(ends & 0xFFFFu)).w;
  float hi = texelFetch(Vertices, 2 * int(ends >> 16)).w;
  float w = 0.0;
  if (Iso > hi) w = -2.0;
  if (Iso < lo) w = -1.0;
  return w;
}

// The four edges the primitive joins, as the classification edge BC decides: a quad between its
// ends (AC, AD, BD, BC), a triangle near A below (AB, AC, AD, AD), near D above (AD, AD, BD, CD).
uvec4 primitiveEdges(uvec4 t)
{
  uint ab = t.x & 0xFFFFu, ac = t.x >> 16, ad = t.y & 0xFFFFu, bc = t.y >> 16, bd = t.z & 0xFFFFu, cd = t.z >> 16;
  float side = sideOf(t.w);
  uvec4 e = uvec4(ac, ad, bd, bc);
  if (side < 0.0) e = uvec4(ab, ac, ad, ad);
  if (side < -1.0) e = uvec4(ad, ad, bd, cd);
  return e;
}

#ifdef FLAT_NORMALS

vec4 interpolateEdge(uint edge, int texel)
{
  if (edge == kNoEdge) return vec4(1.0, 1.0, 1.0, -1.0);
  return interpolateEnds(texelFetch(Edges, int(edge)).x, texel);
}

void main()
{
  int n = int(gl_GlobalInvocationID.x);
  if (n >= Count) return;
  int slot = First + n;
  uvec4 e = primitiveEdges(texelFetch(Tets, slot));

  vec4 p0 = interpolateEdge(e.x, 0), p1 = interpolateEdge(e.y, 0);
  vec4 p2 = interpolateEdge(e.z, 0), p3 = interpolateEdge(e.w, 0);
  if (min(min(p0.w, p1.w), min(p2.w, p3.w)) < 0.0) return;
  vec4 normal = interpolateEdge(e.z, 1);
  normal.w = uintBitsToFloat(ChunkBits | uint(slot));

  // A repeated corner makes a triangle: (v0, v1, v2) when v2 = v3, (v0, v2, v3) when v0 = v1.
  bool dropFirst = p0 == p1;
  bool single = p2 == p3 || dropFirst;
  if (dropFirst && !(p2 == p3)) { p1 = p2; p2 = p3; }
  uint count = single ? 3u : 6u;
  uint at = atomicAdd(appended, count);
  if (at + count > Capacity) return;
  uint w = 2u * at;
  corners[w] = p0; corners[w + 1u] = normal;
  corners[w + 2u] = p1; corners[w + 3u] = normal;
  corners[w + 4u] = p2; corners[w + 5u] = normal;
  if (!single) {
    corners[w + 6u] = p0; corners[w + 7u] = normal;
    corners[w + 8u] = p2; corners[w + 9u] = normal;
    corners[w + 10u] = p3; corners[w + 11u] = normal;
  }
}

#else

// The weight of an edge's vertex from the values of its ends, as interpolateEnds gives it.
float weightOf(uvec4 edge)
{
  float lo = uintBitsToFloat(edge.y), hi = uintBitsToFloat(edge.z);
  float d = max(hi - lo, 0.000001);
  float w = clamp((Iso - lo) / d, 0.0, 1.0);
  if (Iso > hi) w = -2.0;
  if (Iso < lo) w = -1.0;
  return w;
}

// Whether two crossing edges give the same vertex, position and weight, as the passes compare their
// interpolated texels. An edge is its own vertex where everything is finite; other pairs of equal
// weight (the isovalue at a shared end) are interpolated and compared.
bool sameVertex(uint a, uint b, uvec4 edgeA, uvec4 edgeB, float wa, float wb)
{
  if (!(wa == wb)) return false;
  if (a == b && Finite) return true;
  return interpolateEnds(edgeA.x, 0).xyz == interpolateEnds(edgeB.x, 0).xyz;
}

void main()
{
  int n = int(gl_GlobalInvocationID.x);
  if (n >= Count) return;
  int slot = First + n;
  uvec4 e = primitiveEdges(texelFetch(Tets, slot));
  if (e.x == kNoEdge || e.y == kNoEdge || e.z == kNoEdge || e.w == kNoEdge) return;

  uvec4 q0 = texelFetch(Edges, int(e.x)), q1 = texelFetch(Edges, int(e.y));
  uvec4 q2 = texelFetch(Edges, int(e.z)), q3 = texelFetch(Edges, int(e.w));
  float w0 = weightOf(q0), w1 = weightOf(q1), w2 = weightOf(q2), w3 = weightOf(q3);
  if (min(min(w0, w1), min(w2, w3)) < 0.0) return;

  // A repeated corner makes a triangle: (v0, v1, v2) when v2 = v3, (v0, v2, v3) when v0 = v1.
  bool dropFirst = sameVertex(e.x, e.y, q0, q1, w0, w1);
  bool same23 = sameVertex(e.z, e.w, q2, q3, w2, w3);
  bool single = same23 || dropFirst;
  if (dropFirst && !same23) { e.y = e.z; e.z = e.w; }
  uint count = single ? 3u : 6u;
  uint at = atomicAdd(appended, count);
  if (at + count > Capacity) return;
  uvec4 v = e + uvec4(EdgeBase);
  uint id = ChunkBits | uint(slot);
  indices[at] = v.x;
  indices[at + 1u] = v.y;
  indices[at + 2u] = v.z;
  slotIds[at / 3u] = id;
  if (!single) {
    indices[at + 3u] = v.x;
    indices[at + 4u] = v.z;
    indices[at + 5u] = v.w;
    slotIds[at / 3u + 1u] = id;
  }
}

#endif
#endif
