// Tests of the value pool and the page store: size classes, slot reuse, the built-in first
// page, pages filling up and going back to the store, reset, regions going back to the
// operating system, heap blocks, the per-thread page cache of trees, concurrent pools, and
// (under AddressSanitizer) poisoned free slots.
#include "sdk/binding/value_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "sdk/binding/binding_value.h"

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#include <sanitizer/lsan_interface.h>
#endif

namespace sdk::binding::detail {
namespace {

bool InsidePool(const ValuePool& pool, const void* slot) {
  const auto* begin = reinterpret_cast<const unsigned char*>(&pool);
  const auto* address = static_cast<const unsigned char*>(slot);
  return address >= begin && address < begin + sizeof(ValuePool);
}

TEST(ValuePoolTest, FreedSlotsAreReusedLastFirst) {
  ValuePool pool;
  void* a = pool.Allocate(24);
  void* b = pool.Allocate(24);
  void* c = pool.Allocate(24);
  pool.Free(b, 24);
  EXPECT_EQ(pool.Allocate(24), b);
  pool.Free(a, 24);
  pool.Free(c, 24);
  EXPECT_EQ(pool.Allocate(24), c);
  EXPECT_EQ(pool.Allocate(24), a);
  EXPECT_EQ(pool.Stats().live_slots, 3u);
}

struct ClassCase {
  size_t first;
  size_t second;
  bool same_class;
};

TEST(ValuePoolTest, SizesRoundUpToTheirClass) {
  const ClassCase kCases[] = {
      {1, 4, true},    {5, 8, true},    {8, 9, false},     {69, 72, true},
      {72, 73, false}, {73, 128, true}, {128, 129, false}, {300, 512, true},
  };
  for (const ClassCase& c : kCases) {
    ValuePool pool;
    void* first = pool.Allocate(c.first);
    pool.Free(first, c.first);
    void* second = pool.Allocate(c.second);
    EXPECT_EQ(first == second, c.same_class) << c.first << " and " << c.second;
    pool.Free(second, c.second);
  }
}

TEST(ValuePoolTest, SlotsAreAlignedToTheirSize) {
  ValuePool pool;
  std::vector<std::pair<void*, size_t>> slots;
  for (size_t size = 4; size <= kPoolMaxPooledSize; size += 4) {
    for (int i = 0; i < 40; ++i) {
      void* slot = pool.Allocate(size);
      const size_t alignment = size % 8 == 0 ? 8 : 4;
      ASSERT_EQ(reinterpret_cast<uintptr_t>(slot) % alignment, 0u) << "size " << size;
      slots.emplace_back(slot, size);
    }
  }
  for (auto [slot, size] : slots) pool.Free(slot, size);
  EXPECT_EQ(pool.Stats().live_slots, 0u);
}

TEST(ValuePoolTest, FirstPageLivesInsideThePool) {
  ValuePool pool;
  const size_t in_record = kPoolInRecordAreaSize / 24;
  std::vector<void*> slots;
  for (size_t i = 0; i < in_record; ++i) {
    slots.push_back(pool.Allocate(24));
    EXPECT_TRUE(InsidePool(pool, slots.back())) << i;
  }
  EXPECT_EQ(pool.Stats().store_pages, 0u);
  const PageStoreStats before = GetPageStoreStats();
  slots.push_back(pool.Allocate(24));
  EXPECT_FALSE(InsidePool(pool, slots.back()));
  EXPECT_EQ(pool.Stats().store_pages, 1u);
  EXPECT_EQ(GetPageStoreStats().pages_in_use, before.pages_in_use + 1);
  for (void* slot : slots) pool.Free(slot, 24);
}

TEST(ValuePoolTest, EmptyPagesGoBackToTheStore) {
  const size_t base_pages = GetPageStoreStats().pages_in_use;
  {
    ValuePool pool;
    // Fill the built-in page and three store pages of the 512-byte class (7 slots a page).
    std::vector<void*> slots;
    for (int i = 0; i < 21; ++i) slots.push_back(pool.Allocate(512));
    EXPECT_EQ(pool.Stats().store_pages, 3u);
    EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages + 3);

    // Empty the pages one at a time: the first empty page is kept in reserve, the next ones go
    // back.
    for (int i = 0; i < 7; ++i) pool.Free(slots[i], 512);
    EXPECT_EQ(pool.Stats().store_pages, 3u) << "one empty page is kept in reserve";
    for (int i = 7; i < 14; ++i) pool.Free(slots[i], 512);
    EXPECT_EQ(pool.Stats().store_pages, 2u);
    EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages + 2);

