// The sort-record pool: blocks, reuse order, size mismatches, capacity and the exit warning.
#include "MemoryPool.h"

#include "CaptureOutput.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VX_HAS_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_HAS_LSAN 1
#endif
#endif
#ifdef VX_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

TEST(MemoryPool, BlocksOf65536ItemsAreMadeOnDemand) {
  MemoryPool pool;
  EXPECT_EQ(pool.blockCount(), 0);
  std::vector<void*> items;
  items.push_back(pool.allocate(20));
  EXPECT_EQ(pool.blockCount(), 1);
  auto* first = static_cast<unsigned char*>(items[0]);
  for (int i = 1; i < 65536; ++i) {
    items.push_back(pool.allocate(20));
    // The first block hands its items out in address order.
    ASSERT_EQ(items.back(), first + 20 * i);
  }
  EXPECT_EQ(pool.blockCount(), 1);
  items.push_back(pool.allocate(20));
  EXPECT_EQ(pool.blockCount(), 2);
  EXPECT_EQ(pool.itemsInUse(), 65537u);
  EXPECT_EQ(std::set<void*>(items.begin(), items.end()).size(), items.size());
  for (void* p : items) pool.release(p, 20);
  EXPECT_EQ(pool.itemsInUse(), 0u);
  // Everything is reused before a third block is made.
  for (int i = 0; i < 65537; ++i) pool.allocate(20);
  EXPECT_EQ(pool.blockCount(), 2);
  for (void* p : items) pool.release(p, 20);
}

TEST(MemoryPool, ReleasedItemsComeBackLastInFirstOut) {
  MemoryPool pool;
  void* a = pool.allocate(20);
  void* b = pool.allocate(20);
  void* c = pool.allocate(20);
  pool.release(a, 20);
  pool.release(c, 20);
  EXPECT_EQ(pool.allocate(20), c);
  EXPECT_EQ(pool.allocate(20), a);
  pool.release(nullptr, 20); // ignored
  EXPECT_EQ(pool.itemsInUse(), 3u);

  // A record lives in an item and keeps its fields.
  auto* record = new (pool.allocate(sizeof(PrimitiveRecord))) PrimitiveRecord{513, 4092, 1.5f, -2.0f, 0.25f};
  EXPECT_EQ(record->id, 513u);
  EXPECT_EQ(record->z, 0.25f);
  pool.release(record, sizeof(PrimitiveRecord));
  for (void* p : {a, b, c}) pool.release(p, 20);
}

TEST(MemoryPool, OtherSizesGoToTheHeapWithWarnings) {
  MemoryPool pool;
  void* p = nullptr;
  std::string err = captureStderr([&] { p = pool.allocate(24); });
  EXPECT_EQ(err, pk::warningText("size of 24 does not match pool's item size (20) -> calling global new"));
  ASSERT_NE(p, nullptr);
  static_cast<unsigned char*>(p)[23] = 1; // really 24 bytes
  EXPECT_EQ(pool.itemsInUse(), 0u);
  EXPECT_EQ(pool.blockCount(), 0);
  err = captureStderr([&] { pool.release(p, 24); });
  EXPECT_EQ(err, pk::warningText("size of 24 does not match pool's item size (20) -> calling global delete"));
}

TEST(MemoryPool, CapacityLimit) {
  MemoryPool pool(4, 2);
  std::vector<void*> items;
  for (int i = 0; i < 8; ++i) items.push_back(pool.allocate(20));
  for (void* p : items) ASSERT_NE(p, nullptr);
  void* extra = &items;
  std::string err = captureStderr([&] { extra = pool.allocate(20); });
  EXPECT_EQ(extra, nullptr);
  EXPECT_EQ(err, pk::warningText("memory pool capacity limit reached"));
  EXPECT_EQ(pool.itemsInUse(), 8u);
  pool.release(items[5], 20);
  EXPECT_EQ(pool.allocate(20), items[5]);
  for (void* p : items) pool.release(p, 20);
}

TEST(MemoryPool, DestroyingWithItemsInUseWarnsAndKeepsTheMemory) {
  std::string err;
  {
#ifdef VX_HAS_LSAN
    __lsan::ScopedDisabler keptOnPurpose; // the blocks stay allocated by design
#endif
    auto* pool = new MemoryPool;
    pool->allocate(20);
    pool->allocate(20);
    void* last = pool->allocate(20);
    pool->release(last, 20);
    pool->allocate(20);
    err = captureStderr([&] { delete pool; });
  }
  EXPECT_EQ(err, pk::warningText("destructing memory pool that contains 3 items -> not releasing memory"));

  // An empty pool goes quietly.
  err = captureStderr([] {
    MemoryPool pool;
    pool.release(pool.allocate(20), 20);
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(&MemoryPool::shared(), &MemoryPool::shared());
}
