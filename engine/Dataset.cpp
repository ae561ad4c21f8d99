#include "Dataset.h"

#include "GLBufferObject.h"
#include "GeometryFile.h"
#include "PkDiag.h"
#include "PvIntervalTree.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <fcntl.h>
#include <future>
#include <limits>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The boundary of the last geometry file read: its new buffers (positions and normals of list 0,
// then of list 1), mapped while a worker thread fills them with the flat-shaded soups.
struct PendingBoundary {
  std::shared_ptr<const GeometryData> geometry;
  std::string path;
  std::unique_ptr<GLBufferObject> buffers[4];
  PkVec3f* mapped[4] = {nullptr, nullptr, nullptr, nullptr};
  std::future<void> built;
};

// What a worker needs to read one chunk: the chunk's bytes, a reader with its scratch arrays, the
// decompressed arrays and the back end's form of them.
struct ChunkWorkspace {
  std::vector<unsigned char> bytes;
  std::unique_ptr<CacheReader> reader;
  ChunkData data;
  std::unique_ptr<PreparedChunk> prepared;
  bool preparedRead = false; // prepared holds the form of the chunk in data

  // The back end's form of the chunk in data, or nothing.
  const PreparedChunk* form() const { return preparedRead ? prepared.get() : nullptr; }
};