    // The reserve page serves the next allocation without the store.
    slots[0] = pool.Allocate(512);
    EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages + 2);
    pool.Free(slots[0], 512);
    for (int i = 14; i < 21; ++i) pool.Free(slots[i], 512);
    EXPECT_EQ(pool.Stats().store_pages, 1u);
    EXPECT_EQ(pool.Stats().live_slots, 0u);
  }
  EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages) << "destroying the pool returns all";
}

TEST(ValuePoolTest, FreeRegionsGoBackToTheSystem) {
  ReleaseFreePageStoreRegions();
  const PageStoreStats base = GetPageStoreStats();
  {
    // 48 pages in use: at least three regions of 16 pages.
    std::vector<std::unique_ptr<ValuePool>> pools;
    std::vector<std::pair<ValuePool*, void*>> slots;
    for (int p = 0; p < 6; ++p) {
      pools.push_back(std::make_unique<ValuePool>());
      for (int i = 0; i < 8 * 7; ++i)
        slots.emplace_back(pools.back().get(), pools.back()->Allocate(512));
    }
    const PageStoreStats full = GetPageStoreStats();
    EXPECT_EQ(full.pages_in_use, base.pages_in_use + 48);
    EXPECT_GE(full.regions_mapped, base.regions_mapped + 3 - (base.pages_free >= 16 ? 1 : 0));
    EXPECT_EQ(full.regions_mapped * kPoolPagesPerRegion, full.pages_in_use + full.pages_free);
    for (auto [pool, slot] : slots) pool->Free(slot, 512);
  }
  const PageStoreStats after = GetPageStoreStats();
  EXPECT_EQ(after.pages_in_use, base.pages_in_use);
  EXPECT_LE(after.regions_mapped, base.regions_mapped + 1) << "at most one free region is kept";
  EXPECT_GE(after.regions_released_total, base.regions_released_total + 2);
  ReleaseFreePageStoreRegions();
  EXPECT_EQ(GetPageStoreStats().regions_mapped, base.regions_mapped);
}

// A page that fills up stays at the head of its class's list until the next allocation; a
// page that gets a slot back goes in front of it. Neither may hand out a slot twice.
TEST(ValuePoolTest, FullPagesBehindTheHeadAreSkipped) {
  constexpr size_t kSlotsPerPage = 7;  // 512-byte slots in a 4096-byte page
  ValuePool pool;
  std::vector<void*> slots;
  for (size_t i = 0; i < 2 * kSlotsPerPage; ++i) slots.push_back(pool.Allocate(512));
  void* returned = slots[3];  // on the first page, which is full and off the list
  pool.Free(returned, 512);
  slots.erase(slots.begin() + 3);
  EXPECT_EQ(pool.Allocate(512), returned) << "the page with the free slot comes first";
  slots.push_back(returned);
  // Both pages are full now, the second one still listed behind the first.
  void* fresh = pool.Allocate(512);
  for (void* slot : slots) ASSERT_NE(fresh, slot);
  EXPECT_EQ(pool.Stats().store_pages, 3u);
  slots.push_back(fresh);
  for (void* slot : slots) pool.Free(slot, 512);
}

