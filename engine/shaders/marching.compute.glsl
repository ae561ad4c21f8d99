// Marching tetrahedra over the candidate tetrahedron slots of the spans of many chunks, appending
// the crossing primitives to the surface buffer the view draws from.
//
// Inputs (buffer textures):
//   Groups:   per work group, its span; the span's slot its first invocation takes (low 16 bits)
//             and its output region (high 16); and the region's first index and end;
//   Spans:    per span, its first tetrahedron texel, its chunk's first vertex texel, the id of its
//             first slot and its slot count;
//   Vertices: the chunks' vertices (of a slab), two texels per vertex slot, position and value,
//             then gradient and value;
//   Tets:     the chunks' tetrahedra, per tetrahedron slot (row · W/2 + column), A..D in
//             ascending value order. REGULAR: one texel, the corners' vertex slots (A | B << 16,
//             C | D << 16); else two texels, six edges, each as its vertex slots (lower-valued end
//             in the low 16 bits, higher-valued end in the high 16), (AB, AC, AD, BC) and (BD, CD),
//             0xFFFFFFFF for an index outside the chunk's edge rows, which reads as not crossing.
//             Either way the last two words are the values at the ends of the slot's
//             classification edge as float bits, lower end first (fetched from the vertices at
//             load, so the pass reads them with the slot).
// Output: per crossing tetrahedron one primitive of four surface vertices, each two vec4s: the
// position with the interpolation weight in w, and the normal (the interpolated gradient), in the
// first vertex with the slot's id (chunk · 2^15 + slot) as bits in w (the others' w is not
// written, or holds the id too: the view reads the normal's xyz only). A triangle repeats its third
// vertex as the fourth.
// A fixed index buffer draws primitive p as (4p, 4p+1, 4p+2) and (4p, 4p+2, 4p+3), the second of
// which has no area for a triangle: four vertices written where a quad took six.
// The output is cut into regions, each with its own indexed indirect draw command (the commands
// 64 bytes apart, so that each count has a cache line of its own). The host cuts the work groups
// of each dispatch into as many parts, in order, and the k-th part appends to region k, which it
// sized for the slots of those groups. Each crossing tetrahedron takes its primitive with one
// atomic add of six on its region's index count. On llvmpipe each thread runs a contiguous part of
// a dispatch's groups, so each appends to regions of its own: with one count for all, the threads
// contended for it and wrote their vertices into neighbouring blocks of one buffer, which made the
// largest surfaces twice as slow.
//
// Where the context has 64-bit integers and subgroup ballots (SUBGROUPS), each vertex is written as
// one u64vec4, and the crossing lanes of a subgroup take their places with one atomic add by the
// first of them: on llvmpipe a storage-buffer write or atomic runs lane by lane and component by
// component, so that halves the writes' steps and makes the atomic one per subgroup. The vertices
// are the same either way (this form also writes the slot id into the w the view does not read of
// the second to fourth vertex).
//
// The arithmetic repeats the interpolation pass and the triangle assembly exactly, so both back
// ends draw the same surface. FLAT_NORMALS: the primitive's third vertex gives the normal of all.
layout(local_size_x = 64) in;

uniform usamplerBuffer Groups;
uniform usamplerBuffer Spans;
uniform samplerBuffer Vertices;
uniform usamplerBuffer Tets;
uniform float Iso;
uniform int GroupBase; // this dispatch's first work group in Groups

int vertexBase; // the span's chunk's first vertex texel

#ifdef SUBGROUPS
layout(std430, binding = 0) writeonly buffer Surface { u64vec4 corners[]; };
#else
layout(std430, binding = 0) writeonly buffer Surface { vec4 corners[]; };
#endif
struct Command { uint indexCount; uint instanceCount; uint firstIndex; uint baseVertex; uint baseInstance; uint pad[11]; };
layout(std430, binding = 1) buffer Commands { Command commands[]; };

