// One chunk of the dataset as the engine holds it: four data textures, the row interval tree, the
// two row counts and the four buffer-backed output targets of the extraction.
#pragma once

#include "GLTexture.h"
#include "PvIntervalTree.h"

#include <memory>

class GLBufferObject;

struct CacheChunk {
  std::unique_ptr<GLTexture> vertexTex;    // float RGBA: position and scalar value
  std::unique_ptr<GLTexture> weightTex;    // float RGBA: gradient and scalar value
  std::unique_ptr<GLTexture2D> edgeMapTex; // RGBA8: the end vertices of one edge per texel
  std::unique_ptr<GLTexture> tetMapTex;    // float RGBA: global edge indices of the tetrahedra
  std::unique_ptr<PvIntervalTreeBTree> rowTree;
  int rowCount0 = 0;
  int rowCount1 = 0;
  // Positions of halves 0 and 1, then their normals. They belong to the render target.
  GLBufferObject* outputTargets[4] = {nullptr, nullptr, nullptr, nullptr};
};