TEST(ValuePoolTest, ResetKeepsOneReadyPagePerClass) {
  ValuePool pool;
  for (int i = 0; i < 1000; ++i) pool.Allocate(24);
  for (int i = 0; i < 30; ++i) pool.Allocate(512);
  pool.Allocate(5000);
  EXPECT_EQ(pool.Stats().heap_blocks, 1u);
  const size_t in_use = GetPageStoreStats().pages_in_use;
  pool.Reset();
  const PoolStats after = pool.Stats();
  EXPECT_EQ(after.live_slots, 0u);
  EXPECT_EQ(after.heap_blocks, 0u) << "heap blocks go with the reset";
  EXPECT_EQ(after.store_pages, 2u) << "one page of each class used";
  EXPECT_LT(GetPageStoreStats().pages_in_use, in_use);
  // The kept pages serve the next allocations without the store.
  const size_t kept = GetPageStoreStats().pages_in_use;
  std::vector<void*> again;
  for (int i = 0; i < 100; ++i) again.push_back(pool.Allocate(24));
  for (int i = 0; i < 7; ++i) again.push_back(pool.Allocate(512));
  EXPECT_EQ(GetPageStoreStats().pages_in_use, kept);
  EXPECT_EQ(std::set<void*>(again.begin(), again.end()).size(), again.size());
}

TEST(ValuePoolTest, DestroyingAPoolFreesItsHeapBlocks) {
  // The leak checker of the sanitizer build reports the blocks otherwise.
  ValuePool pool;
  pool.Allocate(kPoolMaxPooledSize + 1);
  pool.Allocate(100000);
  EXPECT_EQ(pool.Stats().heap_blocks, 2u);
}

TEST(ValuePoolTest, LargeRequestsAreHeapBlocks) {
  ValuePool pool;
  void* block = pool.Allocate(kPoolMaxPooledSize + 1);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(pool.Stats().heap_blocks, 1u);
  EXPECT_EQ(pool.Stats().live_slots, 0u);
  pool.Free(block, kPoolMaxPooledSize + 1);
  EXPECT_EQ(pool.Stats().heap_blocks, 0u);
}

TEST(ValuePoolTest, RandomTrafficKeepsCountsBalanced) {
  const size_t base_pages = GetPageStoreStats().pages_in_use;
  ValuePool pool;
  std::mt19937 random(12345);
  std::vector<std::pair<unsigned char*, size_t>> live;
  for (int step = 0; step < 20000; ++step) {
    if (live.empty() || random() % 3 != 0) {
      const size_t size = 1 + random() % 600;
      auto* slot = static_cast<unsigned char*>(pool.Allocate(size));
      std::fill(slot, slot + size, static_cast<unsigned char>(size));
      live.emplace_back(slot, size);
    } else {
      const size_t index = random() % live.size();
      auto [slot, size] = live[index];
      for (size_t i = 0; i < size; ++i) {
        ASSERT_EQ(slot[i], static_cast<unsigned char>(size)) << "slot overwritten";
      }
      pool.Free(slot, size);
      live[index] = live.back();
      live.pop_back();
    }
  }
  for (auto [slot, size] : live) pool.Free(slot, size);
  EXPECT_EQ(pool.Stats().live_slots, 0u);
  EXPECT_EQ(pool.Stats().heap_blocks, 0u);
  EXPECT_LE(pool.Stats().store_pages, kPoolSmallClassCount + kPoolBlockClassCount)
      << "at most the reserve page of each class is kept";
  EXPECT_LE(GetPageStoreStats().pages_in_use, base_pages + pool.Stats().store_pages);
}

TEST(ValuePoolTest, TreesOnSeveralThreadsShareTheStore) {
  const size_t base_pages = GetPageStoreStats().pages_in_use;
  auto work = [](int seed) {
    for (int round = 0; round < 20; ++round) {
      BindingValue tree;
      for (int i = 0; i < 2000; ++i) {
        tree.Element(i).Member("k" + std::to_string((i + seed) % 50)).SetString("v");
      }
      ASSERT_EQ(tree.Size(), 2000u);
    }
  };
  std::thread first(work, 1);
  std::thread second(work, 2);
  first.join();
  second.join();
  EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages);
}

// Builds and drops a tree of `elements` unsigned numbers on this thread.
void BuildAndDropTree(int elements) {
  BindingValue tree;
  for (int i = 0; i < elements; ++i) tree.Element(static_cast<size_t>(i)).SetUnsigned(i);
}