const uint kNoEdge = 0xFFFFFFFFu; // an edge the interpolation pass leaves cleared

// The point on an edge from its lower-valued end lo to hi (position or gradient, value in w) where
// the field takes the isovalue, its weight in w; -1 or -2 in w where the edge is all above or all
// below it.
vec4 interpolate(vec4 lo, vec4 hi)
{
  float d = max(hi.w - lo.w, 0.000001);
  float i = clamp((Iso - lo.w) / d, 0.0, 1.0);
  vec4 result = lo + (hi - lo) * i;
  result.w = i;
  if (Iso > hi.w) result.w = -2.0;
  if (Iso < lo.w) result.w = -1.0;
  return result;
}

#ifdef REGULAR
// The four edges of the primitive from the texels of the slot's corners A..D: a quad (AC, AD, BD,
// BC) between the classification edge's ends, a triangle (AB, AC, AD, AD) below, (AD, AD, BD, CD)
// above, as the edges of an irregular slot give them.
void interpolateCorners(vec4 A, vec4 B, vec4 C, vec4 D, float side, out vec4 q0, out vec4 q1, out vec4 q2,
                        out vec4 q3)
{
  vec4 hi0 = C, hi1 = D, lo2 = B, lo3 = B, hi3 = C;
  if (side < 0.0) { hi0 = B; hi1 = C; lo2 = A; lo3 = A; hi3 = D; }
  if (side < -1.0) { hi0 = D; hi1 = D; lo2 = B; lo3 = C; hi3 = D; }
  q0 = interpolate(A, hi0);
  q1 = interpolate(A, hi1);
  q2 = interpolate(lo2, D);
  q3 = interpolate(lo3, hi3);
}
#else
vec4 interpolateEdge(uint edge, int texel)
{
  if (edge == kNoEdge) return vec4(1.0, 1.0, 1.0, -1.0);
  return interpolate(texelFetch(Vertices, vertexBase + 2 * int(edge & 0xFFFFu) + texel),
                     texelFetch(Vertices, vertexBase + 2 * int(edge >> 16) + texel));
}
#endif

#ifdef SUBGROUPS
// A vertex's eight floats as four 64-bit words, in the order of their bytes.
u64vec4 vertexBits(vec4 position, vec4 normal)
{
  uvec4 p = floatBitsToUint(position), n = floatBitsToUint(normal);
  return u64vec4(packUint2x32(p.xy), packUint2x32(p.zw), packUint2x32(n.xy), packUint2x32(n.zw));
}
#endif

// Where the isovalue lies against the values at the ends of the classification edge.
float sideOf(float lo, float hi)
{
  float w = 0.0;
  if (Iso > hi) w = -2.0;
  if (Iso < lo) w = -1.0;
  return w;
}

