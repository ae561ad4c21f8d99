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
struct PendingBoundary;
struct ChunkWorkspace;
class ChunkWorkers;

// A chunk in a back end's own form, derived from its arrays on the thread that read them (see
// Dataset::Upload::prepareChunk).
struct PreparedChunk {
  virtual ~PreparedChunk() = default;
};

// A chunk's size as the cache's index gives it before the chunk is read.
struct ChunkShape {
  std::uint32_t vertexCount = 0;
  std::uint32_t rows = 0; // row intervals, one per tetrahedron row
};

class Dataset {
public:
  // How the chunk arrays go to the graphics processor.
  struct Upload {
    bool textures = true;        // the four data textures of the fragment passes
    GLenum floatFormat = 0;      // their float internal format
    bool rectTextures = false;   // rectangle textures for the float arrays
    // Told for each chunk read completely, with its index, its arrays and what prepareChunk made of
    // them (nothing without prepareChunk); false stops the read.
    std::function<bool(int, const ChunkData&, const PreparedChunk*)> chunkComplete;
    // For a back end with a form of its own: derives it from a chunk read completely, on the worker
    // thread that read it, into `into` (empty at first, then the form of an earlier chunk, whose
    // arrays it may reuse). It must not touch what the engine's thread changes meanwhile.
    std::function<void(const ChunkData&, std::unique_ptr<PreparedChunk>& into)> prepareChunk;
    // Told once, before a dataset read whole uploads anything, with the shape of every chunk the
    // file's index walk passed, in file order, so that the back end can size its memory once.
    std::function<void(const std::vector<ChunkShape>&)> chunksAhead;
    // For chunks resident on demand: the graphics memory chunk k holds in the back end's own form,
    // and its release when the chunk is evicted.
    std::function<std::size_t(int)> chunkBytes;
    std::function<void(int)> releaseChunk;
    // For a back end whose chunks can share its memory: the graphics memory they hold in all, with
    // what shared blocks keep free (which counts against the budget too); what they would hold at
    // most sharing it, with every chunk of the index resident; and the switch between sharing and
    // memory of its own for each chunk, made after every chunk was evicted.
    std::function<std::size_t()> storageBytes;
    std::function<std::size_t()> sharedBytes;
    std::function<void(bool)> shareMemory;
    // For a back end whose chunks can share its memory: told after a request with the wanted chunks
    // that are resident and the graphics memory the budget leaves spare, so that it may move those
    // chunks' memory together (without passing that, even while moving). Returns the chunks moved,
    // whose bytes are measured again.
    std::function<std::vector<int>(const std::vector<int>&, std::size_t)> gatherChunks;
    // Told when the budget would refuse a chunk with nothing left to evict: the back end may move
    // chunks into the room evicted ones left in memory they share. Returns the chunks moved, whose
    // bytes are measured again.
    std::function<std::vector<int>()> fillFreedRoom;
  };

  // What residency on demand has done since the cache was opened.
  struct ResidencyStats {
    long long loads = 0;          // chunks read, decompressed and uploaded
    long long evictions = 0;
    std::uint64_t bytesRead = 0;  // of the cache file
    std::size_t residentBytes = 0; // graphics memory of the resident chunks now
    std::size_t peakBytes = 0;     // and at most
    int refused = 0;               // wanted chunks that did not fit the budget, last request
  };

  Dataset(int textureWidth, int textureHeight);
  ~Dataset();
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  // Makes and releases the boundary buffers.
  void createGL();
  void releaseGL();

  // Reads the boundary surfaces of a geometry file: the file is read and checked here (false,
  // nothing changed, after the parser's message); their flat-shaded soups are then built on a
  // worker thread into new buffers while the caller goes on (with the cache), and finishGeometry
  // makes them the boundary buffers. Until then the buffers and counts are those of before.
  bool readGeometry(const std::string& path);
  // Waits for the soups of the last readGeometry and puts their buffers in place. False after an
  // error when there was not enough memory for them (the boundary is then empty).
  bool finishGeometry();
  // Reads a cache after dropping the chunks held. The complete chunks stay when a later one fails
  // (chunksLoaded < chunksInFile then). progress is told after every chunk (read, in the file).
  bool readCache(const std::string& path, const Upload& upload, const std::function<void(int, int)>& progress);
  // Drops every chunk, the chunk tree and the counts; the boundary surfaces stay.
  void clearChunks();

