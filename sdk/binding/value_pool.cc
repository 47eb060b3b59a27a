// The small-object pool of value trees and the process-wide page store (see value_pool.h).
//
// Pages of the store are 4096-byte aligned, so the page of a slot is found by masking its
// address; only the built-in first page of a class, which lives inside the pool, is found by a
// range check. Everything a pool does is unlocked; only the store's mutex is shared.
#include "sdk/binding/value_pool.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define SDK_BINDING_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SDK_BINDING_POOL_ASAN 1
#endif
#endif

#if defined(SDK_BINDING_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define POOL_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define POOL_POISON(address, size) ((void)(address), (void)(size))
#define POOL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace sdk::binding {
namespace {

constexpr uint16_t kNoSlot = 0xFFFF;
constexpr size_t kPageHeaderSize = 64;
constexpr size_t kRegionSize = detail::kPoolPageSize * detail::kPoolPagesPerRegion;
constexpr uint16_t kAllPagesFree = 0xFFFF;
static_assert(detail::kPoolPagesPerRegion == 16, "the free-page mask holds 16 bits");

// The operating-system side of the store: reserve and release one region of committed,
// zero-filled, page-aligned memory. A refused reservation ends the process, like a failed
// allocation that nothing can report.
void* ReserveSystemRegion(size_t size) {
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::fputs("value pool: the operating system refused a memory region\n", stderr);
    std::abort();
  }
  return memory;
}

void ReleaseSystemRegion(void* memory, size_t size) { munmap(memory, size); }

struct Region {
  Region* prev;
  Region* next;
  unsigned char* base;
  uint16_t free_mask;  // bit i set: page i is free
  uint8_t free_count;
};

class PageStore {
 public:
  // A page whose first kPageHeaderSize bytes are addressable; *region receives its region.
  void* TakePage(void** region_out) {
    std::lock_guard<std::mutex> lock(mutex_);
    Region* region = partial_;
    if (region == nullptr) {
      if (spare_ != nullptr) {
        region = spare_;
        spare_ = nullptr;
      } else {
        region = MapRegion();
      }
      Link(region);
    }
    const int index = __builtin_ctz(region->free_mask);
    region->free_mask = static_cast<uint16_t>(region->free_mask & ~(1u << index));
    --region->free_count;
    if (region->free_count == 0) {
      Unlink(region);
    }
    ++pages_in_use_;
    --pages_free_;
    unsigned char* page = region->base + static_cast<size_t>(index) * detail::kPoolPageSize;
    POOL_UNPOISON(page, kPageHeaderSize);
    *region_out = region;
    return page;
  }

  void ReturnPage(void* page_address, void* region_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* region = static_cast<Region*>(region_address);
    auto* page = static_cast<unsigned char*>(page_address);
    POOL_POISON(page, detail::kPoolPageSize);
    const size_t index = static_cast<size_t>(page - region->base) / detail::kPoolPageSize;
    region->free_mask = static_cast<uint16_t>(region->free_mask | (1u << index));
    ++region->free_count;
    --pages_in_use_;
    ++pages_free_;
    if (region->free_count == 1) {
      Link(region);  // it was full
    }
    if (region->free_count == detail::kPoolPagesPerRegion) {
      Unlink(region);
      if (spare_ == nullptr) {
        spare_ = region;
      } else {
        UnmapRegion(region);
      }
    }
  }

  void ReleaseSpare() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_ != nullptr) {
      UnmapRegion(spare_);
      spare_ = nullptr;
    }
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
  Region* MapRegion() {
    auto* base = static_cast<unsigned char*>(ReserveSystemRegion(kRegionSize));
    POOL_POISON(base, kRegionSize);
    auto* region = new Region{nullptr, nullptr, base, kAllPagesFree,
                              static_cast<uint8_t>(detail::kPoolPagesPerRegion)};
    ++regions_mapped_;
    ++regions_reserved_total_;
    pages_free_ += detail::kPoolPagesPerRegion;
    return region;
  }

  void UnmapRegion(Region* region) {
    // Shadow memory must not stay poisoned for whoever maps these addresses next.
    POOL_UNPOISON(region->base, kRegionSize);
    ReleaseSystemRegion(region->base, kRegionSize);
    pages_free_ -= detail::kPoolPagesPerRegion;
    --regions_mapped_;
    ++regions_released_total_;
    delete region;
  }

  void Link(Region* region) {
    region->prev = nullptr;
    region->next = partial_;
    if (partial_ != nullptr) partial_->prev = region;
    partial_ = region;
  }

  void Unlink(Region* region) {
    if (region->prev != nullptr) {
      region->prev->next = region->next;
    } else {
      partial_ = region->next;
    }
    if (region->next != nullptr) region->next->prev = region->prev;
    region->prev = region->next = nullptr;
  }

  std::mutex mutex_;
  Region* partial_ = nullptr;  // regions with some, but not all, pages free
  Region* spare_ = nullptr;    // one region with all pages free, kept against churn
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

