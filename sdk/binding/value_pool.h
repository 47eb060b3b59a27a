// The small-object pool behind value trees and the process-wide page store behind the pools.
//
// Every tree context owns one ValuePool. Requests are rounded up to a multiple of 4 bytes and
// served from 18 size classes of 4 to 72 bytes, and from three block classes of 128, 256 and
// 512 bytes that hold the item arrays of containers and the bucket arrays of the intern table.
// A class hands out slots from 4096-byte pages; the free slots of a page form a list linked by
// 16-bit slot indices and each page counts its slots in use. The first page of each small class
// is a 128-byte area inside the pool itself, so a small tree never reaches the page store.
// Larger requests go to the general heap, one block per request (geometric growth of arrays
// keeps those rare); the pool keeps them on a list so that Reset can drop them too.
//
// Allocate and Free are inline: taking a slot from a page that stays partly free, or giving one
// back to a page that stays in use, is a handful of instructions. Everything else (a page
// filling up or emptying, pages coming from or going to the store, heap blocks) takes the slow
// path in value_pool.cc.
//
// Further pages come from the PageStore, shared by all threads under one mutex. The store
// reserves regions of 16 pages from the operating system (mmap) and gives a region back once
// all its pages are free again. Two small hysteresis rules keep alternating allocate/free
// patterns from reaching the mutex or the operating system every time: each class keeps at
// most one empty page in reserve, and of the regions that pages coming back leave fully free
// the store keeps one. The store maps regions in batches that grow with the pages in use, and
// a pool that is dropped whole (Reset, destruction) hands its pages back in one batch, whose
// freed regions go back to the system with one call per run of adjacent addresses.
//
// The pools of value trees (not every pool: see the constructor) go through a per-thread page
// cache first. A thread that parses one large document after another then reuses the same
// pages instead of mapping, touching and unmapping them again for every document. The cache
// holds at most kPoolThreadCachePages pages, and pages that a thread's trees stop asking for
// drain back to the store: each time a tree is dropped (its pool reset), half of the pages that
// sat unused in the cache since the previous drop go back. A thread's cache empties when it
// exits.
//
// With AddressSanitizer, free slots and free pages are poisoned, so that a use of a value's
// heap part after it was released is reported like a use of freed heap memory.
#ifndef SDK_BINDING_VALUE_POOL_H_
#define SDK_BINDING_VALUE_POOL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define SDK_BINDING_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SDK_BINDING_POOL_ASAN 1
#endif
#endif

#if defined(SDK_BINDING_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#define SDK_BINDING_POOL_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define SDK_BINDING_POOL_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define SDK_BINDING_POOL_POISON(address, size) ((void)(address), (void)(size))
#define SDK_BINDING_POOL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace sdk::binding {

// Counters of the process-wide page store.
struct PageStoreStats {
  size_t regions_mapped = 0;  // regions currently reserved from the operating system
  size_t pages_in_use = 0;    // pages handed out to pools
  size_t pages_free = 0;      // pages of mapped regions not handed out
  uint64_t regions_reserved_total = 0;
  uint64_t regions_released_total = 0;
};

PageStoreStats GetPageStoreStats();

// Pages the calling thread's cache holds (counted as in use by the store).
size_t GetThreadCachedPages();

// Hands the pages that the calling thread's cache keeps back to the store, and releases to the
// operating system the fully free regions the store keeps, if any.
void ReleaseFreePageStoreRegions();

namespace detail {

inline constexpr size_t kPoolPageSize = 4096;
inline constexpr size_t kPoolPagesPerRegion = 16;
inline constexpr size_t kPoolSmallClassCount = 18;  // 4, 8, ..., 72 bytes
inline constexpr size_t kPoolMaxSmallSize = 72;
inline constexpr size_t kPoolBlockClassCount = 3;  // 128, 256, 512 bytes
inline constexpr size_t kPoolMaxPooledSize = 512;
inline constexpr size_t kPoolInRecordAreaSize = 128;
inline constexpr size_t kPoolThreadCachePages = 2048;  // 8 MiB

// Counters of one pool.
struct PoolStats {
  size_t live_slots = 0;   // slots handed out and not yet freed
  size_t store_pages = 0;  // pages held from the page store, the reserve pages included
  size_t heap_blocks = 0;  // live blocks larger than kPoolMaxPooledSize
};

// The head of a page: of a store page, its first 64 bytes; of a built-in page, a record inside
// the pool.
struct PoolPage {
  void* region;            // owning region of a store page; null for the built-in page
  PoolPage* prev_partial;  // pages of the class that have free slots
  PoolPage* next_partial;
  PoolPage* prev_page;  // all store pages of the class
  PoolPage* next_page;
  unsigned char* slots;
  uint32_t reciprocal;  // ceil(2^32 / slot_size): offset * reciprocal >> 32 is a slot index
  uint16_t slot_size;
  uint16_t free_head;  // index of the first free slot, or kPoolNoSlot
  uint16_t used;       // slots in use
  uint16_t bump;       // slots below this index have been handed out at least once
  uint16_t capacity;   // slots in the page
  bool listed;         // on the class's list of pages with free slots (the head may be full)
};
inline constexpr uint16_t kPoolNoSlot = 0xFFFF;

class ValuePool {
 public:
  // A pool that takes and returns its pages through the calling thread's page cache when
  // `thread_cache` is set, else straight from and to the store.
  explicit ValuePool(bool thread_cache = false);
  ~ValuePool();  // returns every page and frees the heap blocks
  ValuePool(const ValuePool&) = delete;
  ValuePool& operator=(const ValuePool&) = delete;

