// FormatMessage against plain snprintf with the equivalent format, in the same binary, so the
// cost of the positional formatter (parsing, checking, one snprintf call per argument) can be
// quoted as a ratio. Run with the release preset:
//   build/release/bench/format_message_bench --benchmark_filter=Message
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>

#include "sdk/text/format_message.h"

namespace {

using sdk::text::FormatMessage;
using sdk::text::kMessageBufferSize;
using sdk::text::MessageArg;

// A typical system message: two texts and a number.
void BM_SnprintfMessage(benchmark::State& state) {
  char buffer[kMessageBufferSize];
  const char* name = "containsSanitized";
  const char* value = "level";
  unsigned offset = 1234;
  for (auto _ : state) {
    benchmark::DoNotOptimize(name);
    const int length = std::snprintf(
        buffer, sizeof buffer, "Unknown argument '%s' for '%s' at offset %u.", value, name, offset);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnprintfMessage);

void BM_FormatMessage(benchmark::State& state) {
  char buffer[kMessageBufferSize];
  const char* name = "containsSanitized";
  const char* value = "level";
  unsigned offset = 1234;
  for (auto _ : state) {
    benchmark::DoNotOptimize(name);
    const std::array<MessageArg, 3> args{value, name, offset};
    const size_t length =
        FormatMessage(buffer, sizeof buffer, "Unknown argument '%1' for '%2' at offset %3.", args);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatMessage);

// The convenience form also builds a std::string from the buffer.
void BM_FormatMessageToString(benchmark::State& state) {
  const char* name = "containsSanitized";
  const char* value = "level";
  unsigned offset = 1234;
  for (auto _ : state) {
    benchmark::DoNotOptimize(name);
    std::string text =
        FormatMessage("Unknown argument '%1' for '%2' at offset %3.", value, name, offset);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatMessageToString);

// Numbers with printf conversion specifications: one snprintf call against three.
void BM_SnprintfNumbers(benchmark::State& state) {
  char buffer[kMessageBufferSize];
  int a = 42;
  double b = 3.14159;
  long long c = -9000000000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    const int length = std::snprintf(buffer, sizeof buffer, "%05d|%.3f|%lld", a, b, c);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnprintfNumbers);

void BM_FormatMessageNumbers(benchmark::State& state) {
  char buffer[kMessageBufferSize];
  int a = 42;
  double b = 3.14159;
  long long c = -9000000000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    const std::array<MessageArg, 3> args{a, b, c};
    const size_t length = FormatMessage(buffer, sizeof buffer, "%1$05d|%2$.3f|%3", args);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatMessageNumbers);

}  // namespace

BENCHMARK_MAIN();
