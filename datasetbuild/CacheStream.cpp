#include "datasetbuild/CacheStream.h"

#include "datasetbuild/ChunkTextures.h"
#include "DatasetWriter.h"
#include "meshimport/Progress.h"

#include <condition_variable>
#include <mutex>
#include <thread>

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
constexpr size_t kSlots = 3;

// The writing thread and what it shares with the filling one.
class ChunkWriterThread {
public:
  ChunkWriterThread(CacheFileWriter& writer, ChunkData* slots, CacheStreamResult& result)
      : writer_(writer), slots_(slots), result_(result), thread_([this] { run(); }) {}
  ~ChunkWriterThread() { stopAndJoin(); }

  // Waits until slot k % kSlots may be filled; false when the writing failed.
  bool waitForSlot(size_t k) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return k < written_ + kSlots || failed_; });
    return !failed_;
  }
  // Chunk k is filled: hand it over.
  void filled(size_t k) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      made_ = k + 1;
    }
    changed_.notify_all();
  }
  // Waits until every chunk handed over is written; false when the writing failed.
  bool drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return written_ == made_ || failed_; });
    return !failed_;
  }
  size_t written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  // Stops after the chunk being written (if any); the thread is gone afterwards.
  void stopAndJoin() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

private:
  void run() {
    for (size_t k = 0;; ++k) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return made_ > k || stop_; });
        if (stop_) return;
      }
      CacheChunkLocation at;
      const bool ok = writer_.writeChunk(slots_[k % kSlots], &at);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ok) {
          written_ = k + 1;
          for (const CacheBlockLocation& b : at.blocks) {
            ++result_.blocks;
            result_.compressedBlocks += b.storedSize != 0;
          }
        } else {
          failed_ = true;
        }
      }
      changed_.notify_all();
      if (!ok) return;
    }
  }

  CacheFileWriter& writer_;
  ChunkData* slots_;
  CacheStreamResult& result_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t made_ = 0, written_ = 0;
  bool stop_ = false, failed_ = false;
  std::thread thread_; // last: starts once everything above is in place
};

} // namespace

bool streamCache(const PreparedMesh& mesh, const Layout& layout, const std::string& path, Progress& progress,
                 CacheStreamResult& result) {
  result = CacheStreamResult();
  const size_t count = layout.chunks.size();
  progress.begin("filling and writing the cache chunks", count);
  if (progress.cancelled()) return false;
  CacheFileWriter writer;
  if (!writer.open(path, cacheHeaderOf(mesh, layout), uint32_t(count))) return false;
  ChunkData slots[kSlots];
  {
    ChunkTextureBuilder builder(mesh, layout);
    ChunkWriterThread thread(writer, slots, result);
    for (size_t k = 0; k < count; ++k) {
      if (!thread.waitForSlot(k)) return false;
      builder.build(k, slots[k % kSlots]);
      thread.filled(k);
      progress.update(thread.written());
      if (progress.cancelled()) return false;
    }
    if (!thread.drain()) return false;
    thread.stopAndJoin();
  }
  progress.update(count);
  if (!writer.finish()) return false;
  result.bytes = writer.bytesWritten();
  return true;
}

} // namespace vxb
