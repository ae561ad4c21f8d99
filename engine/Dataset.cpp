#include "Dataset.h"

#include "GLBufferObject.h"
#include "GeometryFile.h"
#include "PkDiag.h"
#include "PvIntervalTree.h"

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::int64_t modificationTime(const struct stat& info) {
  return std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// One chunk read from the cache file and decompressed, on any thread.
struct LoadedChunk {
  ChunkData data;
  bool ok = false;
  std::vector<pk::ThreadDiagCapture::Line> said; // the reader's messages, said by the owner
};

void readChunkAt(int file, std::uint64_t offset, std::uint64_t size, int width, int height, LoadedChunk& out) {
  std::vector<unsigned char> bytes(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(file, bytes.data() + got, size - got, off_t(offset + got));
    if (n <= 0) break;
    got += std::size_t(n);
  }
  CacheReader reader(width, height);
  reader.openChunk(bytes.data(), got);
  reader.setUnusedArraysSkipped(true);
  reader.setParallelBlocks(false); // chunks are decompressed side by side instead
  out.ok = got == size && reader.readChunk(out.data);
}

LoadedChunk loadChunk(int file, std::uint64_t offset, std::uint64_t size, int width, int height) {
  LoadedChunk out;
  pk::ThreadDiagCapture capture;
  try {
    readChunkAt(file, offset, size, width, height, out);
  } catch (const std::bad_alloc&) {
    out.ok = false;
    pk::error("not enough memory to read a chunk");
  }
  out.said = std::move(capture.lines);
  return out;
}

} // namespace

Dataset::Dataset(int width, int height) : textureWidth(width), textureHeight(height) {}

Dataset::~Dataset() { closeFile(); }

void Dataset::closeFile() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  residence_.clear();
  upload_ = Upload();
  fileChanged_ = false;
}

void Dataset::createGL() {
  for (auto& b : boundaryBuffers) b = std::make_unique<GLBufferObject>(GL_ARRAY_BUFFER_ARB);
}

void Dataset::releaseGL() {
  clearChunks();
  for (auto& b : boundaryBuffers) b.reset();
  boundaryTriangles0 = boundaryTriangles1 = 0;
}

void Dataset::setNearestClamp(GLTexture& t) {
  t.setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  t.setParameteri(GL_TEXTURE_MIN_FILTER, GL_NEAREST);
}

bool Dataset::readGeometry(const std::string& path) {
  GeometryData geometry;
  if (!parseGeometryBoundary(path, geometry)) return false; // nothing changed
  std::vector<PkVec3f> positions, normals;
  for (int list = 0; list < 2; ++list) {
    buildFlatTriangles(geometry, list, positions, normals);
    const GLsizeiptrARB bytes = GLsizeiptrARB(positions.size() * sizeof(PkVec3f));
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list]->id());
    glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, positions.data(), GL_STATIC_DRAW_ARB);
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list + 1]->id());
    glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, normals.data(), GL_STATIC_DRAW_ARB);
    (list == 0 ? boundaryTriangles0 : boundaryTriangles1) = int(geometry.triangleCount(list));
  }
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
  return true;
}

std::unique_ptr<GLTexture> Dataset::makeChunkTexture(bool floatKind, bool rect, GLenum unit) {
  std::unique_ptr<GLTexture> t;
  if (floatKind && rect)
    t = std::make_unique<GLTextureRectangle>();
  else
    t = std::make_unique<GLTexture2D>();
  t->create(int(unit));
  setNearestClamp(*t);
  t->bind(); // applies the parameter table
  return t;
}

