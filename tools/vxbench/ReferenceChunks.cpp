#include "ReferenceChunks.h"

namespace vxbench {

ReferenceChunks::ReferenceChunks(int textureWidth, int textureHeight) : width_(textureWidth), height_(textureHeight) {}

ReferenceChunks::~ReferenceChunks() {
  if (file_) std::fclose(file_);
}

bool ReferenceChunks::open(const std::string& path) {
  CacheReader reader(width_, height_);
  if (!reader.open(path)) return false;
  for (std::uint32_t k = 0; k < reader.header().chunkCount; ++k) {
    ChunkIndex index;
    if (!reader.indexChunk(index)) return false;
    ChunkData outline;
    outline.rowCount0 = index.rowCount0;
    outline.rowCount1 = index.rowCount1;
    outline.tetCount = index.tetCount;
    outline.intervals = index.intervals;
    outline.stage = ChunkStage::Complete;
    outlines_.push_back(std::move(outline));
    index.intervals.clear();
    index_.push_back(index);
  }
  if (!reader.finish()) return false;
  file_ = std::fopen(path.c_str(), "rb");
  return file_ != nullptr;
}

bool ReferenceChunks::load(std::size_t k, const ChunkData*& out) {
  out = nullptr;
  if (k >= index_.size() || !file_) return false;
  if (k != loadedChunk_) {
    loadedChunk_ = std::size_t(-1);
    std::vector<unsigned char> bytes(index_[k].size);
    if (fseeko(file_, off_t(index_[k].offset), SEEK_SET) != 0 ||
        std::fread(bytes.data(), 1, bytes.size(), file_) != bytes.size())
      return false;
    CacheReader reader(width_, height_);
    reader.openChunk(bytes.data(), bytes.size());
    if (!reader.readChunk(loaded_)) return false;
    loadedChunk_ = k;
  }
  out = &loaded_;
  return true;
}

} // namespace vxbench
