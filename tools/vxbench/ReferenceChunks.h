// The cache as the check reads it: every chunk's row counts and row intervals at once (the W·H
// blocks passed over), and a chunk's arrays only when the check needs them, one chunk in memory at
// a time, so that a cache larger than memory can be checked too.
#pragma once

#include "CacheFile.h"

#include <cstdio>
#include <string>
#include <vector>

namespace vxbench {

class ReferenceChunks {
public:
  ReferenceChunks(int textureWidth, int textureHeight);
  ~ReferenceChunks();
  ReferenceChunks(const ReferenceChunks&) = delete;
  ReferenceChunks& operator=(const ReferenceChunks&) = delete;

  // Reads the header and every chunk's index. False after the reader's messages.
  bool open(const std::string& path);
  std::size_t size() const { return outlines_.size(); }
  // Chunk k with its row counts and intervals only (the arrays empty): enough for its row span.
  const ChunkData& outline(std::size_t k) const { return outlines_[k]; }
  // Chunk k read completely (the last one asked for stays in memory). False after the reader's
  // messages.
  bool load(std::size_t k, const ChunkData*& out);

private:
  int width_, height_;
  std::FILE* file_ = nullptr;
  std::vector<ChunkData> outlines_;
  std::vector<ChunkIndex> index_;
  ChunkData loaded_;
  std::size_t loadedChunk_ = std::size_t(-1);
};

} // namespace vxbench
