// Embedded matching: ContainsSanitized with includeEmbedded (every stretch of the text is a
// candidate) on texts of growing length made of the fortunes corpus's words, at level 1 with the
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

// A text of `length` code points made of the corpus's words, in corpus order, joined by
// blanks, leaving out every word that would make the text contain a listed word (checked on a
// window around the join, wider than any listed entry). With no match anywhere the scan cannot
// stop early, so the whole text is always scanned and the time shows how the work grows.
std::u32string CleanCorpusText(const SanitizerEngine& engine, std::size_t length) {
  constexpr std::size_t kWindow = 256;
  std::u32string text;
  for (const std::string& fortune : FortuneTexts()) {
    const std::u32string words = sdk::text::Utf8ToUtf32(fortune);
    std::size_t start = 0;
    while (text.size() < length && start < words.size()) {
      std::size_t end = words.find_first_of(U" \n\t", start);
      if (end == std::u32string::npos) end = words.size();
      if (end > start) {
        const std::u32string word = words.substr(start, end - start);
        std::u32string window = text.substr(text.size() > kWindow ? text.size() - kWindow : 0);
        window += U' ';
        window += word;
        if (!ContainsSanitized(engine, window, 1, true, false, false)) {
          if (!text.empty()) text += U' ';
          text += word;
        }
      }
      start = end + 1;
    }
    if (text.size() >= length) break;
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
  const std::u32string text =
      CleanCorpusText(*engines.engine, static_cast<std::size_t>(state.range(0)));
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
  // 0 on both lines: the text holds no listed word, so every stretch was looked at.
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