namespace {

std::int64_t modificationTime(const struct stat& info) {
  return std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// One chunk read from the cache file and decompressed, on any thread, in a workspace that goes
// from chunk to chunk, so that its arrays are not allocated (and cleared) again for each.
struct LoadedChunk {
  std::unique_ptr<ChunkWorkspace> space;
  bool ok = false;
  bool outOfMemory = false; // the read ran out of memory (after its messages)
  std::vector<pk::ThreadDiagCapture::Line> said; // the reader's messages, said by the owner
};

// Where a chunk's bytes come from: size bytes at offset into `to`, returning how many were there.
using ChunkBytesSource = std::function<std::size_t(std::uint64_t offset, std::uint64_t size, unsigned char* to)>;

// Gives a workspace the storage of a chunk of `size` bytes here, so that a worker thread finds its
// arrays allocated: the large arrays of a read all come from this thread's allocator, which hands
// their memory back between reads, rather than from the workers' own.
void prepareWorkspace(ChunkWorkspace& space, std::uint64_t size, int width, int height) {
  const std::size_t elements = 4 * std::size_t(width) * std::size_t(height);
  if (space.bytes.size() < size) space.bytes.resize(std::size_t(size));
  if (!space.reader) space.reader = std::make_unique<CacheReader>(width, height);
  ChunkData& d = space.data;
  d.vertexArray.resize(elements);
  d.weightArray.resize(elements);
  d.edgeMap.resize(elements);
  d.tetMap.resize(elements);
}

void readChunkAt(const ChunkBytesSource& source, std::uint64_t offset, std::uint64_t size, int width, int height,
                 bool warnVertexCount, ChunkWorkspace& space, bool& ok) {
  prepareWorkspace(space, size, width, height); // nothing to do where the loading thread did it
  const std::size_t got = source(offset, size, space.bytes.data());
  CacheReader& reader = *space.reader;
  reader.openChunk(space.bytes.data(), got, warnVertexCount);
  reader.setUnusedArraysSkipped(true);
  reader.setPaddingSkipped(true);
  reader.setParallelBlocks(false); // chunks are decompressed side by side instead
  ok = got == size && reader.readChunk(space.data);
}

using PrepareChunk = std::function<void(const ChunkData&, std::unique_ptr<PreparedChunk>&)>;

// Reads and decompresses a chunk, and has the back end derive its form (prepare, where it has one)
// from a chunk read completely.
LoadedChunk loadChunk(const ChunkBytesSource& source, std::uint64_t offset, std::uint64_t size, int width, int height,
                      bool warnVertexCount, const PrepareChunk& prepare, std::unique_ptr<ChunkWorkspace> space) {
  LoadedChunk out;
  out.space = std::move(space);
  pk::ThreadDiagCapture capture;
  try {
    ChunkWorkspace& w = *out.space;
    w.preparedRead = false;
    readChunkAt(source, offset, size, width, height, warnVertexCount, w, out.ok);
    if (prepare && w.data.stage == ChunkStage::Complete) {
      prepare(w.data, w.prepared);
      w.preparedRead = w.prepared != nullptr;
    }
  } catch (const std::bad_alloc&) {
    out.ok = false;
    out.outOfMemory = true;
  }
  out.said = std::move(capture.lines);
  return out;
}

// A chunk's bytes from an open file descriptor.
ChunkBytesSource fileBytes(int file) {
  return [file](std::uint64_t offset, std::uint64_t size, unsigned char* to) {
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::pread(file, to + got, std::size_t(size) - got, off_t(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += std::size_t(n);
    }
    return got;
  };
}

// Workspaces from a pool, made when it is empty.
std::unique_ptr<ChunkWorkspace> takeWorkspace(std::vector<std::unique_ptr<ChunkWorkspace>>& pool) {
  if (pool.empty()) return std::make_unique<ChunkWorkspace>();
  std::unique_ptr<ChunkWorkspace> space = std::move(pool.back());
  pool.pop_back();
  return space;
}

// Chunks read and decompressed at the same time: one per processor, at least two.
std::size_t chunksInFlight() { return std::max<std::size_t>(2, std::thread::hardware_concurrency()); }

} // namespace

// Threads that run the chunk reads given them, in order, for as long as they live; the same few
// threads (and so the same few allocator arenas) serve a whole cache, whatever its chunk count.
// Leaving finishes the reads still queued.
class ChunkWorkers {
public:
  explicit ChunkWorkers(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { serve(); });
  }
  ~ChunkWorkers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  ChunkWorkers(const ChunkWorkers&) = delete;
  ChunkWorkers& operator=(const ChunkWorkers&) = delete;

  template <typename Read> std::future<LoadedChunk> run(Read read) {
    std::packaged_task<LoadedChunk()> job(std::move(read));
    std::future<LoadedChunk> done = job.get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return done;
  }

private:
  void serve() {
    for (;;) {
      std::packaged_task<LoadedChunk()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<LoadedChunk()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

Dataset::Dataset(int width, int height) : textureWidth(width), textureHeight(height) {}

Dataset::~Dataset() {
  // The worker must not write into buffers that are gone.
  if (pendingBoundary_) pendingBoundary_->built.wait();
  closeFile();
}

void Dataset::closeFile() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  residence_.clear();
  residentChunks_ = 0;
  readers_.reset(); // idle between requests
  workspaces_.clear();
  upload_ = Upload();
  sharing_ = sharingAsked_ = false;
  fileChanged_ = false;
}

void Dataset::createGL() {
  for (auto& b : boundaryBuffers) b = std::make_unique<GLBufferObject>(GL_ARRAY_BUFFER_ARB);
}

void Dataset::releaseGL() {
  if (pendingBoundary_) finishGeometry();
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
  auto geometry = std::make_shared<GeometryData>();
  if (!parseGeometryBoundary(path, *geometry)) return false; // nothing changed
  if (pendingBoundary_) finishGeometry();
  // The soups go straight into new buffers, mapped here and filled on a worker thread; the
  // buffers drawn until finishGeometry are the previous ones.
  auto pending = std::make_unique<PendingBoundary>();
  pending->geometry = geometry;
  pending->path = path;
  for (int b = 0; b < 4; ++b) {
    const int list = b / 2;
    const GLsizeiptrARB bytes = GLsizeiptrARB(3 * std::size_t(geometry->triangleCount(list)) * sizeof(PkVec3f));
    pending->buffers[b] = std::make_unique<GLBufferObject>(GL_ARRAY_BUFFER_ARB);
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, pending->buffers[b]->id());
    glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, nullptr, GL_STATIC_DRAW_ARB);
    if (bytes > 0) pending->mapped[b] = static_cast<PkVec3f*>(glMapBufferARB(GL_ARRAY_BUFFER_ARB, GL_WRITE_ONLY_ARB));
  }
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
  PendingBoundary* p = pending.get();
  pending->built = std::async(std::launch::async, [p] {
    for (int list = 0; list < 2; ++list)
      if (p->mapped[2 * list] && p->mapped[2 * list + 1])
        buildFlatTriangles(*p->geometry, list, p->mapped[2 * list], p->mapped[2 * list + 1]);
  });
  pendingBoundary_ = std::move(pending);
  return true;
}

bool Dataset::finishGeometry() {
  if (!pendingBoundary_) return true;
  std::unique_ptr<PendingBoundary> pending = std::move(pendingBoundary_);
  pending->built.wait();
  bool ok = true;
  std::vector<PkVec3f> positions, normals;
  for (int list = 0; list < 2; ++list) {
    const int triangles = int(pending->geometry->triangleCount(list));
    // A buffer that could not be mapped, or whose contents were lost while it was, gets the
    // soup built here.
    bool whole = true;
    for (int b = 2 * list; b < 2 * list + 2; ++b) {
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, pending->buffers[b]->id());
      if (pending->mapped[b] && glUnmapBufferARB(GL_ARRAY_BUFFER_ARB) != GL_TRUE) whole = false;
      if (!pending->mapped[b] && triangles > 0) whole = false;
    }
    if (!whole) {
      try {
        buildFlatTriangles(*pending->geometry, list, positions, normals);
      } catch (const std::bad_alloc&) {
        ok = false;
        positions.clear();
        normals.clear();
      }
      const GLsizeiptrARB bytes = GLsizeiptrARB(positions.size() * sizeof(PkVec3f));
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, pending->buffers[2 * list]->id());
      glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, positions.data(), GL_STATIC_DRAW_ARB);
      glBindBufferARB(GL_ARRAY_BUFFER_ARB, pending->buffers[2 * list + 1]->id());
      glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, normals.data(), GL_STATIC_DRAW_ARB);
    }
    (list == 0 ? boundaryTriangles0 : boundaryTriangles1) = ok ? triangles : 0;
    boundaryBuffers[2 * list] = std::move(pending->buffers[2 * list]);
    boundaryBuffers[2 * list + 1] = std::move(pending->buffers[2 * list + 1]);
  }
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);
  if (!ok) {
    boundaryTriangles0 = boundaryTriangles1 = 0;
    pk::error("not enough memory for the boundary of " + pending->path);
  }
  return ok;
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
  chunks[std::size_t(k)]->rowTree = makeRowTree(intervals);
  addToChunkTree(k, intervals);
}

