// One chunk of the dataset as the engine holds it: the four data textures the fragment passes read
// (absent when the active back end keeps the chunk in a form of its own), the row interval tree and
// the two row counts.
#pragma once

#include "GLTexture.h"
#include "PvIntervalTree.h"

#include <memory>

struct CacheChunk {
  std::unique_ptr<GLTexture> vertexTex;    // float RGBA: position and scalar value
  std::unique_ptr<GLTexture> weightTex;    // float RGBA: gradient and scalar value
  std::unique_ptr<GLTexture2D> edgeMapTex; // RGBA8: the end vertices of one edge per texel
  std::unique_ptr<GLTexture> tetMapTex;    // float RGBA: global edge indices of the tetrahedra
  std::unique_ptr<PvIntervalTreeBTree> rowTree;
  int rowCount0 = 0;
  int rowCount1 = 0;

  bool hasTextures() const { return vertexTex && weightTex && edgeMapTex && tetMapTex; }
};
