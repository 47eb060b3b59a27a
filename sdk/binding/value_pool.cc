// The small-object pool of value trees and the process-wide page store (see value_pool.h).
//
// Pages of the store are 4096-byte aligned, so the page of a slot is found by masking its
// address; only the built-in first page of a class, which lives inside the pool, is found by a
// range check. Everything a pool does is unlocked; only the store's mutex is shared.
//
// The store maps regions from the operating system in batches that grow with the number of
// pages in use (a large tree then costs a few mappings, not one per 16 pages, and a batch's
// pages are committed up front instead of one page fault at a time), and releases the regions
// that a returned batch of pages frees with one unmapping per run of adjacent regions.
#include "sdk/binding/value_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace sdk::binding {
namespace {

using detail::PoolPage;

constexpr size_t kPageHeaderSize = 64;
constexpr size_t kRegionSize = detail::kPoolPageSize * detail::kPoolPagesPerRegion;
constexpr uint16_t kAllPagesFree = 0xFFFF;
// Regions mapped at once: one for a process that uses few pages, up to this many when a
// quarter of the pages in use would fill them.
constexpr size_t kMaxRegionsPerMapping = 16;
static_assert(detail::kPoolPagesPerRegion == 16, "the free-page mask holds 16 bits");
static_assert(sizeof(PoolPage) <= kPageHeaderSize);

// The operating-system side of the store: reserve and release committed, zero-filled,
// page-aligned memory. `populate` commits every page at once (a batch about to be used)
// instead of at its first touch. A refused reservation ends the process, like a failed
// allocation that nothing can report.
void* ReserveSystemMemory(size_t size, bool populate) {
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
  if (memory == MAP_FAILED) {
    std::fputs("value pool: the operating system refused a memory region\n", stderr);
    std::abort();
  }
  return memory;
}

void ReleaseSystemMemory(void* memory, size_t size) { munmap(memory, size); }

struct Region {
  Region* prev;
  Region* next;
  unsigned char* base;
  uint16_t free_mask;  // bit i set: page i is free
  uint8_t free_count;
};

class PageStore {
 public:
  // A page whose first kPageHeaderSize bytes are addressable; its region is stored in the
  // page's header.
  PoolPage* TakePage() {
    std::lock_guard<std::mutex> lock(mutex_);
    Region* region = partial_;
    if (region == nullptr) {
      if (free_ == nullptr) MapRegions();
      region = free_;
      Unlink(&free_, region);
      --free_regions_;
      Link(&partial_, region);
    }
    const int index = __builtin_ctz(region->free_mask);
    region->free_mask = static_cast<uint16_t>(region->free_mask & ~(1u << index));
    if (--region->free_count == 0) {
      Unlink(&partial_, region);
      Link(&full_, region);
    }
    ++pages_in_use_;
    --pages_free_;
    unsigned char* page = region->base + static_cast<size_t>(index) * detail::kPoolPageSize;
    SDK_BINDING_POOL_UNPOISON(page, kPageHeaderSize);
    auto* header = reinterpret_cast<PoolPage*>(page);
    header->region = region;
    return header;
  }

  // Takes back a list of pages linked through next_partial. Regions left fully free go back
  // to the operating system, all but one.
  void ReturnPages(PoolPage* pages) {
    std::vector<Region*> released;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (pages != nullptr) {
        PoolPage* next = pages->next_partial;
        Return(pages);
        pages = next;
      }
      while (free_regions_ > 1) released.push_back(Detach(free_));
    }
    Unmap(released);
  }