void Dataset::addToChunkTree(int k, const std::vector<float>& intervals) {
  const ChunkData::Range range = ChunkData::rangeOf(intervals);
  chunkTree->insert(range.low, range.high, k, 0);
  ++chunksLoaded;
}

bool Dataset::readCache(const std::string& path, const Upload& form, const std::function<void(int, int)>& progress) {
  CacheReader reader(textureWidth, textureHeight);
  if (!reader.open(path)) return false;
  clearChunks();
  upload_ = form;
  modelBox = reader.header().box;
  chunkTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  chunksInFile = int(reader.header().chunkCount);

  // This thread first walks the chunks by their size words, and worker threads then read and
  // decompress several chunks at a time from where it found them (and derive the back end's form
  // of them, where it has one), while this one uploads them in file order. Each chunk is
  // decompressed by a reader of its own that says everything about it, the vertex count included,
  // so the walk's messages are dropped. A chunk the walk cannot pass is still read by a worker as
  // far as the file goes, which says what is wrong with it exactly as a read chunk by chunk would,
  // and the read ends there.
  const std::uint32_t count = reader.header().chunkCount;
  const std::uint64_t fileSize = reader.sourceSize();
  const std::uint64_t largestChunk = CacheReader::largestChunkBytes(textureWidth, textureHeight);
  struct Where {
    std::uint64_t offset, size;
  };
  std::vector<Where> where;
  std::vector<ChunkShape> shapes;
  bool walkFailed = false;
  {
    pk::ThreadDiagCapture dropped;
    ChunkIndex index;
    while (where.size() < count && !walkFailed) {
      walkFailed = !reader.indexChunk(index);
      if (walkFailed) {
        where.push_back({index.offset, std::min(largestChunk, fileSize - std::min(fileSize, index.offset))});
      } else {
        where.push_back({index.offset, index.size});
        shapes.push_back({index.vertexCount, std::uint32_t(index.intervals.size() / 2)});
      }
    }
  }
  if (form.chunksAhead) form.chunksAhead(shapes);
  shapes = std::vector<ChunkShape>();

  const ChunkBytesSource source = [&reader](std::uint64_t offset, std::uint64_t size, unsigned char* to) {
    return reader.readAt(offset, to, std::size_t(size)) ? std::size_t(size) : std::size_t(0);
  };
  std::vector<std::unique_ptr<ChunkWorkspace>> workspaces;
  // Declared after what the workers use: leaving early waits for the chunks still being read.
  std::deque<std::future<LoadedChunk>> pending;
  const std::size_t inFlight = chunksInFlight();
  ChunkWorkers workers(inFlight);
  std::size_t started = 0;
  auto launch = [&] {
    for (; pending.size() < inFlight && started < where.size(); ++started) {
      const Where at = where[started];
      std::unique_ptr<ChunkWorkspace> space = takeWorkspace(workspaces);
      prepareWorkspace(*space, at.size, textureWidth, textureHeight);
      pending.push_back(workers.run([&source, &form, at, width = textureWidth, height = textureHeight,
                                     space = std::move(space)]() mutable {
        return loadChunk(source, at.offset, at.size, width, height, true, form.prepareChunk, std::move(space));
      }));
    }
  };
  launch();
  for (std::uint32_t k = 0; k < count; ++k) {
    LoadedChunk loaded = pending.front().get();
    pending.pop_front();
    launch();
    pk::ThreadDiagCapture::say(loaded.said);
    if (loaded.outOfMemory) throw std::bad_alloc();
    chunks.push_back(std::make_unique<CacheChunk>());
    CacheChunk& chunk = *chunks.back();
    const ChunkData& d = loaded.space->data;
    bool accepted = true;
    for (ChunkStage stage : {ChunkStage::VertexCount, ChunkStage::VertexArray, ChunkStage::WeightArray,
                             ChunkStage::RowCounts, ChunkStage::EdgeMap, ChunkStage::TetCount, ChunkStage::TetMap,
                             ChunkStage::Complete}) {
      if (stage > d.stage) break;
      uploadStage(chunk, stage, d);
      switch (stage) {
      case ChunkStage::RowCounts:
        chunk.rowCount0 = d.rowCount0;
        chunk.rowCount1 = d.rowCount1;
        break;
      case ChunkStage::TetCount:
        totalTets += d.tetCount;
        break;
      case ChunkStage::Complete:
        if (form.chunkComplete && !form.chunkComplete(int(k), d, loaded.space->form())) {
          accepted = false;
          break;
        }
        addToTrees(int(k), d.intervals);
        break;
      default:
        break;
      }
    }
    glActiveTextureARB(GL_TEXTURE0);
    if (!loaded.ok || !accepted) return false; // the chunks read completely stay usable
    if (walkFailed && pending.empty()) return false; // the walk stopped at this chunk
    workspaces.push_back(std::move(loaded.space));
    if (progress) progress(int(k) + 1, int(count));
  }
  return !walkFailed && reader.finish();
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
  return bytes + boundaryBytes();
}

