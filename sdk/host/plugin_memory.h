// The plug-in library's counting allocation functions.
//
// Every heap block that crosses the host boundary (owned texts, byte buffers and arrays of host
// values, error texts of response records) is allocated and released here, so that the host can
// ask the plug-in how much memory it holds (the entry table's MemoryStats). Each function keeps
// six counters with atomic updates: peak bytes in use, peak live allocations, bytes allocated,
// allocations, bytes freed and frees. Bytes are counted as requested by the caller.
//
// A block carries its requested size in a small header in front of it, so that release and
// size-of-block know it without asking the C library. Blocks from these functions must only be
// released with PluginFree (or resized with PluginReallocate), never with free().
//
// A plug-in library routes its own operator new and delete through these functions as well
// (plugin_operator_new.cc, linked only into plug-in libraries), so that the counters cover every
// heap block the library's code allocates.
#ifndef SDK_HOST_PLUGIN_MEMORY_H_
#define SDK_HOST_PLUGIN_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sdk::host {

// A block of `size` bytes aligned for any scalar type, or null when the memory cannot be had.
// A size of 0 gives a valid, distinct block of no bytes.
void* PluginAllocate(size_t size);

// A block of `size` bytes whose address is a multiple of `alignment` (a power of two), or null
// when the memory cannot be had or the alignment is not a power of two. Released with
// PluginFree like any other block; it must not be resized.
void* PluginAllocateAligned(size_t size, size_t alignment);

// Releases a block of PluginAllocate, PluginAllocateAligned, PluginReallocate or
// PluginDuplicateText; null is ignored.
void PluginFree(void* block);

// Resizes a block, keeping its first min(old, new) bytes, like realloc: a null block allocates;
// on failure null is returned and the old block is left as it was. Counted as the release of
// the old block and the allocation of the new one.
void* PluginReallocate(void* block, size_t size);

// A NUL-terminated copy of `text` (which may hold NUL bytes; they are copied too), or null when
// the memory cannot be had.
char* PluginDuplicateText(std::string_view text);
// A copy of the NUL-terminated `text`; null gives null.
char* PluginDuplicateText(const char* text);

// The size that the block was requested with; 0 for null.
size_t PluginBlockSize(const void* block);

// A snapshot of the six counters. Each counter is read atomically; the six are not read as one,
// so a snapshot taken while other threads allocate may mix moments.
struct PluginMemoryCounters {
  uint64_t peak_bytes_in_use = 0;
  uint64_t peak_live_allocations = 0;
  uint64_t bytes_allocated = 0;
  uint64_t allocations = 0;
  uint64_t bytes_freed = 0;
  uint64_t frees = 0;
};
PluginMemoryCounters GetPluginMemoryCounters();

}  // namespace sdk::host

#endif  // SDK_HOST_PLUGIN_MEMORY_H_