  void ReleaseFree() {
    std::vector<Region*> released;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (free_ != nullptr) released.push_back(Detach(free_));
    }
    Unmap(released);
  }

  PageStoreStats Stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    PageStoreStats stats;
    stats.regions_mapped = regions_mapped_;
    stats.pages_in_use = pages_in_use_;
    stats.pages_free = pages_free_;
    stats.regions_reserved_total = regions_reserved_total_;
    stats.regions_released_total = regions_released_total_;
    return stats;
  }

 private:
  void Return(PoolPage* page_header) {
    auto* region = static_cast<Region*>(page_header->region);
    auto* page = reinterpret_cast<unsigned char*>(page_header);
    SDK_BINDING_POOL_POISON(page, detail::kPoolPageSize);
    const size_t index = static_cast<size_t>(page - region->base) / detail::kPoolPageSize;
    region->free_mask = static_cast<uint16_t>(region->free_mask | (1u << index));
    ++region->free_count;
    --pages_in_use_;
    ++pages_free_;
    if (region->free_count == 1) {  // it was full
      Unlink(&full_, region);
      Link(&partial_, region);
    }
    if (region->free_count == detail::kPoolPagesPerRegion) {
      Unlink(&partial_, region);
      Link(&free_, region);
      ++free_regions_;
    }
  }

  // Maps a batch of fully free regions onto the free list.
  void MapRegions() {
    const size_t count = std::clamp<size_t>(pages_in_use_ / (4 * detail::kPoolPagesPerRegion), 1,
                                            kMaxRegionsPerMapping);
    auto* base = static_cast<unsigned char*>(ReserveSystemMemory(count * kRegionSize, count > 1));
    SDK_BINDING_POOL_POISON(base, count * kRegionSize);
    for (size_t i = 0; i < count; ++i) {
      auto* region = new Region{nullptr, nullptr, base + i * kRegionSize, kAllPagesFree,
                                static_cast<uint8_t>(detail::kPoolPagesPerRegion)};
      Link(&free_, region);
    }
    free_regions_ += count;
    regions_mapped_ += count;
    regions_reserved_total_ += count;
    pages_free_ += count * detail::kPoolPagesPerRegion;
  }

  // Takes a fully free region off the free list and out of the counters; the caller unmaps it.
  Region* Detach(Region* region) {
    Unlink(&free_, region);
    --free_regions_;
    pages_free_ -= detail::kPoolPagesPerRegion;
    --regions_mapped_;
    ++regions_released_total_;
    return region;
  }

  // Unmaps detached regions, one call per run of adjacent addresses.
  static void Unmap(std::vector<Region*>& regions) {
    std::sort(regions.begin(), regions.end(),
              [](const Region* a, const Region* b) { return a->base < b->base; });
    size_t i = 0;
    while (i < regions.size()) {
      size_t end = i + 1;
      while (end < regions.size() && regions[end]->base == regions[end - 1]->base + kRegionSize) {
        ++end;
      }
      const size_t size = (end - i) * kRegionSize;
      // Shadow memory must not stay poisoned for whoever maps these addresses next.
      SDK_BINDING_POOL_UNPOISON(regions[i]->base, size);
      ReleaseSystemMemory(regions[i]->base, size);
      for (; i < end; ++i) delete regions[i];
    }
  }

  static void Link(Region** list, Region* region) {
    region->prev = nullptr;
    region->next = *list;
    if (*list != nullptr) (*list)->prev = region;
    *list = region;
  }

  static void Unlink(Region** list, Region* region) {
    if (region->prev != nullptr) {
      region->prev->next = region->next;
    } else {
      *list = region->next;
    }
    if (region->next != nullptr) region->next->prev = region->prev;
    region->prev = region->next = nullptr;
  }

  std::mutex mutex_;
  // Every region is on one of the three lists, so that its record stays reachable from here:
  // the headers of its pages point to it too, but they lie in mapped memory, which leak
  // checkers do not scan.
  Region* full_ = nullptr;     // regions with no page free
  Region* partial_ = nullptr;  // regions with some, but not all, pages free
  Region* free_ = nullptr;     // regions with all pages free: at most one once pages come back
  size_t free_regions_ = 0;
  size_t regions_mapped_ = 0;
  size_t pages_in_use_ = 0;
  size_t pages_free_ = 0;
  uint64_t regions_reserved_total_ = 0;
  uint64_t regions_released_total_ = 0;
};

// Never destroyed: values in static objects may release their pages during exit.
PageStore& Store() {
  static PageStore* store = new PageStore();
  return *store;
}

// The page cache of one thread (see value_pool.h). Plain data with constant initialization, so
// that it stays usable while the thread's other objects are destroyed; CacheCloser empties it
// when the thread exits, and from then on pages go straight to the store.
struct ThreadPageCache {
  PoolPage* pages;  // linked through next_partial
  size_t count;
  size_t unused;  // pages in the cache that no pool took since the last hand-in
  bool open;
  bool closed;
};
constinit thread_local ThreadPageCache t_page_cache = {nullptr, 0, 0, false, false};

