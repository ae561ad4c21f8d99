// The dataset the engine shows: the boundary surfaces of the geometry file in two buffer pairs, the
// chunks of the cache with their row trees, the chunk tree over their value ranges, the model box
// and the counts. Chunks are read stage by stage; each back end says in which form it wants their
// arrays (the fragment passes' textures, or a form of its own derived when a chunk is complete).
// Everything OpenGL needs the engine's context current.
#pragma once

#include "CacheChunk.h"
#include "CacheFile.h"
#include "PolykitGL.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class GLBufferObject;
class PvIntervalTreeBTree;

class Dataset {
public:
  // How the chunk arrays go to the graphics processor.
  struct Upload {
    bool textures = true;        // the four data textures of the fragment passes
    GLenum floatFormat = 0;      // their float internal format
    bool rectTextures = false;   // rectangle textures for the float arrays
    // Told for each chunk read completely, with its index and arrays; false stops the read.
    std::function<bool(int, const ChunkData&)> chunkComplete;
  };

  Dataset(int textureWidth, int textureHeight);
  ~Dataset();
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  // Makes and releases the boundary buffers.
  void createGL();
  void releaseGL();

  // Reads the boundary surfaces of a geometry file into the boundary buffers. False (nothing
  // changed) after the parser's message.
  bool readGeometry(const std::string& path);
  // Reads a cache after dropping the chunks held. The complete chunks stay when a later one fails
  // (chunksLoaded < chunksInFile then). progress is told after every chunk (read, in the file).
  bool readCache(const std::string& path, const Upload& upload, const std::function<void(int, int)>& progress);
  // Drops every chunk, the chunk tree and the counts; the boundary surfaces stay.
  void clearChunks();

  bool empty() const { return chunkTree == nullptr; }
  // Graphics memory of the chunk textures and the boundary buffers.
  std::size_t graphicsBytes() const;

  const int textureWidth, textureHeight;
  std::vector<std::unique_ptr<CacheChunk>> chunks;
  std::unique_ptr<PvIntervalTreeBTree> chunkTree;
  CacheBox modelBox{};
  std::uint32_t totalTets = 0;
  // Chunks of the last cache read that were read completely, and chunks its header announced.
  int chunksLoaded = 0, chunksInFile = 0;
  // Positions and normals of the two boundary lists (0, 1: list 0; 2, 3: list 1).
  std::unique_ptr<GLBufferObject> boundaryBuffers[4];
  int boundaryTriangles0 = 0, boundaryTriangles1 = 0;

  // Nearest filtering and clamping, as every chunk texture and pass target is read.
  static void setNearestClamp(GLTexture& t);

private:
  std::unique_ptr<GLTexture> makeChunkTexture(bool floatKind, bool rect, GLenum unit);
};
