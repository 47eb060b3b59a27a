// Counting allocation functions: a size header in front of each malloc'ed block and six atomic
// counters. See plugin_memory.h.
//
// The header sits right before the caller's part and also records where the malloc'ed block
// begins, which is the header itself for an ordinary block and an earlier address for an
// aligned one; so PluginFree releases both kinds alike.
#include "sdk/host/plugin_memory.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sdk::host {
namespace {

// The header keeps the block's requested size. It is as large as the strictest scalar
// alignment, so the caller's part of the block keeps malloc's alignment.
struct alignas(alignof(std::max_align_t)) BlockHeader {
  size_t size;
  void* base;  // what malloc returned
};
constexpr size_t kHeaderSize = sizeof(BlockHeader);
constexpr size_t kLargestRequest = SIZE_MAX - kHeaderSize;
static_assert(kHeaderSize == alignof(std::max_align_t));

struct Counters {
  std::atomic<uint64_t> peak_bytes_in_use{0};
  std::atomic<uint64_t> peak_live_allocations{0};
  std::atomic<uint64_t> bytes_allocated{0};
  std::atomic<uint64_t> allocations{0};
  std::atomic<uint64_t> bytes_freed{0};
  std::atomic<uint64_t> frees{0};
  // Kept beside the totals so that the peaks follow from one atomic step each.
  std::atomic<uint64_t> bytes_in_use{0};
  std::atomic<uint64_t> live_allocations{0};
};

// Constant-initialised, so that allocations made by static initialisers are counted too.
constinit Counters g_counters;

void RaiseTo(std::atomic<uint64_t>& peak, uint64_t value) {
  uint64_t seen = peak.load(std::memory_order_relaxed);
  while (seen < value && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void CountAllocation(size_t size) {
  g_counters.bytes_allocated.fetch_add(size, std::memory_order_relaxed);
  g_counters.allocations.fetch_add(1, std::memory_order_relaxed);
  const uint64_t in_use = g_counters.bytes_in_use.fetch_add(size, std::memory_order_relaxed) + size;
  const uint64_t live = g_counters.live_allocations.fetch_add(1, std::memory_order_relaxed) + 1;
  RaiseTo(g_counters.peak_bytes_in_use, in_use);
  RaiseTo(g_counters.peak_live_allocations, live);
}

void CountFree(size_t size) {
  g_counters.bytes_freed.fetch_add(size, std::memory_order_relaxed);
  g_counters.frees.fetch_add(1, std::memory_order_relaxed);
  g_counters.bytes_in_use.fetch_sub(size, std::memory_order_relaxed);
  g_counters.live_allocations.fetch_sub(1, std::memory_order_relaxed);
}

BlockHeader* HeaderOf(const void* block) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(const_cast<void*>(block)) - kHeaderSize);
}

void* BlockOf(BlockHeader* header) { return reinterpret_cast<char*>(header) + kHeaderSize; }

}  // namespace

void* PluginAllocate(size_t size) {
  if (size > kLargestRequest) {
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(std::malloc(kHeaderSize + size));
  if (header == nullptr) {
    return nullptr;
  }
  header->size = size;
  header->base = header;
  CountAllocation(size);
  return BlockOf(header);
}

void* PluginAllocateAligned(size_t size, size_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    return nullptr;
  }
  if (alignment <= kHeaderSize) {
    return PluginAllocate(size);
  }
  // Room for the header and for moving the caller's part up to the next multiple.
  if (size > kLargestRequest - alignment) {
    return nullptr;
  }
  void* const base = std::malloc(kHeaderSize + alignment + size);
  if (base == nullptr) {
    return nullptr;
  }
  const uintptr_t first = reinterpret_cast<uintptr_t>(base) + kHeaderSize;
  const uintptr_t aligned = (first + alignment - 1) & ~(static_cast<uintptr_t>(alignment) - 1);
  auto* const header = reinterpret_cast<BlockHeader*>(aligned - kHeaderSize);
  header->size = size;
  header->base = base;
  CountAllocation(size);
  return BlockOf(header);
}

void PluginFree(void* block) {
  if (block == nullptr) {
    return;
  }
  BlockHeader* header = HeaderOf(block);
  CountFree(header->size);
  std::free(header->base);
}

void* PluginReallocate(void* block, size_t size) {
  if (block == nullptr) {
    return PluginAllocate(size);
  }
  if (size > kLargestRequest) {
    return nullptr;
  }
  BlockHeader* old_header = HeaderOf(block);
  const size_t old_size = old_header->size;
  if (old_header->base != old_header) {
    // An aligned block: a new ordinary block takes its bytes.
    void* const moved = PluginAllocate(size);
    if (moved == nullptr) {
      return nullptr;
    }
    std::memcpy(moved, block, old_size < size ? old_size : size);
    PluginFree(block);
    return moved;
  }
  auto* header = static_cast<BlockHeader*>(std::realloc(old_header, kHeaderSize + size));
  if (header == nullptr) {
    return nullptr;
  }
  header->size = size;
  header->base = header;
  CountFree(old_size);
  CountAllocation(size);
  return BlockOf(header);
}

char* PluginDuplicateText(std::string_view text) {
  if (text.size() == kLargestRequest) {
    return nullptr;  // no room for the NUL
  }
  auto* copy = static_cast<char*>(PluginAllocate(text.size() + 1));
  if (copy == nullptr) {
    return nullptr;
  }
  if (!text.empty()) {
    std::memcpy(copy, text.data(), text.size());
  }
  copy[text.size()] = '\0';
  return copy;
}

char* PluginDuplicateText(const char* text) {
  return text == nullptr ? nullptr : PluginDuplicateText(std::string_view(text));
}

size_t PluginBlockSize(const void* block) { return block == nullptr ? 0 : HeaderOf(block)->size; }

PluginMemoryCounters GetPluginMemoryCounters() {
  PluginMemoryCounters snapshot;
  snapshot.peak_bytes_in_use = g_counters.peak_bytes_in_use.load(std::memory_order_relaxed);
  snapshot.peak_live_allocations = g_counters.peak_live_allocations.load(std::memory_order_relaxed);
  snapshot.bytes_allocated = g_counters.bytes_allocated.load(std::memory_order_relaxed);
  snapshot.allocations = g_counters.allocations.load(std::memory_order_relaxed);
  snapshot.bytes_freed = g_counters.bytes_freed.load(std::memory_order_relaxed);
  snapshot.frees = g_counters.frees.load(std::memory_order_relaxed);
  return snapshot;
}

}  // namespace sdk::host
