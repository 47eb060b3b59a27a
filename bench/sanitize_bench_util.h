// The timed loop shared by the corpus benchmarks (normal and aggressive scan): every fortune
// text is decoded from UTF-8, sanitized and encoded back, as the sanitize resource does, by
// the engine or by the literal reference engine.
#ifndef BENCH_SANITIZE_BENCH_UTIL_H_
#define BENCH_SANITIZE_BENCH_UTIL_H_

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "bench/engine_bench_inputs.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::bench {

enum class Implementation { kEngine, kReference };

inline const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> texts = FortuneTexts();
  return texts;
}

// Reports bytes/s and texts/s (SetBytesProcessed, SetItemsProcessed), "input" as bytes/s in
// powers of 1000 (the unit of the targets) and, as "masked", the number of texts that the
// scan changed, which must be the same for both implementations.
inline void RunCorpus(benchmark::State& state, Implementation implementation, bool aggressive) {
  if (const std::string missing = MissingInput(); !missing.empty()) {
    state.SkipWithError(missing.c_str());
    return;
  }
  const Engines& engines = ScanEngines();
  const std::vector<std::string>& corpus = Corpus();
  int64_t bytes = 0;
  for (const std::string& text : corpus) bytes += static_cast<int64_t>(text.size());
  std::u32string output;
  int64_t modified = 0;
  for (auto _ : state) {
    modified = 0;
    for (const std::string& text : corpus) {
      const std::u32string input = sdk::text::Utf8ToUtf32(text);
      output.clear();
      const bool changed =
          implementation == Implementation::kEngine
              ? SanitizeText(*engines.engine, output, input, 1, false, aggressive, 5)
              : reference::SanitizeText(*engines.reference, output, input, 1, false, aggressive, 5);
      const std::string masked = sdk::text::Utf32ToUtf8(output);
      benchmark::DoNotOptimize(masked.data());
      modified += changed ? 1 : 0;
    }
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["input"] =
      benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsIterationInvariantRate,
                         benchmark::Counter::OneK::kIs1000);
  state.counters["masked"] = static_cast<double>(modified);
  state.counters["texts"] = static_cast<double>(corpus.size());
}

}  // namespace sanitizer::bench

#endif  // BENCH_SANITIZE_BENCH_UTIL_H_
