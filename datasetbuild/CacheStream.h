// The extraction cache written as it is made: the chunk textures of one chunk are filled while a
// second thread compresses and writes the chunk before, so only a few chunks are ever in memory.
#pragma once

#include "CacheFile.h"
#include "datasetbuild/ChunkLayout.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vxb {

class Progress;

// The cache header of a prepared mesh: W × H textures, the box of its positions, its input range.
CacheHeader cacheHeaderOf(const PreparedMesh& mesh, const Layout& layout);

struct CacheStreamResult {
  std::size_t blocks = 0, compressedBlocks = 0;
  std::uint64_t bytes = 0; // the file's size
};

// Writes the cache of `layout` to path, chunk after chunk, as one progress step counting chunks.
// The bytes are those of writeCacheFile over every chunk that ChunkTextureBuilder fills. False
// after the writer's error, or without a message when the progress listener asked to stop; the
// file is then left for the caller to remove.
bool streamCache(const PreparedMesh& mesh, const Layout& layout, const std::string& path, Progress& progress,
                 CacheStreamResult& result);

} // namespace vxb
