// BuildEngine at scale: an engine whose level-1 filter list holds 50,000 entries of Debian's
// American English word list (served as the asset "1.filter.csv"), beside the literal
// reference engine. Besides the time it reports the engine's memory, counted honestly: this
// binary replaces the global operator new and delete and keeps the bytes in use, so
// "engine_MiB" is what the built engine still holds after the build (its own structures, not
// the shared character tables) and "peak_MiB" the most that the build held at once.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "bench/engine_bench_inputs.h"

namespace {

std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_peak_bytes{0};

void* CountedAllocate(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* pointer =
      alignment > alignof(std::max_align_t)
          ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
          : std::malloc(size);
  if (pointer == nullptr) return nullptr;
  const int64_t live = g_live_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(pointer)),
                                              std::memory_order_relaxed) +
                       static_cast<int64_t>(malloc_usable_size(pointer));
  int64_t peak = g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return pointer;
}

void CountedFree(void* pointer) {
  if (pointer == nullptr) return;
  g_live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(pointer)),
                         std::memory_order_relaxed);
  std::free(pointer);
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
  void* pointer = CountedAllocate(size, alignment);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* pointer) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  CountedFree(pointer);
}

namespace sanitizer::bench {
namespace {

constexpr std::size_t kEntries = 50000;

template <bool kReference>
void BM_BuildEngine(benchmark::State& state) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(kAmericanEnglish, code)) {
    state.SkipWithError("missing /usr/share/dict/american-english (install Debian's wamerican)");
    return;
  }
  if (!std::filesystem::is_regular_file(SampleAssets() / "projectedchars.txt", code)) {
    state.SkipWithError(("missing the sample assets in " + SampleAssets().string()).c_str());
    return;
  }
  const std::string list = ListText(kAmericanEnglish, kEntries);
  const auto utils = SanitizerUtils::Create(MakeFolderAssetLoader(SampleAssets()));
  const AssetLoader loader = MakeMapAssetLoader({{"1.filter.csv", list}});
  int64_t engine_bytes = 0;
  int64_t peak_bytes = 0;
  uint32_t words = 0;
  for (auto _ : state) {
    const int64_t before = g_live_bytes.load();
    g_peak_bytes.store(before);
    if constexpr (kReference) {
      auto engine = reference::BuildEngine(utils, false, "", "en_US", {}, {}, {}, loader);
      engine_bytes = g_live_bytes.load() - before;
      words = engine->filtered_counts.at(1);
      state.PauseTiming();  // destruction is not part of the build
      engine.reset();
      state.ResumeTiming();
    } else {
      auto engine = BuildEngine(utils, false, "", "en_US", {}, {}, {}, loader);
      engine_bytes = g_live_bytes.load() - before;
      words = engine->filtered_word_counts().at(1);
      state.PauseTiming();
      engine.reset();
      state.ResumeTiming();
    }
    peak_bytes = g_peak_bytes.load() - before;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(list.size()));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kEntries));
  state.counters["engine_MiB"] = static_cast<double>(engine_bytes) / (1 << 20);
  state.counters["peak_MiB"] = static_cast<double>(peak_bytes) / (1 << 20);
  state.counters["words"] = words;
}

BENCHMARK_TEMPLATE(BM_BuildEngine, false)
    ->Name("BM_BuildEngine50k/engine")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_BuildEngine, true)
    ->Name("BM_BuildEngine50k/reference")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