TEST(PageCacheTest, ATreeReusesThePagesOfTheTreeBeforeIt) {
  ReleaseFreePageStoreRegions();
  EXPECT_EQ(GetThreadCachedPages(), 0u);
  BuildAndDropTree(50000);
  const size_t cached = GetThreadCachedPages();
  EXPECT_GT(cached, 100u);
  const PageStoreStats before = GetPageStoreStats();
  BuildAndDropTree(50000);
  const PageStoreStats after = GetPageStoreStats();
  EXPECT_EQ(after.pages_in_use, before.pages_in_use) << "no page came from the store";
  EXPECT_EQ(after.regions_reserved_total, before.regions_reserved_total);
  EXPECT_EQ(GetThreadCachedPages(), cached);
  ReleaseFreePageStoreRegions();
  EXPECT_EQ(GetThreadCachedPages(), 0u);
  EXPECT_LT(GetPageStoreStats().pages_in_use, before.pages_in_use);
}

TEST(PageCacheTest, PagesNobodyTakesDrainBackToTheStore) {
  ReleaseFreePageStoreRegions();
  BuildAndDropTree(50000);
  size_t cached = GetThreadCachedPages();
  ASSERT_GT(cached, 100u);
  // Each small tree dropped sends back half of what the cache held unused.
  for (int round = 0; round < 3; ++round) {
    BuildAndDropTree(10);
    EXPECT_EQ(GetThreadCachedPages(), cached / 2) << "round " << round;
    cached = GetThreadCachedPages();
  }
  for (int round = 0; round < 20; ++round) BuildAndDropTree(10);
  EXPECT_EQ(GetThreadCachedPages(), 0u);
}

TEST(PageCacheTest, HoldsAtMostItsLimit) {
  ReleaseFreePageStoreRegions();
  // About 2,100 pages of elements (168 a page), more than the cache takes.
  BuildAndDropTree(static_cast<int>(kPoolThreadCachePages * 168 + 20000));
  EXPECT_EQ(GetThreadCachedPages(), kPoolThreadCachePages);
  ReleaseFreePageStoreRegions();
}

TEST(PageCacheTest, PlainPoolsBypassIt) {
  ReleaseFreePageStoreRegions();
  {
    ValuePool pool;
    for (int i = 0; i < 5000; ++i) pool.Allocate(24);
    pool.Reset();
  }
  EXPECT_EQ(GetThreadCachedPages(), 0u);
}

TEST(PageCacheTest, AThreadsCacheEmptiesWhenItExits) {
  ReleaseFreePageStoreRegions();
  const size_t base_pages = GetPageStoreStats().pages_in_use;
  size_t cached_on_thread = 0;
  std::thread worker([&cached_on_thread] {
    BuildAndDropTree(50000);
    cached_on_thread = GetThreadCachedPages();
  });
  worker.join();
  EXPECT_GT(cached_on_thread, 100u);
  EXPECT_EQ(GetPageStoreStats().pages_in_use, base_pages);
}

#if defined(POOL_TEST_ASAN)
// Regression: a region whose pages were all taken was on no list of the store, so the record
// of the region was reachable only through the headers of its pages, in mapped memory that leak
// checkers do not scan. With the pages parked in the thread's cache between two requests, a
// leak check (as a fuzzer runs after every input) reported the record as lost.
TEST(PageCacheTest, RegionsWithEveryPageTakenStayReachable) {
  ReleaseFreePageStoreRegions();
  BuildAndDropTree(50000);
  ASSERT_GT(GetThreadCachedPages(), kPoolPagesPerRegion);
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
  ReleaseFreePageStoreRegions();
}

TEST(ValuePoolDeathTest, FreedSlotIsPoisoned) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ValuePool pool;
  auto* slot = static_cast<volatile uint64_t*>(pool.Allocate(8));
  *slot = 1;
  pool.Free(const_cast<uint64_t*>(slot), 8);
  EXPECT_DEATH(static_cast<void>(*slot), "use-after-poison");
}

TEST(ValuePoolDeathTest, ElementUsedAfterItsTreeWasClearedIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BindingValue tree;
  for (int i = 0; i < 100; ++i) tree.Element(i).SetSigned(i);
  BindingValue& element = tree.Element(50);
  tree.Clear();
  EXPECT_DEATH(static_cast<void>(element.GetSigned()), "use-after-poison");
}
#endif

}  // namespace
}  // namespace sdk::binding::detail
