// The global operator new and delete of a plug-in library, in all their forms, on the counting
// allocation functions of plugin_memory.h.
//
// This file is compiled only into plug-in shared libraries (cmake/PluginLibrary.cmake), never into
// the static SDK libraries: a test binary that links those keeps the C++ library's own operators
// unless it asks for these. Inside a plug-in library the C++ standard library is linked
// statically and every symbol but the export is local, so these definitions serve all of the
// library's code (its containers, its strings, the standard library's own internals) and no one
// else's: the host and the other libraries of the process keep theirs, and a block can never be
// allocated by one side's operator and released by the other's.
//
// The throwing forms follow the standard: on failure they call the new-handler while one is
// installed and then throw std::bad_alloc, which the entry points of the library catch.
#include <cstddef>
#include <new>

#include "sdk/host/plugin_memory.h"

namespace {

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
  for (;;) {
    void* const block = alignment == 0 ? sdk::host::PluginAllocate(size)
                                       : sdk::host::PluginAllocateAligned(size, alignment);
    if (block != nullptr) return block;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateOrNull(std::size_t size, std::size_t alignment) noexcept {
  try {
    return AllocateOrThrow(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

std::size_t AlignmentOf(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, AlignmentOf(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, AlignmentOf(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, AlignmentOf(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, AlignmentOf(alignment));
}

void operator delete(void* block) noexcept { sdk::host::PluginFree(block); }
void operator delete[](void* block) noexcept { sdk::host::PluginFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { sdk::host::PluginFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  sdk::host::PluginFree(block);
}
void operator delete(void* block, std::size_t) noexcept { sdk::host::PluginFree(block); }
void operator delete[](void* block, std::size_t) noexcept { sdk::host::PluginFree(block); }
void operator delete(void* block, std::align_val_t) noexcept { sdk::host::PluginFree(block); }
void operator delete[](void* block, std::align_val_t) noexcept { sdk::host::PluginFree(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  sdk::host::PluginFree(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  sdk::host::PluginFree(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  sdk::host::PluginFree(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  sdk::host::PluginFree(block);
}