  // A slot of at least `size` bytes (size > 0), aligned to 8 bytes when `size` is a multiple
  // of 8 and to 4 bytes otherwise. Sizes above kPoolMaxPooledSize come from the general heap
  // and give null when memory is exhausted; pooled sizes never give null (the process ends
  // when the operating system refuses a region).
  void* Allocate(size_t size) {
    if (void* slot = TryAllocate(size)) return slot;
    return AllocateSlow(size);
  }

  // The fast path of Allocate alone: a slot, or null where Allocate would take its slow path
  // (which a caller then takes through Allocate). A caller whose own fast path makes no call
  // keeps its registers free of the slow path's needs this way.
  void* TryAllocate(size_t size) {
    if (size <= kPoolMaxPooledSize) {
      PoolPage* page = classes_[ClassIndex(size)].partial;
      // Fast path: the first listed page has a free slot. A page that fills up stays at the
      // head of the list until the next allocation of its class takes the slow path.
      if (page != nullptr && page->used < page->capacity) {
        unsigned char* slot;
        if (page->free_head != kPoolNoSlot) {
          slot = page->slots + size_t{page->free_head} * page->slot_size;
          SDK_BINDING_POOL_UNPOISON(slot, sizeof(uint16_t));
          std::memcpy(&page->free_head, slot, sizeof(uint16_t));
        } else {
          slot = page->slots + size_t{page->bump} * page->slot_size;
          ++page->bump;
        }
        ++page->used;
        ++live_slots_;
        SDK_BINDING_POOL_UNPOISON(slot, size);
        return slot;
      }
    }
    return nullptr;
  }

  // Returns a slot; `size` is the size it was allocated with.
  void Free(void* slot, size_t size) {
    if (size <= kPoolMaxPooledSize) {
      const size_t class_index = ClassIndex(size);
      PoolPage* page = PageOf(slot, class_index);
      // Fast path: the page neither was full nor becomes empty.
      if (page->used > 1 && page->used < page->capacity) {
        PushFree(page, static_cast<unsigned char*>(slot));
        --page->used;
        --live_slots_;
        return;
      }
    }
    FreeSlow(slot, size);
  }

  // Frees every slot and heap block at once, in time proportional to the classes in use and
  // their pages: each class keeps its built-in page and one store page, empty and ready for
  // the next allocation, and the other pages go back to the store in one batch.
  void Reset();

  PoolStats Stats() const { return {live_slots_, store_pages_, heap_blocks_}; }
  size_t live_slots() const { return live_slots_; }
  size_t heap_blocks() const { return heap_blocks_; }

 private:
  struct SizeClass {
    PoolPage* partial;  // head of the list of pages with free slots
    PoolPage* pages;    // head of the list of store pages
    PoolPage* reserve;  // the store page last kept empty, or null (stale once used again)
  };
  struct HeapBlock {
    HeapBlock* prev;
    HeapBlock* next;
  };
  static constexpr size_t kClassCount = kPoolSmallClassCount + kPoolBlockClassCount;

  static constexpr size_t ClassIndex(size_t size) {
    if (size <= kPoolMaxSmallSize) return size == 0 ? 0 : (size + 3) / 4 - 1;
    if (size <= 128) return kPoolSmallClassCount;
    if (size <= 256) return kPoolSmallClassCount + 1;
    return kPoolSmallClassCount + 2;
  }

  // Store pages are aligned to their size; only the built-in page of a small class lives
  // elsewhere, inside the pool.
  PoolPage* PageOf(void* slot, size_t class_index) {
    const auto address = reinterpret_cast<uintptr_t>(slot);
    if (class_index < kPoolSmallClassCount &&
        address - reinterpret_cast<uintptr_t>(areas_[class_index]) < kPoolInRecordAreaSize) {
      return &first_pages_[class_index];
    }
    return reinterpret_cast<PoolPage*>(address & ~static_cast<uintptr_t>(kPoolPageSize - 1));
  }

  static void PushFree(PoolPage* page, unsigned char* slot) {
    const auto index =
        static_cast<uint16_t>((static_cast<uint64_t>(slot - page->slots) * page->reciprocal) >> 32);
    SDK_BINDING_POOL_UNPOISON(slot, sizeof(uint16_t));  // a slot of 1 byte holds a 2-byte link
    std::memcpy(slot, &page->free_head, sizeof(uint16_t));
    page->free_head = index;
    SDK_BINDING_POOL_POISON(slot, page->slot_size);
  }

  void* AllocateSlow(size_t size);
  void FreeSlow(void* slot, size_t size);
  PoolPage* AddPage(size_t class_index);
  static void List(SizeClass& size_class, PoolPage* page);
  static void Unlist(SizeClass& size_class, PoolPage* page);
  void PageEmptied(SizeClass& size_class, PoolPage* page);
  void FreeHeapBlocks();
  void ReturnPages(PoolPage* pages);  // linked through next_partial

  // Everything a fresh pool needs is zero, so creating one costs little more than its memory;
  // the built-in pages are set up on first use.
  SizeClass classes_[kClassCount] = {};
  uint32_t touched_ = 0;           // bit i: class i holds pages (the ones Reset looks at)
  uint32_t first_pages_used_ = 0;  // bit i: first_pages_[i] is set up and in use
  size_t live_slots_ = 0;
  size_t store_pages_ = 0;
  size_t heap_blocks_ = 0;
  HeapBlock* heap_list_ = nullptr;
  bool thread_cache_;
  PoolPage first_pages_[kPoolSmallClassCount];
  alignas(16) unsigned char areas_[kPoolSmallClassCount][kPoolInRecordAreaSize];
};

}  // namespace detail
}  // namespace sdk::binding

#endif  // SDK_BINDING_VALUE_POOL_H_