uint16_t LoadIndex(const unsigned char* slot) {
  uint16_t index;
  std::memcpy(&index, slot, sizeof index);
  return index;
}

void StoreIndex(unsigned char* slot, uint16_t index) { std::memcpy(slot, &index, sizeof index); }

}  // namespace

PageStoreStats GetPageStoreStats() { return Store().Stats(); }

void ReleaseFreePageStoreRegions() { Store().ReleaseSpare(); }

namespace detail {

static_assert(kPoolMaxSmallSize == 4 * kPoolSmallClassCount);

namespace {

constexpr size_t kClasses = kPoolSmallClassCount + kPoolBlockClassCount;

constexpr uint32_t SlotSizeOfClass(size_t index) {
  return index < kPoolSmallClassCount ? static_cast<uint32_t>(4 * (index + 1))
                                      : uint32_t{128} << (index - kPoolSmallClassCount);
}

// ceil(2^32 / slot size): a slot's offset in its page times this, shifted down by 32, is its
// index (offsets are below 2^12, so the rounding error never reaches the next integer), which
// spares a division on every free.
struct ClassTable {
  uint32_t slot_size[kClasses];
  uint64_t reciprocal[kClasses];
};

constexpr ClassTable MakeClassTable() {
  ClassTable table{};
  for (size_t i = 0; i < kClasses; ++i) {
    table.slot_size[i] = SlotSizeOfClass(i);
    table.reciprocal[i] = ((uint64_t{1} << 32) + SlotSizeOfClass(i) - 1) / SlotSizeOfClass(i);
  }
  return table;
}

constexpr ClassTable kClassTable = MakeClassTable();
static_assert(kClassTable.slot_size[kClasses - 1] == kPoolMaxPooledSize);
static_assert(kClassTable.slot_size[kPoolSmallClassCount - 1] == kPoolMaxSmallSize);

}  // namespace

ValuePool::ValuePool() {
  static_assert(sizeof(PageHeader) <= kPageHeaderSize);
  POOL_POISON(areas_, sizeof areas_);
}

ValuePool::~ValuePool() {
  for (SizeClass& size_class : classes_) {
    PageHeader* page = size_class.pages;
    while (page != nullptr) {
      PageHeader* next = page->next_page;
      Store().ReturnPage(page, page->region);
      page = next;
    }
  }
  POOL_UNPOISON(areas_, sizeof areas_);
}

size_t ValuePool::ClassIndex(size_t size) {
  if (size <= kPoolMaxSmallSize) {
    return size == 0 ? 0 : (size + 3) / 4 - 1;
  }
  if (size <= 128) return kPoolSmallClassCount;
  if (size <= 256) return kPoolSmallClassCount + 1;
  return kPoolSmallClassCount + 2;
}

void* ValuePool::Allocate(size_t size) {
  if (size > kPoolMaxPooledSize) {
    void* block = ::operator new(size, std::nothrow);
    if (block != nullptr) ++heap_blocks_;
    return block;
  }
  const size_t class_index = ClassIndex(size);
  SizeClass& size_class = classes_[class_index];
  const uint32_t slot_size = kClassTable.slot_size[class_index];
  PageHeader* page = size_class.partial;
  if (page == nullptr) {
    page = AddPage(class_index);
  }
  unsigned char* slot;
  if (page->free_head != kNoSlot) {
    slot = page->slots + size_t{page->free_head} * slot_size;
    POOL_UNPOISON(slot, sizeof(uint16_t));
    page->free_head = LoadIndex(slot);
  } else {
    slot = page->slots + size_t{page->bump} * slot_size;
    ++page->bump;
  }
  POOL_UNPOISON(slot, size);
  if (++page->used == page->capacity) {
    // Full: off the list of pages with free slots.
    if (page->prev_partial != nullptr) {
      page->prev_partial->next_partial = page->next_partial;
    } else {
      size_class.partial = page->next_partial;
    }
    if (page->next_partial != nullptr) page->next_partial->prev_partial = page->prev_partial;
    page->prev_partial = page->next_partial = nullptr;
  }
  ++live_slots_;
  return slot;
}

void ValuePool::Free(void* slot_address, size_t size) {
  if (size > kPoolMaxPooledSize) {
    ::operator delete(slot_address);
    --heap_blocks_;
    return;
  }
  const size_t class_index = ClassIndex(size);
  SizeClass& size_class = classes_[class_index];
  auto* slot = static_cast<unsigned char*>(slot_address);
  const auto address = reinterpret_cast<uintptr_t>(slot);
  PageHeader* page;
  if (class_index < kPoolSmallClassCount &&
      address - reinterpret_cast<uintptr_t>(areas_[class_index]) < kPoolInRecordAreaSize) {
    page = &first_pages_[class_index];
  } else {
    page = reinterpret_cast<PageHeader*>(address & ~static_cast<uintptr_t>(kPoolPageSize - 1));
  }
  const auto index = static_cast<uint16_t>(
      (static_cast<uint64_t>(slot - page->slots) * kClassTable.reciprocal[class_index]) >> 32);
  POOL_UNPOISON(slot, sizeof(uint16_t));  // a slot of 1 byte holds a 2-byte link
  StoreIndex(slot, page->free_head);
  page->free_head = index;
  POOL_POISON(slot, kClassTable.slot_size[class_index]);
  if (page->used == page->capacity) {
    // It was full: back on the list of pages with free slots.
    page->prev_partial = nullptr;
    page->next_partial = size_class.partial;
    if (size_class.partial != nullptr) size_class.partial->prev_partial = page;
    size_class.partial = page;
  }
  --page->used;
  --live_slots_;
  if (page->used == 0 && page->region != nullptr) {
    PageEmptied(size_class, page);
  }
}

void ValuePool::Reset() {
  for (size_t i = 0; i < kClassCount; ++i) {
    SizeClass& size_class = classes_[i];
    PageHeader* page = size_class.pages;
    size_class = SizeClass{};
    while (page != nullptr) {
      PageHeader* next = page->next_page;
      if (size_class.reserve == nullptr) {
        POOL_POISON(page->slots, kPoolPageSize - kPageHeaderSize);
        page->prev_page = page->next_page = nullptr;
        page->prev_partial = page->next_partial = nullptr;
        size_class.pages = size_class.reserve = page;
        size_class.store_pages = 1;
      } else {
        Store().ReturnPage(page, page->region);
      }
      page = next;
    }
    if (i < kPoolSmallClassCount && (first_pages_started_ & (1u << i)) != 0) {
      PageHeader& first = first_pages_[i];
      first.free_head = kNoSlot;
      first.used = 0;
      first.bump = 0;
      first.prev_partial = first.next_partial = nullptr;
      size_class.partial = &first;
    }
  }
  POOL_POISON(areas_, sizeof areas_);
  live_slots_ = 0;
}

ValuePool::PageHeader* ValuePool::AddPage(size_t class_index) {
  SizeClass& size_class = classes_[class_index];
  const uint32_t slot_size = kClassTable.slot_size[class_index];
  PageHeader* page;
  if (class_index < kPoolSmallClassCount && (first_pages_started_ & (1u << class_index)) == 0) {
    // The built-in page, set up on first use.
    first_pages_started_ |= 1u << class_index;
    page = &first_pages_[class_index];
    page->region = nullptr;
    page->prev_page = page->next_page = nullptr;
    page->slots = areas_[class_index];
    page->capacity = static_cast<uint16_t>(kPoolInRecordAreaSize / slot_size);
  } else if (size_class.reserve != nullptr) {
    page = size_class.reserve;
    size_class.reserve = nullptr;
  } else {
    void* region = nullptr;
    void* memory = Store().TakePage(&region);
    page = static_cast<PageHeader*>(memory);
    page->region = region;
    page->slots = static_cast<unsigned char*>(memory) + kPageHeaderSize;
    page->capacity = static_cast<uint16_t>((kPoolPageSize - kPageHeaderSize) / slot_size);
    page->prev_page = nullptr;
    page->next_page = size_class.pages;
    if (size_class.pages != nullptr) size_class.pages->prev_page = page;
    size_class.pages = page;
    ++size_class.store_pages;
  }
  page->free_head = kNoSlot;
  page->used = 0;
  page->bump = 0;
  page->prev_partial = nullptr;
  page->next_partial = size_class.partial;
  if (size_class.partial != nullptr) size_class.partial->prev_partial = page;
  size_class.partial = page;
  return page;
}

void ValuePool::PageEmptied(SizeClass& size_class, PageHeader* page) {
  if (page->prev_partial != nullptr) {
    page->prev_partial->next_partial = page->next_partial;
  } else {
    size_class.partial = page->next_partial;
  }
  if (page->next_partial != nullptr) page->next_partial->prev_partial = page->prev_partial;
  page->prev_partial = page->next_partial = nullptr;
  if (size_class.reserve == nullptr) {
    size_class.reserve = page;
    return;
  }
  if (page->prev_page != nullptr) {
    page->prev_page->next_page = page->next_page;
  } else {
    size_class.pages = page->next_page;
  }
  if (page->next_page != nullptr) page->next_page->prev_page = page->prev_page;
  --size_class.store_pages;
  Store().ReturnPage(page, page->region);
}

PoolStats ValuePool::Stats() const {
  PoolStats stats;
  stats.live_slots = live_slots_;
  stats.heap_blocks = heap_blocks_;
  for (const SizeClass& size_class : classes_) stats.store_pages += size_class.store_pages;
  return stats;
}

}  // namespace detail
}  // namespace sdk::binding
