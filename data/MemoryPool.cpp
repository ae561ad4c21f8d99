#include "MemoryPool.h"

#include "PkDiag.h"

#include <cassert>
#include <cstring>
#include <new>

namespace {
// Free items hold the address of the next free item in their first bytes. Items lie 20 bytes
// apart, so the pointer is copied bytewise rather than accessed in place (it may be misaligned).
static_assert(sizeof(void*) <= MemoryPool::kItemSize, "an item must hold a pointer");

void* nextOf(void* item) {
  void* next;
  std::memcpy(&next, item, sizeof next);
  return next;
}

void setNext(void* item, void* next) { std::memcpy(item, &next, sizeof next); }
} // namespace

MemoryPool::MemoryPool(std::size_t itemsPerBlock, int maxBlocks)
    : itemsPerBlock_(itemsPerBlock), maxBlocks_(maxBlocks) {
  assert(itemsPerBlock >= 1 && maxBlocks >= 1);
  blocks_.reserve(static_cast<std::size_t>(maxBlocks));
}

MemoryPool::~MemoryPool() {
  if (itemsInUse_ != 0) {
    pk::WarningLine() << "destructing memory pool that contains " << itemsInUse_
                      << " items -> not releasing memory";
    return;
  }
  for (unsigned char* block : blocks_) delete[] block;
  blocks_.clear();
  freeHead_ = nullptr;
}

MemoryPool& MemoryPool::shared() {
  static MemoryPool pool;
  return pool;
}

void* MemoryPool::allocate(std::size_t size) {
  if (size != kItemSize) {
    pk::WarningLine() << "size of " << size << " does not match pool's item size (" << kItemSize
                      << ") -> calling global new";
    return ::operator new(size, std::nothrow);
  }
  void* item;
  if (!freeHead_) {
    if (static_cast<int>(blocks_.size()) >= maxBlocks_) {
      pk::warning("memory pool capacity limit reached");
      return nullptr;
    }
    unsigned char* block = new (std::nothrow) unsigned char[itemsPerBlock_ * kItemSize];
    if (!block) {
      pk::warning("memory pool cannot allocate a block");
      return nullptr;
    }
    blocks_.push_back(block);
    // Items 1 … n−1 form the free list in address order; item 0 is handed out.
    for (std::size_t i = 1; i < itemsPerBlock_; ++i)
      setNext(block + i * kItemSize, i + 1 < itemsPerBlock_ ? block + (i + 1) * kItemSize : nullptr);
    freeHead_ = itemsPerBlock_ > 1 ? block + kItemSize : nullptr;
    item = block;
  } else {
    item = freeHead_;
    freeHead_ = nextOf(item);
  }
  ++itemsInUse_;
  return item;
}

void MemoryPool::release(void* item, std::size_t size) {
  if (!item) return;
  if (size == kItemSize) {
    setNext(item, freeHead_);
    freeHead_ = item;
    --itemsInUse_;
    return;
  }
  pk::WarningLine() << "size of " << size << " does not match pool's item size (" << kItemSize
                    << ") -> calling global delete";
  ::operator delete(item);
}