std::size_t Dataset::boundaryBytes() const {
  return std::size_t(boundaryTriangles0 + boundaryTriangles1) * 3 * 2 * sizeof(PkVec3f);
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
  std::vector<ChunkShape> shapes;
  sharing_ = bool(upload_.sharedBytes);
  bool indexed = true;
  for (std::uint32_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<CacheChunk>());
    if (!reader.indexChunk(index)) {
      indexed = false; // the chunks indexed so far stay usable
      break;
    }
    shapes.push_back({index.vertexCount, std::uint32_t(index.intervals.size() / 2)});
    CacheChunk& chunk = *chunks.back();
    chunk.rowCount0 = index.rowCount0;
    chunk.rowCount1 = index.rowCount1;
    totalTets += index.tetCount;
    Residence r;
    r.offset = index.offset;
    r.size = index.size;
    residence_.push_back(r);
    addToChunkTree(int(k), index.intervals);
    chunk.pendingRows = std::move(index.intervals);
    chunk.rowsPending = true;
    if (progress) progress(int(k) + 1, int(count));
  }
  // The back end plans its memory from the shapes of the chunks indexed, also when the index
  // breaks off.
  if (upload_.chunksAhead) upload_.chunksAhead(shapes);
  return indexed && reader.finish();
}

bool Dataset::isResident(int k) const {
  if (!onDemand()) return k >= 0 && std::size_t(k) < chunks.size() && (chunks[std::size_t(k)]->rowTree != nullptr);
  return k >= 0 && std::size_t(k) < residence_.size() && residence_[std::size_t(k)].resident;
}