// Detaches up to `count` pages from the cache and returns them as a list.
PoolPage* TakeFromCache(size_t count) {
  PoolPage* taken = nullptr;
  for (; count != 0 && t_page_cache.pages != nullptr; --count) {
    PoolPage* page = t_page_cache.pages;
    t_page_cache.pages = page->next_partial;
    --t_page_cache.count;
    page->next_partial = taken;
    taken = page;
  }
  if (t_page_cache.unused > t_page_cache.count) t_page_cache.unused = t_page_cache.count;
  return taken;
}

struct CacheCloser {
  ~CacheCloser() {
    t_page_cache.closed = true;
    if (PoolPage* pages = TakeFromCache(t_page_cache.count)) Store().ReturnPages(pages);
  }
};
thread_local CacheCloser t_cache_closer;

PoolPage* TakeCachedPage() {
  if (t_page_cache.pages == nullptr) return nullptr;
  PoolPage* page = TakeFromCache(1);
  page->next_partial = nullptr;
  return page;
}

// Keeps the pages (a list, perhaps empty) that a tree dropped for the thread's next trees; what
// exceeds the limit, and half of the pages nobody took since the last hand-in, go back to the
// store. Every tree that is dropped hands in, so that a cache nobody draws from drains.
void CachePages(PoolPage* pages) {
  if (t_page_cache.closed) {
    if (pages != nullptr) Store().ReturnPages(pages);
    return;
  }
  if (pages == nullptr && t_page_cache.count == 0) return;
  if (!t_page_cache.open) {
    static_cast<void>(&t_cache_closer);  // constructs it, so that it runs at thread exit
    t_page_cache.open = true;
  }
  PoolPage* released = TakeFromCache((t_page_cache.unused + 1) / 2);
  while (pages != nullptr) {
    PoolPage* next = pages->next_partial;
    if (t_page_cache.count < detail::kPoolThreadCachePages) {
      SDK_BINDING_POOL_POISON(reinterpret_cast<unsigned char*>(pages) + kPageHeaderSize,
                              detail::kPoolPageSize - kPageHeaderSize);
      pages->next_partial = t_page_cache.pages;
      t_page_cache.pages = pages;
      ++t_page_cache.count;
    } else {
      pages->next_partial = released;
      released = pages;
    }
    pages = next;
  }
  t_page_cache.unused = t_page_cache.count;
  if (released != nullptr) Store().ReturnPages(released);
}

}  // namespace

PageStoreStats GetPageStoreStats() { return Store().Stats(); }

size_t GetThreadCachedPages() { return t_page_cache.count; }

void ReleaseFreePageStoreRegions() {
  if (PoolPage* pages = TakeFromCache(t_page_cache.count)) Store().ReturnPages(pages);
  Store().ReleaseFree();
}

