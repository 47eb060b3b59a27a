// Aggressive scan: SanitizeText with the aggressive scan at level 1, UTF-8 in and out, over
// the fortunes corpus, with the sample assets and the English word list; the engine beside
// the literal reference engine.
#include <benchmark/benchmark.h>

#include "bench/sanitize_bench_util.h"

namespace sanitizer::bench {
namespace {

void BM_AggressiveScan(benchmark::State& state, Implementation implementation) {
  RunCorpus(state, implementation, /*aggressive=*/true);
}

BENCHMARK_CAPTURE(BM_AggressiveScan, engine, Implementation::kEngine)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AggressiveScan, reference, Implementation::kReference)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
