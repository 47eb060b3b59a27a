#include "sdk/host/plugin_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace sdk::host {
namespace {

// Counter changes between two snapshots.
struct Delta {
  int64_t bytes_allocated, allocations, bytes_freed, frees;
};
Delta Between(const PluginMemoryCounters& a, const PluginMemoryCounters& b) {
  return {static_cast<int64_t>(b.bytes_allocated - a.bytes_allocated),
          static_cast<int64_t>(b.allocations - a.allocations),
          static_cast<int64_t>(b.bytes_freed - a.bytes_freed),
          static_cast<int64_t>(b.frees - a.frees)};
}

TEST(PluginMemoryTest, AllocateAndFreeAreCounted) {
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  void* block = PluginAllocate(100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(PluginBlockSize(block), 100u);
  std::memset(block, 0xAB, 100);  // the whole requested size is usable
  const PluginMemoryCounters middle = GetPluginMemoryCounters();
  Delta d = Between(before, middle);
  EXPECT_EQ(d.bytes_allocated, 100);
  EXPECT_EQ(d.allocations, 1);
  EXPECT_EQ(d.bytes_freed, 0);
  EXPECT_EQ(d.frees, 0);
  PluginFree(block);
  d = Between(before, GetPluginMemoryCounters());
  EXPECT_EQ(d.bytes_freed, 100);
  EXPECT_EQ(d.frees, 1);
}

TEST(PluginMemoryTest, PeaksFollowBytesInUseAndLiveBlocks) {
  const PluginMemoryCounters start = GetPluginMemoryCounters();
  const uint64_t in_use = start.bytes_allocated - start.bytes_freed;
  const uint64_t live = start.allocations - start.frees;
  // Push both peaks clearly above anything this test binary held before.
  const size_t big = static_cast<size_t>(start.peak_bytes_in_use) + 4096;
  void* a = PluginAllocate(big);
  std::vector<void*> small;
  for (uint64_t i = 0; i < start.peak_live_allocations + 2; ++i) small.push_back(PluginAllocate(1));
  const PluginMemoryCounters peak = GetPluginMemoryCounters();
  EXPECT_EQ(peak.peak_bytes_in_use, in_use + big + small.size());
  EXPECT_EQ(peak.peak_live_allocations, live + 1 + small.size());
  PluginFree(a);
  for (void* block : small) PluginFree(block);
  const PluginMemoryCounters end = GetPluginMemoryCounters();
  // Freeing lowers what is in use but never a peak.
  EXPECT_EQ(end.peak_bytes_in_use, peak.peak_bytes_in_use);
  EXPECT_EQ(end.peak_live_allocations, peak.peak_live_allocations);
  EXPECT_EQ(end.bytes_allocated - end.bytes_freed, in_use);
  EXPECT_EQ(end.allocations - end.frees, live);
}

TEST(PluginMemoryTest, ReallocateKeepsContentAndCountsBothSides) {
  char* block = static_cast<char*>(PluginAllocate(4));
  std::memcpy(block, "abcd", 4);
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  block = static_cast<char*>(PluginReallocate(block, 1000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::memcmp(block, "abcd", 4), 0);
  EXPECT_EQ(PluginBlockSize(block), 1000u);
  const Delta d = Between(before, GetPluginMemoryCounters());
  EXPECT_EQ(d.bytes_allocated, 1000);
  EXPECT_EQ(d.bytes_freed, 4);
  EXPECT_EQ(d.allocations, 1);
  EXPECT_EQ(d.frees, 1);
  PluginFree(block);

  // A null block allocates.
  void* fresh = PluginReallocate(nullptr, 8);
  EXPECT_EQ(PluginBlockSize(fresh), 8u);
  PluginFree(fresh);
}

TEST(PluginMemoryTest, ImpossibleSizesFailWithoutCounting) {
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  EXPECT_EQ(PluginAllocate(SIZE_MAX), nullptr);
  void* block = PluginAllocate(1);
  EXPECT_EQ(PluginReallocate(block, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(PluginBlockSize(block), 1u);  // the old block is untouched
  PluginFree(block);
  const Delta d = Between(before, GetPluginMemoryCounters());
  EXPECT_EQ(d.allocations, 1);
  EXPECT_EQ(d.frees, 1);
}

TEST(PluginMemoryTest, AlignedBlocksAreAlignedCountedAndFreedLikeOthers) {
  struct Case {
    size_t size, alignment;
  };
  const Case cases[] = {{1, 1}, {10, 8}, {24, 16}, {100, 64}, {0, 256}, {5000, 4096}};
  for (const Case& c : cases) {
    const PluginMemoryCounters before = GetPluginMemoryCounters();
    void* block = PluginAllocateAligned(c.size, c.alignment);
    ASSERT_NE(block, nullptr) << "alignment " << c.alignment;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % c.alignment, 0u) << "alignment " << c.alignment;
    EXPECT_EQ(PluginBlockSize(block), c.size);
    if (c.size > 0) std::memset(block, 0xCD, c.size);
    // Resizing moves the bytes into an ordinary block.
    void* moved = PluginReallocate(block, c.size + 3);
    ASSERT_NE(moved, nullptr);
    if (c.size > 0) {
      EXPECT_EQ(static_cast<unsigned char*>(moved)[c.size - 1], 0xCD);
    }
    PluginFree(moved);
    const Delta d = Between(before, GetPluginMemoryCounters());
    EXPECT_EQ(d.allocations, 2) << "alignment " << c.alignment;
    EXPECT_EQ(d.frees, 2);
    EXPECT_EQ(d.bytes_allocated, static_cast<int64_t>(2 * c.size + 3));
    EXPECT_EQ(d.bytes_freed, d.bytes_allocated);
  }
  // Not a power of two, or too large: refused without counting.
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  EXPECT_EQ(PluginAllocateAligned(8, 0), nullptr);
  EXPECT_EQ(PluginAllocateAligned(8, 48), nullptr);
  EXPECT_EQ(PluginAllocateAligned(SIZE_MAX - 8, 64), nullptr);
  EXPECT_EQ(Between(before, GetPluginMemoryCounters()).allocations, 0);
}

TEST(PluginMemoryTest, DuplicateText) {
  char* copy = PluginDuplicateText(std::string_view("a\0b", 3));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, "a\0b\0", 4), 0);
  EXPECT_EQ(PluginBlockSize(copy), 4u);
  PluginFree(copy);

  copy = PluginDuplicateText("hello");
  EXPECT_STREQ(copy, "hello");
  PluginFree(copy);

  copy = PluginDuplicateText(std::string_view());
  EXPECT_STREQ(copy, "");
  PluginFree(copy);

  EXPECT_EQ(PluginDuplicateText(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(PluginBlockSize(nullptr), 0u);
  PluginFree(nullptr);
}

TEST(PluginMemoryTest, CountersStayExactUnderConcurrentUse) {
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; ++i) {
        void* block = PluginAllocate(16);
        block = PluginReallocate(block, 32);
        PluginFree(block);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const Delta d = Between(before, GetPluginMemoryCounters());
  EXPECT_EQ(d.allocations, 2 * kThreads * kRounds);
  EXPECT_EQ(d.frees, 2 * kThreads * kRounds);
  EXPECT_EQ(d.bytes_allocated, 48 * kThreads * kRounds);
  EXPECT_EQ(d.bytes_freed, 48 * kThreads * kRounds);
}

}  // namespace
}  // namespace sdk::host