namespace detail {

static_assert(kPoolMaxSmallSize == 4 * kPoolSmallClassCount);

namespace {

constexpr size_t kClasses = kPoolSmallClassCount + kPoolBlockClassCount;

constexpr uint32_t SlotSizeOfClass(size_t index) {
  return index < kPoolSmallClassCount ? static_cast<uint32_t>(4 * (index + 1))
                                      : uint32_t{128} << (index - kPoolSmallClassCount);
}

// Per class: the slot size, ceil(2^32 / slot size) (a slot's offset in its page times this,
// shifted down by 32, is its index: offsets are below 2^12, so the rounding error never
// reaches the next integer, and a free needs no division), and the slots of a built-in page
// and of a store page.
struct ClassTable {
  uint16_t slot_size[kClasses];
  uint32_t reciprocal[kClasses];
  uint16_t in_record_slots[kClasses];
  uint16_t store_page_slots[kClasses];
};

constexpr ClassTable MakeClassTable() {
  ClassTable table{};
  for (size_t i = 0; i < kClasses; ++i) {
    const uint32_t size = SlotSizeOfClass(i);
    table.slot_size[i] = static_cast<uint16_t>(size);
    table.reciprocal[i] = static_cast<uint32_t>(((uint64_t{1} << 32) + size - 1) / size);
    table.in_record_slots[i] = static_cast<uint16_t>(kPoolInRecordAreaSize / size);
    table.store_page_slots[i] = static_cast<uint16_t>((kPoolPageSize - kPageHeaderSize) / size);
  }
  return table;
}

constexpr ClassTable kClassTable = MakeClassTable();
static_assert(kClassTable.slot_size[kClasses - 1] == kPoolMaxPooledSize);
static_assert(kClassTable.slot_size[kPoolSmallClassCount - 1] == kPoolMaxSmallSize);

void SetUpPage(PoolPage* page, size_t class_index, unsigned char* slots, bool in_record) {
  page->slots = slots;
  page->slot_size = kClassTable.slot_size[class_index];
  page->reciprocal = kClassTable.reciprocal[class_index];
  page->capacity = in_record ? kClassTable.in_record_slots[class_index]
                             : kClassTable.store_page_slots[class_index];
}

}  // namespace

ValuePool::ValuePool(bool thread_cache) : thread_cache_(thread_cache) {
  SDK_BINDING_POOL_POISON(areas_, sizeof areas_);
}

ValuePool::~ValuePool() {
  FreeHeapBlocks();
  PoolPage* returned = nullptr;
  for (SizeClass& size_class : classes_) {
    PoolPage* page = size_class.pages;
    while (page != nullptr) {
      PoolPage* next = page->next_page;
      page->next_partial = returned;
      returned = page;
      page = next;
    }
  }
  if (returned != nullptr) ReturnPages(returned);
  SDK_BINDING_POOL_UNPOISON(areas_, sizeof areas_);
}

void* ValuePool::AllocateSlow(size_t size) {
  if (size > kPoolMaxPooledSize) {
    void* memory = ::operator new(sizeof(HeapBlock) + size, std::nothrow);
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<HeapBlock*>(memory);
    block->prev = nullptr;
    block->next = heap_list_;
    if (heap_list_ != nullptr) heap_list_->prev = block;
    heap_list_ = block;
    ++heap_blocks_;
    return block + 1;
  }
  const size_t class_index = ClassIndex(size);
  SizeClass& size_class = classes_[class_index];
  // A page that filled up stays listed until an allocation finds it at the head; the full
  // pages found there leave the list now.
  PoolPage* page = size_class.partial;
  while (page != nullptr && page->used == page->capacity) {
    Unlist(size_class, page);
    page = size_class.partial;
  }
  if (page == nullptr) page = AddPage(class_index);
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

void ValuePool::FreeSlow(void* slot_address, size_t size) {
  if (size > kPoolMaxPooledSize) {
    HeapBlock* block = static_cast<HeapBlock*>(slot_address) - 1;
    if (block->prev != nullptr) {
      block->prev->next = block->next;
    } else {
      heap_list_ = block->next;
    }
    if (block->next != nullptr) block->next->prev = block->prev;
    ::operator delete(block);
    --heap_blocks_;
    return;
  }
  const size_t class_index = ClassIndex(size);
  SizeClass& size_class = classes_[class_index];
  PoolPage* page = PageOf(slot_address, class_index);
  PushFree(page, static_cast<unsigned char*>(slot_address));
  if (!page->listed) List(size_class, page);  // it was full
  --page->used;
  --live_slots_;
  if (page->used == 0 && page->region != nullptr) PageEmptied(size_class, page);
}

void ValuePool::FreeHeapBlocks() {
  while (heap_list_ != nullptr) {
    HeapBlock* next = heap_list_->next;
    ::operator delete(heap_list_);
    heap_list_ = next;
  }
  heap_blocks_ = 0;
}

void ValuePool::Reset() {
  FreeHeapBlocks();
  PoolPage* returned = nullptr;
  uint32_t still_held = 0;
  for (uint32_t touched = touched_; touched != 0; touched &= touched - 1) {
    const auto i = static_cast<size_t>(__builtin_ctz(touched));
    SizeClass& size_class = classes_[i];
    PoolPage* kept = nullptr;
    for (PoolPage* page = size_class.pages; page != nullptr;) {
      PoolPage* next = page->next_page;
      if (kept == nullptr) {
        kept = page;
      } else {
        page->next_partial = returned;
        returned = page;
        --store_pages_;
      }
      page = next;
    }
    size_class = SizeClass{nullptr, kept, kept};
    // The pages kept go back on the list empty, the store page first (it has more room).
    const uint32_t bit = 1u << i;
    if ((first_pages_used_ & bit) != 0) {
      PoolPage& first = first_pages_[i];
      first.free_head = kPoolNoSlot;
      first.used = first.bump = 0;
      first.listed = false;
      List(size_class, &first);
      SDK_BINDING_POOL_POISON(areas_[i], kPoolInRecordAreaSize);
    }
    if (kept != nullptr) {
      SDK_BINDING_POOL_POISON(kept->slots, kPoolPageSize - kPageHeaderSize);
      kept->prev_page = kept->next_page = nullptr;
      kept->free_head = kPoolNoSlot;
      kept->used = kept->bump = 0;
      kept->listed = false;
      List(size_class, kept);
    }
    if (size_class.partial != nullptr) still_held |= bit;
  }
  touched_ = still_held;
  live_slots_ = 0;
  if (thread_cache_ || returned != nullptr) ReturnPages(returned);
}

void ValuePool::ReturnPages(PoolPage* pages) {
  if (thread_cache_) {
    CachePages(pages);
  } else {
    Store().ReturnPages(pages);
  }
}

PoolPage* ValuePool::AddPage(size_t class_index) {
  SizeClass& size_class = classes_[class_index];
  const uint32_t bit = 1u << class_index;
  touched_ |= bit;
  PoolPage* page;
  if (class_index < kPoolSmallClassCount && (first_pages_used_ & bit) == 0) {
    // The built-in page, set up on first use.
    first_pages_used_ |= bit;
    page = &first_pages_[class_index];
    page->region = nullptr;
    page->prev_page = page->next_page = nullptr;
    SetUpPage(page, class_index, areas_[class_index], true);
  } else {
    page = thread_cache_ ? TakeCachedPage() : nullptr;
    if (page == nullptr) page = Store().TakePage();
    SetUpPage(page, class_index, reinterpret_cast<unsigned char*>(page) + kPageHeaderSize, false);
    page->prev_page = nullptr;
    page->next_page = size_class.pages;
    if (size_class.pages != nullptr) size_class.pages->prev_page = page;
    size_class.pages = page;
    ++store_pages_;
  }
  page->free_head = kPoolNoSlot;
  page->used = 0;
  page->bump = 0;
  page->listed = false;
  List(size_class, page);
  return page;
}

void ValuePool::List(SizeClass& size_class, PoolPage* page) {
  page->listed = true;
  page->prev_partial = nullptr;
  page->next_partial = size_class.partial;
  if (size_class.partial != nullptr) size_class.partial->prev_partial = page;
  size_class.partial = page;
}

void ValuePool::Unlist(SizeClass& size_class, PoolPage* page) {
  if (page->prev_partial != nullptr) {
    page->prev_partial->next_partial = page->next_partial;
  } else {
    size_class.partial = page->next_partial;
  }
  if (page->next_partial != nullptr) page->next_partial->prev_partial = page->prev_partial;
  page->prev_partial = page->next_partial = nullptr;
  page->listed = false;
}

// A store page's last slot came back. The class keeps one empty store page (it stays on the
// list, ready for the next allocation); a second one goes back to the store.
void ValuePool::PageEmptied(SizeClass& size_class, PoolPage* page) {
  PoolPage* reserve = size_class.reserve;
  if (reserve == nullptr || reserve == page || reserve->used != 0) {
    size_class.reserve = page;
    return;
  }
  Unlist(size_class, page);
  if (page->prev_page != nullptr) {
    page->prev_page->next_page = page->next_page;
  } else {
    size_class.pages = page->next_page;
  }
  if (page->next_page != nullptr) page->next_page->prev_page = page->prev_page;
  --store_pages_;
  page->next_partial = nullptr;
  Store().ReturnPages(page);
}

}  // namespace detail
}  // namespace sdk::binding