  // Opens a cache for residency on demand: the header, and per chunk its words and row intervals
  // with its W·H blocks passed over by their size words. The trees and counts are then complete and
  // no chunk is resident. budgetBytes bounds the graphics memory of resident chunks (0: no bound).
  // False after the reader's messages; the chunks indexed before a failure stay usable.
  // progress is told after every chunk indexed.
  bool openCache(const std::string& path, const Upload& upload, std::size_t budgetBytes,
                 const std::function<void(int, int)>& progress = {});
  bool onDemand() const { return file_ >= 0; }
  std::size_t budgetBytes() const { return budget_; }
  // A new budget also lets chunks share memory again where the whole index now fits it (from the
  // next request, which then reads its chunks anew).
  void setBudgetBytes(std::size_t bytes);
  // Graphics memory outside the chunks that counts against the budget (the back end's outputs and
  // the boundary surfaces).
  void setReservedBytes(std::size_t bytes) { reserved_ = bytes; }
  // Makes the wanted chunks resident, in the order given: missing ones are read (one read each),
  // decompressed and prepared (Upload::prepareChunk) on worker threads, several at a time, and
  // uploaded here; the least recently used of the others are evicted to stay within the budget (in
  // which memory a back end's chunks share counts whole, free room included). The back end may then
  // gather the wanted ones (Upload::gatherChunks). Returns, for each wanted chunk, whether it is
  // resident. A chunk that cannot be read, or a cache file that changed since it was opened, is
  // said once; what is resident stays usable.
  // With mayEvict false (a prefetch) only spare budget is used. whileReading, if given, runs on this
  // thread once the first chunks are being read (or at once when none is missing).
  std::vector<char> makeResident(const std::vector<int>& wanted, bool mayEvict = true,
                                 const std::function<void()>& whileReading = nullptr);
  bool isResident(int k) const;
  // The graphics memory chunk k holds once resident: what it holds now, or for a chunk not
  // resident the textures of the fragment passes, or in a back end's own form the mean of the
  // resident chunks (0 while none is).
  std::size_t expectedChunkBytes(int k) const;
  const ResidencyStats& residency() const { return stats_; }

  bool empty() const { return chunkTree == nullptr; }
  // Graphics memory of the chunk textures and the boundary buffers.
  std::size_t graphicsBytes() const;
  // Graphics memory of the boundary buffers alone.
  std::size_t boundaryBytes() const;

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

  // Bytes per texel of a chunk's four textures: three float RGBA and the RGBA8 edge map.
  static constexpr std::size_t kTextureBytesPerTexel = 16 + 16 + 16 + 4;

  // Nearest filtering and clamping, as every chunk texture and pass target is read.
  static void setNearestClamp(GLTexture& t);

private:
  std::unique_ptr<GLTexture> makeChunkTexture(bool floatKind, bool rect, GLenum unit);
  // Chunk k's row tree from its row intervals, and its range in the chunk tree; counts it loaded.
  void addToTrees(int k, const std::vector<float>& intervals);
  // The same without the row tree, which the chunk builds when first asked.
  void addToChunkTree(int k, const std::vector<float>& intervals);
  // Makes the texture of one array when the upload's form has textures.
  void uploadStage(CacheChunk& chunk, ChunkStage stage, const ChunkData& data);
  // Uploads chunk k's arrays in the upload's form (the textures, then chunkComplete with the form
  // prepared from them, if any).
  bool uploadChunk(int k, const ChunkData& data, const PreparedChunk* prepared);
  std::size_t chunkBytes(int k) const;
  void evict(int k);
  // Evicts every chunk, and has the back end's chunks share memory from now on, or not.
  void setSharing(bool share);
  // One pass of makeResident; reading is told once the first chunks are being read. full: whether
  // the budget refused a chunk.
  std::vector<char> residentOnce(const std::vector<int>& wanted, bool mayEvict, const std::function<void()>& reading,
                                 bool& full);
  // The graphics memory the chunks hold: what the back end holds beyond the resident chunks' own
  // bytes (free room in memory they share) counts too.
  std::size_t heldBytes() const;
  // The graphics memory the budget leaves the chunks beside what is reserved (meaningless without a
  // budget).
  std::size_t roomBytes() const { return budget_ > reserved_ ? budget_ - reserved_ : 0; }
  // Has the back end gather the wanted chunks that are resident (Upload::gatherChunks).
  void gatherResident(const std::vector<int>& wanted, const std::vector<char>& resident);
  // A resident chunk's bytes measured again, after the back end moved it.
  void remeasure(int k);
  void closeFile();

  struct Residence {
    std::uint64_t offset = 0, size = 0; // the chunk's bytes in the cache file
    bool resident = false;
    bool failed = false;               // could not be read: not tried again
    std::uint64_t lastUse = 0;
    std::size_t bytes = 0;
  };
  // The boundary being built since readGeometry.
  std::unique_ptr<PendingBoundary> pendingBoundary_;
  Upload upload_;
  std::string cachePath_;
  int file_ = -1;
  std::uint64_t fileSize_ = 0;
  std::int64_t fileTime_ = 0;
  bool fileChanged_ = false;
  std::size_t budget_ = 0;
  std::size_t reserved_ = 0;
  bool sharing_ = false;        // the back end's chunks share memory (see Upload::sharedBytes)
  bool sharingAsked_ = false;   // a new budget: sharing is weighed again at the next request
  std::uint64_t useClock_ = 0;
  std::vector<Residence> residence_;
  std::size_t residentChunks_ = 0; // of residence_, those resident
  // Workspaces of chunk reads on demand, kept from chunk to chunk (up to kKeptWorkspaces between
  // requests).
  std::vector<std::unique_ptr<ChunkWorkspace>> workspaces_;
  static constexpr std::size_t kKeptWorkspaces = 2;
  // The threads that read chunks on demand, from the first request until the cache is closed.
  std::unique_ptr<ChunkWorkers> readers_;
  std::vector<float> tetFloats_; // the tetrahedron map as floats, kept from chunk to chunk
  ResidencyStats stats_;
};
