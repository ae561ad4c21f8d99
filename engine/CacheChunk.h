// One chunk of the dataset as the engine holds it: the four data textures the fragment passes read
// (absent when the active back end keeps the chunk in a form of its own), the row interval tree and
// the two row counts. A chunk opened on demand keeps its row intervals instead, and its row tree
// is built the first time an isovalue asks for its rows (most chunks are never asked).
#pragma once

#include "GLTexture.h"
#include "PvIntervalTree.h"

#include <memory>
#include <vector>

// The tree of a chunk's row intervals (low, high of row j at 2j, 2j + 1), row j by its id j.
inline std::unique_ptr<PvIntervalTreeBTree> makeRowTree(const std::vector<float>& intervals) {
  auto tree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  for (std::size_t j = 0; j + 1 < intervals.size(); j += 2) tree->insert(intervals[j], intervals[j + 1], int(j / 2), 0);
  return tree;
}

struct CacheChunk {
  std::unique_ptr<GLTexture> vertexTex;    // float RGBA: position and scalar value
  std::unique_ptr<GLTexture> weightTex;    // float RGBA: gradient and scalar value
  std::unique_ptr<GLTexture2D> edgeMapTex; // RGBA8: the end vertices of one edge per texel
  std::unique_ptr<GLTexture> tetMapTex;    // float RGBA: global edge indices of the tetrahedra
  std::unique_ptr<PvIntervalTreeBTree> rowTree;
  int rowCount0 = 0;
  int rowCount1 = 0;
  // Row intervals whose tree is still to be built (rowsPending).
  std::vector<float> pendingRows;
  bool rowsPending = false;

  // The row tree, built first when it is pending; null when the chunk has none.
  PvIntervalTreeBTree* rows() {
    if (rowsPending) {
      rowTree = makeRowTree(pendingRows);
      pendingRows = std::vector<float>();
      rowsPending = false;
    }
    return rowTree.get();
  }

  bool hasTextures() const { return vertexTex && weightTex && edgeMapTex && tetMapTex; }
};
