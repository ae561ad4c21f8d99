// How the tetrahedra, edges and vertices of a prepared mesh are spread over chunks and texture
// rows, and what that layout costs the extraction for a given isovalue.
//
// A chunk holds at most W/2·H tetrahedra (left half of the textures), W/2·H edges (right half)
// and W·H − 1 vertices (one vertex slot stays free for the sentinel of the unused tetrahedron
// slots). Tetrahedra are put in a global order, chunks are filled greedily in that order until a
// limit is reached (vertices and edges shared inside a chunk are stored once), and inside each
// chunk the tetrahedra are sorted into rows by min + α·(max − min) of their values, optionally after
// a block of the tetrahedra with the largest values, with α and the block chosen per chunk to
// minimise the rows that the extraction processes over a sweep of isovalues.
#pragma once

#include "ChunkTextureSize.h"
#include "meshimport/MeshPrep.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vxb {

class Progress;

enum class Ordering {
  MaxValue, // by the largest vertex value (ties: that vertex, then the smallest value)
  MinValue, // by the smallest vertex value
  MidValue, // by the midpoint of the value range
  Morton    // spatial: Morton code of the centroid
};
const char* orderingName(Ordering o);
bool parseOrdering(const std::string& name, Ordering& o);

struct LayoutOptions {
  Ordering ordering = Ordering::MaxValue;
  bool rowReorder = true; // choose α per chunk; off: rows keep the global order
  int width = kChunkTextureSide;
  int height = kChunkTextureSide;
};

struct ChunkPlan {
  std::vector<uint32_t> tets;     // global tetrahedron ids in slot order (slot = row·W/2 + column)
  std::vector<uint32_t> vertices; // global vertex id of each local vertex slot
  std::vector<uint32_t> edges;    // global edge id of each local edge (right half, in order)
  std::vector<float> intervals;   // low, high per tetrahedron row
  float alpha = 1.0f;             // the row key's α
  float block = 0.0f;             // share of the tetrahedra in the block before the keyed rows
  bool blockByMin = false;        // the block holds the largest minima (else the largest maxima)
  int tetRows(int width) const { return int((tets.size() + size_t(width / 2) - 1) / size_t(width / 2)); }
  int edgeRows(int width) const { return int((edges.size() + size_t(width / 2) - 1) / size_t(width / 2)); }
};

struct Layout {
  int width = kChunkTextureSide, height = kChunkTextureSide;
  std::vector<uint32_t> edgeEnds; // two vertex ids per global edge, lower-valued end first
  std::vector<uint32_t> tetEdges; // six global edge ids per tetrahedron: AB, AC, AD, BC, BD, CD
  std::vector<ChunkPlan> chunks;

  size_t edgeCount() const { return edgeEnds.size() / 2; }
};

void buildLayout(const PreparedMesh& mesh, const LayoutOptions& options, Layout& layout,
                 Progress* progress = nullptr);
// The same with a given global order of the tetrahedra (options.ordering is not used).
void buildLayoutInOrder(const PreparedMesh& mesh, const std::vector<uint32_t>& order,
                        const LayoutOptions& options, Layout& layout, Progress* progress = nullptr);

// What the extraction touches at one isovalue, by the engine's rules (chunk tree, row tree,
// processed row span).
struct IsoCost {
  float iso = 0;
  int activeChunks = 0;
  size_t processedRows = 0;  // rows of tetrahedron slots that the passes run over
  size_t processedSlots = 0; // processedRows · W/2
  size_t crossing = 0;       // tetrahedra whose smallest value < iso < largest value
  int emptyRowQueries = 0;   // active chunks in which no row holds the isovalue
  size_t edgeTexels = 0;     // right-half edges interpolated (every edge row of every active chunk)
  double ratio() const { return crossing ? double(processedSlots) / double(crossing) : 0.0; }
  // Fragments the four passes shade: two interpolation runs over the edges and the processed
  // slots' classification edges, one triangle assembly per slot, eight gathers per slot.
  size_t fragments() const { return 2 * edgeTexels + 11 * processedSlots; }
};
std::vector<IsoCost> evaluateLayout(const PreparedMesh& mesh, const Layout& layout,
                                    const std::vector<float>& isovalues);

} // namespace vxb
