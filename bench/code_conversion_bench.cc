// UTF-8 <-> UTF-32 conversion and the strict check, on chat-sized texts (about 160 bytes, the
// mean of the fortunes corpus) of three kinds, beside the standard library's UTF-8 facet
// (std::wstring_convert with std::codecvt_utf8<char32_t>) converting the same texts in the
// same binary: pure ASCII; chat text, mostly ASCII with an accented letter now and then; and
// mixed text, as many accented Latin and Cyrillic letters as ASCII ones.
#include <benchmark/benchmark.h>

#include <codecvt>
#include <locale>
#include <string>

#include "sdk/text/code_conversion.h"

namespace {

enum class Kind { kAscii, kChat, kMixed };

std::string MakeText(Kind kind) {
  const std::string ascii = "The quick brown fox jumps over the lazy dog, again and again! ";
  // The literal is split after "\x9F" so that the "e" after it is not read as a hex digit.
  const std::string chat =
      "D\xC3\xA9j\xC3\xA0 vu: we met at the caf\xC3\xA9 on Hauptstra\xC3\x9F"
      "e again, see you there at 8? ";
  const std::string mixed =
      "Caf\xC3\xA9 na\xC3\xAFve \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ";
  const std::string& piece = kind == Kind::kAscii ? ascii : kind == Kind::kChat ? chat : mixed;
  std::string text;
  while (text.size() < 160) text += piece;
  return text;
}

// The deprecated facet is the standard conversion this code replaces; it is the baseline.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
using Facet = std::wstring_convert<std::codecvt_utf8<char32_t>, char32_t>;
#pragma GCC diagnostic pop

void BM_ToUtf32(benchmark::State& state, Kind kind, bool baseline) {
  const std::string text = MakeText(kind);
  Facet facet;
  for (auto _ : state) {
    std::u32string out = baseline ? facet.from_bytes(text) : sdk::text::Utf8ToUtf32(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations());
}

void BM_ToUtf8(benchmark::State& state, Kind kind, bool baseline) {
  const std::string utf8 = MakeText(kind);
  const std::u32string text = sdk::text::Utf8ToUtf32(utf8);
  Facet facet;
  for (auto _ : state) {
    std::string out = baseline ? facet.to_bytes(text) : sdk::text::Utf32ToUtf8(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(utf8.size()));
  state.SetItemsProcessed(state.iterations());
}

void BM_IsValidUtf8(benchmark::State& state, Kind kind) {
  const std::string text = MakeText(kind);
  for (auto _ : state) benchmark::DoNotOptimize(sdk::text::IsValidUtf8(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_ToUtf32, ascii, Kind::kAscii, false);
BENCHMARK_CAPTURE(BM_ToUtf32, ascii_facet, Kind::kAscii, true);
BENCHMARK_CAPTURE(BM_ToUtf32, chat, Kind::kChat, false);
BENCHMARK_CAPTURE(BM_ToUtf32, chat_facet, Kind::kChat, true);
BENCHMARK_CAPTURE(BM_ToUtf32, mixed, Kind::kMixed, false);
BENCHMARK_CAPTURE(BM_ToUtf32, mixed_facet, Kind::kMixed, true);
BENCHMARK_CAPTURE(BM_ToUtf8, ascii, Kind::kAscii, false);
BENCHMARK_CAPTURE(BM_ToUtf8, ascii_facet, Kind::kAscii, true);
BENCHMARK_CAPTURE(BM_ToUtf8, chat, Kind::kChat, false);
BENCHMARK_CAPTURE(BM_ToUtf8, chat_facet, Kind::kChat, true);
BENCHMARK_CAPTURE(BM_ToUtf8, mixed, Kind::kMixed, false);
BENCHMARK_CAPTURE(BM_ToUtf8, mixed_facet, Kind::kMixed, true);
BENCHMARK_CAPTURE(BM_IsValidUtf8, ascii, Kind::kAscii);
BENCHMARK_CAPTURE(BM_IsValidUtf8, chat, Kind::kChat);
BENCHMARK_CAPTURE(BM_IsValidUtf8, mixed, Kind::kMixed);

}  // namespace

BENCHMARK_MAIN();
