// Embedded matching: ContainsSanitized with includeEmbedded (every stretch of the text is a
// candidate) on texts of growing length cut from the fortunes corpus, at level 1 with the
// sample assets and the English word list. The engine's time must grow linearly with the
// length (compare the per-byte rates across the range; 64 KiB is the target size); the
// literal reference engine grows with the cube of the length and is run on short texts only.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"
#include "bench/engine_bench_inputs.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::bench {
namespace {

// The first `length` code points of the corpus texts joined by blanks.
std::u32string CorpusPrefix(std::size_t length) {
  std::u32string text;
  for (const std::string& fortune : FortuneTexts()) {
    if (text.size() >= length) break;
    if (!text.empty()) text += U' ';
    text += sdk::text::Utf8ToUtf32(fortune);
  }
  text.resize(std::min(text.size(), length));
  return text;
}

template <bool kReference>
void BM_ContainsEmbedded(benchmark::State& state) {
  if (const std::string missing = MissingInput(); !missing.empty()) {
    state.SkipWithError(missing.c_str());
    return;
  }
  const Engines& engines = ScanEngines();
  const std::u32string text = CorpusPrefix(static_cast<std::size_t>(state.range(0)));
  const int64_t bytes = static_cast<int64_t>(sdk::text::Utf32ToUtf8(text).size());
  bool contains = false;
  for (auto _ : state) {
    contains = kReference
                   ? reference::ContainsSanitized(*engines.reference, text, 1, true, false, false)
                   : ContainsSanitized(*engines.engine, text, 1, true, false, false);
    benchmark::DoNotOptimize(contains);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.SetItemsProcessed(state.iterations());
  state.counters["contains"] = contains ? 1 : 0;
}

BENCHMARK_TEMPLATE(BM_ContainsEmbedded, false)
    ->Name("BM_ContainsEmbedded/engine")
    ->RangeMultiplier(4)
    ->Range(256, 64 << 10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ContainsEmbedded, true)
    ->Name("BM_ContainsEmbedded/reference")
    ->RangeMultiplier(2)
    ->Range(128, 512)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
