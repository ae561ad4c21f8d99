// A fixed-size allocator for the sort records of transparent drawing: items of 20 bytes handed out
// from blocks of 65536 through a last-in, first-out free list. Blocks go back to the system only
// when the pool is destroyed with no item in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One tetrahedron slot of transparent drawing: the chunk and half it came from, the number of its
// quad's first vertex in that half's output arrays, and that vertex's position as read back.
struct PrimitiveRecord {
  std::uint32_t id;          // chunk index · 256 + half (0 or 1)
  std::int32_t firstVertex;
  float x, y, z;
};
static_assert(sizeof(PrimitiveRecord) == 20, "a sort record is 20 bytes");

class MemoryPool {
public:
  static constexpr std::size_t kItemSize = 20;
  static constexpr std::size_t kItemsPerBlock = 65536;
  static constexpr int kMaxBlocks = 4096;

  // The sizes can be made smaller for tests of the capacity limit.
  explicit MemoryPool(std::size_t itemsPerBlock = kItemsPerBlock, int maxBlocks = kMaxBlocks);
  // With items still in use: warning "destructing memory pool that contains N items -> not
  // releasing memory", and the blocks stay allocated.
  ~MemoryPool();
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  // size ≠ 20: warning "size of S does not match pool's item size (20) -> calling global new" and
  // plain heap memory. With every block in use: warning "memory pool capacity limit reached", null.
  void* allocate(std::size_t size);
  // Null is ignored. size ≠ 20: warning "... -> calling global delete" and back to the heap.
  void release(void* item, std::size_t size);

  std::uint32_t itemsInUse() const { return itemsInUse_; }
  int blockCount() const { return static_cast<int>(blocks_.size()); }

  // The process-wide pool of the sort records.
  static MemoryPool& shared();

private:
  void* freeHead_ = nullptr;
  std::uint32_t itemsInUse_ = 0;
  std::vector<unsigned char*> blocks_;
  std::size_t itemsPerBlock_;
  int maxBlocks_;
};