void Dataset::uploadStage(CacheChunk& chunk, ChunkStage stage, const ChunkData& d) {
  if (!upload_.textures) return;
  const int W = textureWidth, H = textureHeight;
  const GLint floatFormat = GLint(upload_.floatFormat);
  const bool rect = upload_.rectTextures;
  auto make = [&](bool floatKind, GLenum unit, GLint internal, GLenum type, const void* pixels) {
    std::unique_ptr<GLTexture> t = makeChunkTexture(floatKind, floatKind && rect, unit);
    glTexImage2D(t->target(), 0, internal, W, H, 0, GL_RGBA, type, pixels);
    t->unbind();
    return t;
  };
  switch (stage) {
  case ChunkStage::VertexArray:
    chunk.vertexTex = make(true, GL_TEXTURE1, floatFormat, GL_FLOAT, d.vertexArray.data());
    break;
  case ChunkStage::WeightArray:
    chunk.weightTex = make(true, GL_TEXTURE1, floatFormat, GL_FLOAT, d.weightArray.data());
    break;
  case ChunkStage::EdgeMap:
    chunk.edgeMapTex.reset(
        static_cast<GLTexture2D*>(make(false, GL_TEXTURE0, GL_RGBA8, GL_UNSIGNED_BYTE, d.edgeMap.data()).release()));
    break;
  case ChunkStage::TetMap:
    d.tetMapAsFloat(tetFloats_);
    chunk.tetMapTex = make(true, GL_TEXTURE1, floatFormat, GL_FLOAT, tetFloats_.data());
    break;
  default:
    break;
  }
}

void Dataset::addToTrees(int k, const std::vector<float>& intervals) {
  CacheChunk& chunk = *chunks[std::size_t(k)];
  chunk.rowTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  for (std::size_t j = 0; j + 1 < intervals.size(); j += 2)
    chunk.rowTree->insert(intervals[j], intervals[j + 1], int(j / 2), 0);
  const ChunkData::Range range = ChunkData::rangeOf(intervals);
  chunkTree->insert(range.low, range.high, k, 0);
  ++chunksLoaded;
}

bool Dataset::readCache(const std::string& path, const Upload& form, const std::function<void(int, int)>& progress) {
  CacheReader reader(textureWidth, textureHeight);
  if (!reader.open(path)) return false;
  reader.setUnusedArraysSkipped(true);
  clearChunks();
  upload_ = form;
  modelBox = reader.header().box;
  chunkTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  chunksInFile = int(reader.header().chunkCount);

  ChunkData data;
  bool accepted = true;
  const std::uint32_t count = reader.header().chunkCount;
  for (std::uint32_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<CacheChunk>());
    CacheChunk& chunk = *chunks.back();
    const bool ok = reader.readChunk(data, [&](ChunkStage stage, const ChunkData& d) {
      uploadStage(chunk, stage, d);
      switch (stage) {
      case ChunkStage::RowCounts:
        chunk.rowCount0 = d.rowCount0;
        chunk.rowCount1 = d.rowCount1;
        break;
      case ChunkStage::TetCount:
        totalTets += d.tetCount;
        break;
      case ChunkStage::Complete: {
        if (form.chunkComplete && !form.chunkComplete(int(k), d)) {
          accepted = false;
          break;
        }
        addToTrees(int(k), d.intervals);
        break;
      }
      default:
        break;
      }
    });
    glActiveTextureARB(GL_TEXTURE0);
    if (!ok || !accepted) return false; // the chunks read completely stay usable
    if (progress) progress(int(k) + 1, int(count));
  }
  return reader.finish();
}

void Dataset::clearChunks() {
  // Chunks in a back end's own form go with the back end's clearChunks.
  closeFile();
  stats_ = ResidencyStats();
  chunkTree.reset();
  chunks.clear();
  totalTets = 0;
  chunksInFile = chunksLoaded = 0;
}

std::size_t Dataset::graphicsBytes() const {
  const std::size_t texels = std::size_t(textureWidth) * textureHeight;
  std::size_t bytes = 0;
  for (const auto& chunk : chunks)
    bytes += (chunk->vertexTex ? 16 : 0) * texels + (chunk->weightTex ? 16 : 0) * texels +
             (chunk->tetMapTex ? 16 : 0) * texels + (chunk->edgeMapTex ? 4 : 0) * texels;
  bytes += std::size_t(boundaryTriangles0 + boundaryTriangles1) * 3 * 2 * sizeof(PkVec3f);
  return bytes;
}

