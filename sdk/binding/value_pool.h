// The small-object pool behind value trees and the process-wide page store behind the pools.
//
// Every tree context owns one ValuePool. Requests are rounded up to a multiple of 4 bytes and
// served from 18 size classes of 4 to 72 bytes, and from three block classes of 128, 256 and
// 512 bytes that hold the item arrays of containers and the bucket arrays of the intern table.
// A class hands out slots from 4096-byte pages; the free slots of a page form a list linked by
// 16-bit slot indices and each page counts its slots in use. The first page of each small class
// is a 128-byte area inside the pool itself, so a small tree never reaches the page store.
// Larger requests go to the general heap, one block per request (geometric growth of arrays
// keeps those rare).
//
// Further pages come from the PageStore, shared by all threads under one mutex. The store
// reserves regions of 16 pages from the operating system (mmap) and gives a region back once
// all its pages are free again. Two small hysteresis rules keep alternating allocate/free
// patterns from reaching the mutex or the operating system every time: each class keeps at
// most one empty page in reserve, and the store keeps at most one fully free region.
//
// With AddressSanitizer, free slots and free pages are poisoned, so that a use of a value's
// heap part after it was released is reported like a use of freed heap memory.
#ifndef SDK_BINDING_VALUE_POOL_H_
#define SDK_BINDING_VALUE_POOL_H_

#include <cstddef>
#include <cstdint>

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

// Releases to the operating system the fully free region the store keeps in reserve, if any.
void ReleaseFreePageStoreRegions();

namespace detail {

inline constexpr size_t kPoolPageSize = 4096;
inline constexpr size_t kPoolPagesPerRegion = 16;
inline constexpr size_t kPoolSmallClassCount = 18;  // 4, 8, ..., 72 bytes
inline constexpr size_t kPoolMaxSmallSize = 72;
inline constexpr size_t kPoolBlockClassCount = 3;  // 128, 256, 512 bytes
inline constexpr size_t kPoolMaxPooledSize = 512;
inline constexpr size_t kPoolInRecordAreaSize = 128;

// Counters of one pool.
struct PoolStats {
  size_t live_slots = 0;   // slots handed out and not yet freed
  size_t store_pages = 0;  // pages held from the page store, the reserve pages included
  size_t heap_blocks = 0;  // live blocks larger than kPoolMaxPooledSize
};

class ValuePool {
 public:
  ValuePool();
  ~ValuePool();  // returns every page to the store; slots still live are lost with them
  ValuePool(const ValuePool&) = delete;
  ValuePool& operator=(const ValuePool&) = delete;

  // A slot of at least `size` bytes (size > 0), aligned to 8 bytes when `size` is a multiple
  // of 8 and to 4 bytes otherwise. Sizes above kPoolMaxPooledSize come from the general heap
  // and give null when memory is exhausted; pooled sizes never give null (the process ends
  // when the operating system refuses a region).
  void* Allocate(size_t size);
  // Returns a slot; `size` is the size it was allocated with.
  void Free(void* slot, size_t size);
  // Frees every slot at once, in time proportional to the pages held: each class keeps one
  // empty page in reserve and the others go back to the store. Heap blocks must have been
  // freed before (they are not tracked).
  void Reset();

  PoolStats Stats() const;
  size_t heap_blocks() const { return heap_blocks_; }

 private:
  struct PageHeader {
    void* region;              // owning region of a store page; null for the built-in page
    PageHeader* prev_partial;  // pages of the class that have free slots
    PageHeader* next_partial;
    PageHeader* prev_page;  // all store pages of the class
    PageHeader* next_page;
    unsigned char* slots;
    uint16_t free_head;  // index of the first free slot, or kNoSlot
    uint16_t used;       // slots in use
    uint16_t bump;       // slots below this index have been handed out at least once
    uint16_t capacity;   // slots in the page
  };
  struct SizeClass {
    PageHeader* partial;   // head of the list of pages with free slots
    PageHeader* pages;     // head of the list of store pages
    PageHeader* reserve;   // one empty store page kept back, or null
    uint32_t store_pages;  // store pages held, the reserve included
  };
  static constexpr size_t kClassCount = kPoolSmallClassCount + kPoolBlockClassCount;

  static size_t ClassIndex(size_t size);
  PageHeader* AddPage(size_t class_index);
  void PageEmptied(SizeClass& size_class, PageHeader* page);

  // Everything a fresh pool needs is zero, so creating one costs little more than its memory;
  // the built-in pages are set up on first use.
  SizeClass classes_[kClassCount] = {};
  uint32_t first_pages_started_ = 0;  // bit i: first_pages_[i] is set up
  size_t live_slots_ = 0;
  size_t heap_blocks_ = 0;
  PageHeader first_pages_[kPoolSmallClassCount];
  alignas(16) unsigned char areas_[kPoolSmallClassCount][kPoolInRecordAreaSize];
};

}  // namespace detail
}  // namespace sdk::binding

#endif  // SDK_BINDING_VALUE_POOL_H_
