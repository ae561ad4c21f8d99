#include "datasetbuild/CacheStream.h"

#include "datasetbuild/ChunkTextures.h"
#include "DatasetWriter.h"
#include "meshimport/Parallel.h"
#include "meshimport/Progress.h"

#include <algorithm>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vxb {

CacheHeader cacheHeaderOf(const PreparedMesh& mesh, const Layout& layout) {
  CacheHeader header;
  header.textureWidth = uint32_t(layout.width);
  header.textureHeight = uint32_t(layout.height);
  CacheBox& box = header.box;
  box.centre = PkVec3f(0.5f * (mesh.boxMin[0] + mesh.boxMax[0]), 0.5f * (mesh.boxMin[1] + mesh.boxMax[1]),
                       0.5f * (mesh.boxMin[2] + mesh.boxMax[2]));
  box.axis[0] = PkVec3f(1, 0, 0);
  box.axis[1] = PkVec3f(0, 1, 0);
  box.axis[2] = PkVec3f(0, 0, 1);
  box.halfExtent = PkVec3f(0.5f * (mesh.boxMax[0] - mesh.boxMin[0]), 0.5f * (mesh.boxMax[1] - mesh.boxMin[1]),
                           0.5f * (mesh.boxMax[2] - mesh.boxMin[2]));
  header.dataMin = float(mesh.dataMin);
  header.dataMax = float(mesh.dataMax);
  header.chunkCount = uint32_t(layout.chunks.size());
  return header;
}

namespace {

// Chunks filled but not yet written, at most: the filling runs ahead of the writing by this much.
constexpr size_t kSlots = 4;

// Chunks are filled and compressed on every core, each into one of kSlots records, while one
// thread writes the records in order. The calling thread fills chunks too and reports the progress.
class ChunkPipeline {
public:
  ChunkPipeline(const PreparedMesh& mesh, const Layout& layout, CacheFileWriter& writer, CacheStreamResult& result)
      : mesh_(mesh), layout_(layout), header_(cacheHeaderOf(mesh, layout)), writer_(writer), result_(result),
        count_(layout.chunks.size()) {}
  ~ChunkPipeline() { stopAndJoin(); }

  // True when every chunk was written; false after a write failure or when the listener asked to
  // stop (the threads are gone either way).
  bool run(Progress& progress) {
    writerThread_ = std::thread([this] { writeChunks(); });
    const size_t helpers = std::min<size_t>(workerCount(), count_) > 1 ? std::min<size_t>(workerCount(), count_) - 1 : 0;
    for (size_t h = 0; h < helpers; ++h) fillers_.emplace_back([this] { fillChunks(nullptr); });
    fillChunks(&progress);
    bool ok;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return written_ == count_ || failed_ || stop_; });
      ok = written_ == count_;
    }
    stopAndJoin();
    return ok;
  }

private:
  void fillChunks(Progress* progress) {
    ChunkTextureBuilder builder(mesh_, layout_);
    CacheChunkEncoder encoder;
    ChunkData chunk; // reused: its arrays keep their storage
    for (;;) {
      size_t k;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stop_ || failed_ || next_ >= count_) return;
        k = next_++;
        changed_.wait(lock, [&] { return k < written_ + kSlots || stop_ || failed_; });
        if (stop_ || failed_) return;
      }
      builder.build(k, chunk);
      const bool encoded = encoder.encode(chunk, header_, CacheWriteOptions(), k, slots_[k % kSlots]);
      size_t written;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (encoded)
          ready_[k % kSlots] = k + 1;
        else
          failed_ = true;
        written = written_;
      }
      changed_.notify_all();
      if (progress) {
        progress->update(written);
        if (progress->cancelled()) {
          stopAll();
          return;
        }
      }
    }
  }

  void writeChunks() {
    for (;;) {
      size_t k;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return written_ == count_ || ready_[written_ % kSlots] == written_ + 1 || stop_; });
        if (stop_ || written_ == count_) return;
        k = written_;
      }
      CacheChunkLocation at;
      const bool ok = writer_.writeEncoded(slots_[k % kSlots], &at);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ok) {
          for (const CacheBlockLocation& b : at.blocks) {
            ++result_.blocks;
            result_.compressedBlocks += b.storedSize != 0;
          }
          ready_[k % kSlots] = 0;
          written_ = k + 1;
        } else {
          failed_ = true;
        }
      }
      changed_.notify_all();
      if (!ok) return;
    }
  }

  void stopAll() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
  }

  void stopAndJoin() {
    stopAll();
    for (std::thread& t : fillers_)
      if (t.joinable()) t.join();
    if (writerThread_.joinable()) writerThread_.join();
  }

  const PreparedMesh& mesh_;
  const Layout& layout_;
  const CacheHeader header_;
  CacheFileWriter& writer_;
  CacheStreamResult& result_;
  const size_t count_;
  EncodedCacheChunk slots_[kSlots];
  size_t ready_[kSlots] = {}; // k + 1 when slot k % kSlots holds chunk k, compressed
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0, written_ = 0;
  bool stop_ = false, failed_ = false;
  std::thread writerThread_;
  std::vector<std::thread> fillers_;
};

} // namespace

bool streamCache(const PreparedMesh& mesh, const Layout& layout, const std::string& path, Progress& progress,
                 CacheStreamResult& result) {
  result = CacheStreamResult();
  const size_t count = layout.chunks.size();
  progress.begin("filling and writing the cache chunks", count);
  if (progress.cancelled()) return false;
  CacheFileWriter writer;
  if (!writer.open(path, cacheHeaderOf(mesh, layout), uint32_t(count), CacheWriteOptions())) return false;
  {
    ChunkPipeline pipeline(mesh, layout, writer, result);
    if (!pipeline.run(progress)) return false;
  }
  progress.update(count);
  if (!writer.finish()) return false;
  result.bytes = writer.bytesWritten();
  return true;
}

} // namespace vxb