// ---- residency on demand ---------------------------------------------------------------------------

bool Dataset::openCache(const std::string& path, const Upload& form, std::size_t budgetBytes,
                        const std::function<void(int, int)>& progress) {
  CacheReader reader(textureWidth, textureHeight);
  if (!reader.open(path)) return false;
  clearChunks();
  file_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (file_ < 0 || ::fstat(file_, &info) != 0) {
    pk::warning("cannot read file " + path);
    closeFile();
    return false;
  }
  cachePath_ = path;
  fileSize_ = std::uint64_t(info.st_size);
  fileTime_ = modificationTime(info);
  upload_ = form;
  budget_ = budgetBytes;
  modelBox = reader.header().box;
  chunkTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  chunksInFile = int(reader.header().chunkCount);
  ChunkIndex index;
  const std::uint32_t count = reader.header().chunkCount;
  for (std::uint32_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<CacheChunk>());
    if (!reader.indexChunk(index)) return false; // the chunks indexed so far stay usable
    CacheChunk& chunk = *chunks.back();
    chunk.rowCount0 = index.rowCount0;
    chunk.rowCount1 = index.rowCount1;
    totalTets += index.tetCount;
    Residence r;
    r.offset = index.offset;
    r.size = index.size;
    residence_.push_back(r);
    addToTrees(int(k), index.intervals);
    if (progress) progress(int(k) + 1, int(count));
  }
  return reader.finish();
}

bool Dataset::isResident(int k) const {
  if (!onDemand()) return k >= 0 && std::size_t(k) < chunks.size() && (chunks[std::size_t(k)]->rowTree != nullptr);
  return k >= 0 && std::size_t(k) < residence_.size() && residence_[std::size_t(k)].resident;
}

std::size_t Dataset::chunkBytes(int k) const {
  if (upload_.textures) return kTextureBytesPerTexel * std::size_t(textureWidth) * std::size_t(textureHeight);
  return upload_.chunkBytes ? upload_.chunkBytes(k) : 0;
}

bool Dataset::uploadChunk(int k, const ChunkData& d) {
  CacheChunk& chunk = *chunks[std::size_t(k)];
  for (ChunkStage stage : {ChunkStage::VertexArray, ChunkStage::WeightArray, ChunkStage::EdgeMap, ChunkStage::TetMap})
    uploadStage(chunk, stage, d);
  glActiveTextureARB(GL_TEXTURE0);
  return !upload_.chunkComplete || upload_.chunkComplete(k, d);
}

void Dataset::evict(int k) {
  Residence& r = residence_[std::size_t(k)];
  if (!r.resident) return;
  CacheChunk& chunk = *chunks[std::size_t(k)];
  chunk.vertexTex.reset();
  chunk.weightTex.reset();
  chunk.edgeMapTex.reset();
  chunk.tetMapTex.reset();
  if (upload_.releaseChunk) upload_.releaseChunk(k);
  r.resident = false;
  stats_.residentBytes -= std::min(stats_.residentBytes, r.bytes);
  r.bytes = 0;
  ++stats_.evictions;
}

