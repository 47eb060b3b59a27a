// UTF-8 <-> UTF-32 conversion and the strict check, on chat-sized texts (160 bytes, the mean
// of the fortunes corpus) that are pure ASCII or mixed with accented Latin and Cyrillic, beside
// the standard library's UTF-8 facet (std::wstring_convert with std::codecvt_utf8<char32_t>)
// converting the same texts in the same binary.
#include <benchmark/benchmark.h>

#include <codecvt>
#include <locale>
#include <string>

#include "sdk/text/code_conversion.h"

namespace {

std::string MakeText(bool mixed) {
  const std::string ascii = "The quick brown fox jumps over the lazy dog, again and again! ";
  const std::string accented =
      "Caf\xC3\xA9 na\xC3\xAFve \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ";
  std::string text;
  while (text.size() < 160) text += mixed && text.size() % 2 == 0 ? accented : ascii;
  return text;
}

// The deprecated facet is the standard conversion this code replaces; it is the baseline.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
using Facet = std::wstring_convert<std::codecvt_utf8<char32_t>, char32_t>;
#pragma GCC diagnostic pop

void BM_ToUtf32(benchmark::State& state, bool mixed, bool baseline) {
  const std::string text = MakeText(mixed);
  Facet facet;
  for (auto _ : state) {
    std::u32string out = baseline ? facet.from_bytes(text) : sdk::text::Utf8ToUtf32(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations());
}

void BM_ToUtf8(benchmark::State& state, bool mixed, bool baseline) {
  const std::string utf8 = MakeText(mixed);
  const std::u32string text = sdk::text::Utf8ToUtf32(utf8);
  Facet facet;
  for (auto _ : state) {
    std::string out = baseline ? facet.to_bytes(text) : sdk::text::Utf32ToUtf8(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(utf8.size()));
  state.SetItemsProcessed(state.iterations());
}

void BM_IsValidUtf8(benchmark::State& state, bool mixed) {
  const std::string text = MakeText(mixed);
  for (auto _ : state) benchmark::DoNotOptimize(sdk::text::IsValidUtf8(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_ToUtf32, ascii, false, false);
BENCHMARK_CAPTURE(BM_ToUtf32, ascii_facet, false, true);
BENCHMARK_CAPTURE(BM_ToUtf32, mixed, true, false);
BENCHMARK_CAPTURE(BM_ToUtf32, mixed_facet, true, true);
BENCHMARK_CAPTURE(BM_ToUtf8, ascii, false, false);
BENCHMARK_CAPTURE(BM_ToUtf8, ascii_facet, false, true);
BENCHMARK_CAPTURE(BM_ToUtf8, mixed, true, false);
BENCHMARK_CAPTURE(BM_ToUtf8, mixed_facet, true, true);
BENCHMARK_CAPTURE(BM_IsValidUtf8, ascii, false);
BENCHMARK_CAPTURE(BM_IsValidUtf8, mixed, true);

}  // namespace

BENCHMARK_MAIN();
