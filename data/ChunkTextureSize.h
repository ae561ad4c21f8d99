// The side of the square textures a dataset's chunks fill, and of the engine's extraction targets:
// vxbuild lays chunks out for it, the engine and the reference extraction read caches with it.
#pragma once

constexpr int kChunkTextureSide = 256;

// Whether a tetrahedron's edge index (a texel of a chunk texture `width` wide, row · width +
// column) names an edge the interpolation pass fills: one of the right half's rows below edgeRows
// (the chunk's rowCount1, at most the texture's height). Any other index reads a cleared texel,
// which never crosses.
constexpr bool isInterpolatedEdge(int index, int width, int edgeRows) {
  return index % width >= width / 2 && index / width < edgeRows;
}