std::vector<char> Dataset::makeResident(const std::vector<int>& wanted, bool mayEvict) {
  std::vector<char> resident(wanted.size(), 0);
  if (!onDemand()) {
    for (std::size_t i = 0; i < wanted.size(); ++i) resident[i] = isResident(wanted[i]);
    return resident;
  }
  const std::uint64_t now = ++useClock_;
  std::vector<std::size_t> missing; // positions in wanted
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const int k = wanted[i];
    if (k < 0 || std::size_t(k) >= residence_.size()) continue;
    Residence& r = residence_[std::size_t(k)];
    r.lastUse = now;
    if (r.resident)
      resident[i] = 1;
    else if (!r.failed)
      missing.push_back(i);
  }
  stats_.refused = 0;

  // Evicts least recently used chunks not wanted now until `bytes` more fit; false when they do
  // not fit even then.
  auto makeRoom = [&](std::size_t bytes) {
    if (budget_ == 0) return true;
    const std::size_t room = budget_ > reserved_ ? budget_ - reserved_ : 0;
    if (!mayEvict) return stats_.residentBytes + bytes <= room;
    while (stats_.residentBytes + bytes > room) {
      int oldest = -1;
      for (std::size_t k = 0; k < residence_.size(); ++k) {
        const Residence& r = residence_[k];
        if (r.resident && r.lastUse != now && (oldest < 0 || r.lastUse < residence_[std::size_t(oldest)].lastUse))
          oldest = int(k);
      }
      if (oldest < 0) return false;
      evict(oldest);
    }
    return true;
  };
  // The outputs may have grown since the last request: what no longer fits goes first.
  makeRoom(0);
  if (missing.empty()) return resident;

  // A file that changed under us is not read again: its offsets may mean anything now.
  struct stat info;
  if (!fileChanged_ && (::fstat(file_, &info) != 0 || std::uint64_t(info.st_size) != fileSize_ ||
                        modificationTime(info) != fileTime_)) {
    fileChanged_ = true;
    pk::error("the cache file changed since it was opened: " + cachePath_);
  }
  if (fileChanged_) {
    stats_.refused = int(missing.size());
    return resident;
  }


  // Several chunks in flight: each worker reads and decompresses one, and this thread uploads them
  // in the order wanted as they are done.
  const std::size_t inFlight = std::max<std::size_t>(2, std::thread::hardware_concurrency());
  std::vector<std::future<LoadedChunk>> pending;
  std::size_t next = 0;
  auto launch = [&] {
    while (pending.size() < inFlight && next < missing.size()) {
      const Residence& r = residence_[std::size_t(wanted[missing[next]])];
      pending.push_back(std::async(std::launch::async, loadChunk, file_, r.offset, r.size, textureWidth, textureHeight));
      ++next;
    }
  };
  std::size_t done = 0;
  bool full = false;
  launch();
  while (done < next) {
    const std::size_t i = missing[done];
    const int k = wanted[i];
    LoadedChunk loaded = pending.front().get();
    pending.erase(pending.begin());
    ++done;
    if (!full) launch();
    Residence& r = residence_[std::size_t(k)];
    stats_.bytesRead += r.size;
    pk::ThreadDiagCapture::say(loaded.said);
    if (!loaded.ok) {
      r.failed = true;
      pk::error("chunk " + std::to_string(k) + " of " + cachePath_ + " cannot be read");
      continue;
    }
    if (full || !makeRoom(upload_.textures ? chunkBytes(k) : 0)) {
      full = true;
      ++stats_.refused;
      continue;
    }
    bool uploaded = false;
    try {
      uploaded = uploadChunk(k, loaded.data);
    } catch (const std::bad_alloc&) {
      pk::error("not enough memory for chunk " + std::to_string(k) + " of " + cachePath_);
    }
    if (!uploaded) {
      r.failed = true;
      continue;
    }
    r.resident = true;
    r.bytes = chunkBytes(k);
    stats_.residentBytes += r.bytes;
    ++stats_.loads;
    resident[i] = 1;
    // A back end's own form is measured after its upload.
    if (!upload_.textures && !makeRoom(0)) {
      evict(k);
      --stats_.evictions;
      resident[i] = 0;
      full = true;
      ++stats_.refused;
      continue;
    }
    stats_.peakBytes = std::max(stats_.peakBytes, stats_.residentBytes);
  }
  stats_.refused += int(missing.size() - next); // never started once the budget was full
  return resident;
}