void main()
{
  uvec4 group = texelFetch(Groups, GroupBase + int(gl_WorkGroupID.x));
  uvec4 span = texelFetch(Spans, int(group.x));
  uint n = (group.y & 0xFFFFu) + gl_LocalInvocationID.x;
  if (n >= span.w) return;
  vertexBase = int(span.y);
#ifdef REGULAR
  uvec4 t = texelFetch(Tets, int(span.x + n));
  // The classification edge decides: a quad between its ends, a triangle near A below, near D above.
  float side = sideOf(uintBitsToFloat(t.z), uintBitsToFloat(t.w));
  int a = vertexBase + 2 * int(t.x & 0xFFFFu), b = vertexBase + 2 * int(t.x >> 16);
  int c = vertexBase + 2 * int(t.y & 0xFFFFu), d = vertexBase + 2 * int(t.y >> 16);
  vec4 p0, p1, p2, p3;
  interpolateCorners(texelFetch(Vertices, a), texelFetch(Vertices, b), texelFetch(Vertices, c),
                     texelFetch(Vertices, d), side, p0, p1, p2, p3);
  if (min(min(p0.w, p1.w), min(p2.w, p3.w)) < 0.0) return;

#ifdef FLAT_NORMALS
  vec4 n2 = interpolate(texelFetch(Vertices, (side < 0.0 && side >= -1.0 ? a : b) + 1), texelFetch(Vertices, d + 1));
  vec4 n0 = n2, n1 = n2, n3 = n2;
#else
  vec4 n0, n1, n2, n3;
  interpolateCorners(texelFetch(Vertices, a + 1), texelFetch(Vertices, b + 1), texelFetch(Vertices, c + 1),
                     texelFetch(Vertices, d + 1), side, n0, n1, n2, n3);
#endif
#else
  int tet = int(span.x + 2u * n);
  uvec4 t0 = texelFetch(Tets, tet);
  uvec4 t1 = texelFetch(Tets, tet + 1);

  // The classification edge decides: a quad between its ends, a triangle near A below, near D above.
  float side = sideOf(uintBitsToFloat(t1.z), uintBitsToFloat(t1.w));
  uvec4 e = uvec4(t0.y, t0.z, t1.x, t0.w);
  if (side < 0.0) e = uvec4(t0.x, t0.y, t0.z, t0.z);
  if (side < -1.0) e = uvec4(t0.z, t0.z, t1.x, t1.y);

  vec4 p0 = interpolateEdge(e.x, 0), p1 = interpolateEdge(e.y, 0);
  vec4 p2 = interpolateEdge(e.z, 0), p3 = interpolateEdge(e.w, 0);
  if (min(min(p0.w, p1.w), min(p2.w, p3.w)) < 0.0) return;

#ifdef FLAT_NORMALS
  vec4 n2 = interpolateEdge(e.z, 1);
  vec4 n0 = n2, n1 = n2, n3 = n2;
#else
  vec4 n0 = interpolateEdge(e.x, 1), n1 = interpolateEdge(e.y, 1);
  vec4 n2 = interpolateEdge(e.z, 1), n3 = interpolateEdge(e.w, 1);
#endif
#endif
  float id = uintBitsToFloat(span.z + n);
  n0.w = id; n1.w = id; n2.w = id; n3.w = id;

  // A repeated corner makes a triangle: (v0, v1, v2) when v2 = v3, (v0, v2, v3) when v0 = v1.
  bool dropFirst = p0 == p1;
  bool single = p2 == p3 || dropFirst;
  if (dropFirst && !(p2 == p3)) { p1 = p2; n1 = n2; p2 = p3; n2 = n3; }
  if (single) { p3 = p2; n3 = n2; }
  uint region = group.y >> 16;
#ifdef SUBGROUPS
  uint64_t lanes = ballotARB(true);
  uvec2 crossing = unpackUint2x32(lanes), below = unpackUint2x32(lanes & gl_SubGroupLtMaskARB);
  uint rank = uint(bitCount(below.x) + bitCount(below.y));
  uint first = 0u;
  if (rank == 0u) first = atomicAdd(commands[region].indexCount, 6u * uint(bitCount(crossing.x) + bitCount(crossing.y)));
  uint at = group.z + readFirstInvocationARB(first) + 6u * rank;
  if (at + 6u > group.w) return;
  uint w = at / 6u * 4u;
  corners[w] = vertexBits(p0, n0);
  corners[w + 1u] = vertexBits(p1, n1);
  corners[w + 2u] = vertexBits(p2, n2);
  corners[w + 3u] = vertexBits(p3, n3);
#else
  uint at = group.z + atomicAdd(commands[region].indexCount, 6u);
  if (at + 6u > group.w) return;
  uint w = at / 6u * 8u;
  corners[w] = p0; corners[w + 1u] = n0;
  corners[w + 2u] = p1; corners[w + 3u].xyz = n1.xyz;
  corners[w + 4u] = p2; corners[w + 5u].xyz = n2.xyz;
  corners[w + 6u] = p3; corners[w + 7u].xyz = n3.xyz;
#endif
}