std::size_t Dataset::expectedChunkBytes(int k) const {
  if (upload_.textures || isResident(k)) return chunkBytes(k);
  return residentChunks_ ? stats_.residentBytes / residentChunks_ : 0;
}

std::size_t Dataset::chunkBytes(int k) const {
  if (upload_.textures) return kTextureBytesPerTexel * std::size_t(textureWidth) * std::size_t(textureHeight);
  return upload_.chunkBytes ? upload_.chunkBytes(k) : 0;
}

bool Dataset::uploadChunk(int k, const ChunkData& d, const PreparedChunk* prepared) {
  CacheChunk& chunk = *chunks[std::size_t(k)];
  for (ChunkStage stage : {ChunkStage::VertexArray, ChunkStage::WeightArray, ChunkStage::EdgeMap, ChunkStage::TetMap})
    uploadStage(chunk, stage, d);
  glActiveTextureARB(GL_TEXTURE0);
  return !upload_.chunkComplete || upload_.chunkComplete(k, d, prepared);
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
  --residentChunks_;
  stats_.residentBytes -= std::min(stats_.residentBytes, r.bytes);
  r.bytes = 0;
  ++stats_.evictions;
}

void Dataset::setBudgetBytes(std::size_t bytes) {
  if (bytes != budget_) sharingAsked_ = true;
  budget_ = bytes;
}

void Dataset::setSharing(bool share) {
  for (std::size_t k = 0; k < residence_.size(); ++k) evict(int(k));
  upload_.shareMemory(share);
  sharing_ = share;
}

std::vector<char> Dataset::makeResident(const std::vector<int>& wanted, bool mayEvict,
                                        const std::function<void()>& whileReading) {
  // Runs at most once, before this returns.
  bool saidReading = false;
  const std::function<void()> reading = [&] {
    if (whileReading && !saidReading) whileReading();
    saidReading = true;
  };
  struct Finally {
    const std::function<void()>& run;
    ~Finally() { run(); }
  } atEnd{reading};
  if (!onDemand()) {
    std::vector<char> resident(wanted.size(), 0);
    for (std::size_t i = 0; i < wanted.size(); ++i) resident[i] = isResident(wanted[i]);
    return resident;
  }
  // Shared memory stays held while any of its chunks is resident: chunks share it only while all
  // of them fit the budget beside what is reserved, else every chunk moves to memory of its own
  // (read again as it is wanted). They share again only under a new budget that holds them all,
  // so that no request but the first under a budget moves them. A prefetch leaves all that to the
  // next request.
  if (upload_.sharedBytes && mayEvict) {
    const bool fits = budget_ == 0 || upload_.sharedBytes() + reserved_ <= budget_;
    if (sharing_ ? !fits : sharingAsked_ && fits) setSharing(!sharing_);
    sharingAsked_ = false;
  }
  bool full = false;
  std::vector<char> resident = residentOnce(wanted, mayEvict, reading, full);
  // A chunk may take more than the index foresaw (an irregular one): where the budget then refused
  // a wanted chunk while sharing, every chunk moves to memory of its own and the request runs again.
  if (sharing_ && mayEvict && full) {
    setSharing(false);
    resident = residentOnce(wanted, mayEvict, reading, full);
  }
  if (upload_.gatherChunks && mayEvict) gatherResident(wanted, resident);
  return resident;
}

std::size_t Dataset::heldBytes() const {
  const std::size_t storage = upload_.storageBytes ? upload_.storageBytes() : 0;
  return std::max(storage, stats_.residentBytes);
}

void Dataset::gatherResident(const std::vector<int>& wanted, const std::vector<char>& resident) {
  std::vector<int> held;
  for (std::size_t i = 0; i < wanted.size(); ++i)
    if (resident[i]) held.push_back(wanted[i]);
  if (held.empty()) return;
  std::size_t spare = std::numeric_limits<std::size_t>::max();
  if (budget_ > 0) {
    const std::size_t room = roomBytes(), used = heldBytes();
    spare = room > used ? room - used : 0;
  }
  for (int k : upload_.gatherChunks(held, spare)) remeasure(k);
}

void Dataset::remeasure(int k) {
  Residence& r = residence_[std::size_t(k)];
  if (!r.resident) return;
  const std::size_t bytes = chunkBytes(k);
  stats_.residentBytes = stats_.residentBytes - std::min(stats_.residentBytes, r.bytes) + bytes;
  r.bytes = bytes;
}

std::vector<char> Dataset::residentOnce(const std::vector<int>& wanted, bool mayEvict,
                                        const std::function<void()>& reading, bool& full) {
  std::vector<char> resident(wanted.size(), 0);
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
    const std::size_t room = roomBytes();
    if (!mayEvict) return heldBytes() + bytes <= room;
    bool filled = false;
    while (heldBytes() + bytes > room) {
      int oldest = -1;
      for (std::size_t k = 0; k < residence_.size(); ++k) {
        const Residence& r = residence_[k];
        if (r.resident && r.lastUse != now && (oldest < 0 || r.lastUse < residence_[std::size_t(oldest)].lastUse))
          oldest = int(k);
      }
      if (oldest < 0) {
        // Nothing left to evict: chunks in memory of their own may still move into the room that
        // evicted chunks left in memory shared with wanted ones, once.
        if (!upload_.fillFreedRoom || filled) return false;
        filled = true;
        for (int k : upload_.fillFreedRoom()) remeasure(k);
        continue;
      }
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


  // Several chunks in flight: each of the dataset's reader threads reads and decompresses one (and
  // derives the back end's form of it), and this thread uploads them in the order wanted as they
  // are done. The readers stay from request to request, rather than a thread started per chunk.
  const std::size_t inFlight = chunksInFlight();
  if (!readers_) readers_ = std::make_unique<ChunkWorkers>(inFlight);
  const ChunkBytesSource source = fileBytes(file_);
  std::deque<std::future<LoadedChunk>> pending;
  // However this request ends, no read it started outlives what the read uses.
  struct Drain {
    std::deque<std::future<LoadedChunk>>& reads;
    ~Drain() {
      for (auto& read : reads)
        if (read.valid()) read.wait();
    }
  } drain{pending};
  std::size_t next = 0;
  auto launch = [&] {
    while (pending.size() < inFlight && next < missing.size()) {
      const Residence& r = residence_[std::size_t(wanted[missing[next]])];
      // The vertex count was warned about when the chunk was indexed.
      pending.push_back(readers_->run([&source, &prepare = upload_.prepareChunk, offset = r.offset, size = r.size,
                                       width = textureWidth, height = textureHeight,
                                       space = takeWorkspace(workspaces_)]() mutable {
        return loadChunk(source, offset, size, width, height, false, prepare, std::move(space));
      }));
      ++next;
    }
  };
  std::size_t done = 0;
  full = false;
  launch();
  reading();
  while (done < next) {
    const std::size_t i = missing[done];
    const int k = wanted[i];
    LoadedChunk loaded = pending.front().get();
    pending.pop_front();
    // The workspace goes back to the pool once its chunk is uploaded (or left out).
    struct GiveBack {
      std::vector<std::unique_ptr<ChunkWorkspace>>& pool;
      std::unique_ptr<ChunkWorkspace>& space;
      ~GiveBack() {
        if (space) pool.push_back(std::move(space));
      }
    } giveBack{workspaces_, loaded.space};
    ++done;
    if (!full) launch();
    Residence& r = residence_[std::size_t(k)];
    stats_.bytesRead += r.size;
    pk::ThreadDiagCapture::say(loaded.said);
    if (loaded.outOfMemory) pk::error("not enough memory to read a chunk");
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
      uploaded = uploadChunk(k, loaded.space->data, loaded.space->form());
    } catch (const std::bad_alloc&) {
      pk::error("not enough memory for chunk " + std::to_string(k) + " of " + cachePath_);
    }
    if (!uploaded) {
      r.failed = true;
      continue;
    }
    r.resident = true;
    ++residentChunks_;
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
  // A few workspaces stay for the next request; the rest of their memory goes.
  if (workspaces_.size() > kKeptWorkspaces) workspaces_.resize(kKeptWorkspaces);
  return resident;
}
