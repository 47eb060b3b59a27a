// Normal scan: SanitizeText at level 1 with runs of up to five words, UTF-8 in and out, over
// the fortunes corpus, with the sample assets and the English word list. The engine runs
// beside the literal reference engine, so the speed-up is the ratio of the two lines.
#include <benchmark/benchmark.h>

#include "bench/sanitize_bench_util.h"

namespace sanitizer::bench {
namespace {

void BM_NormalScan(benchmark::State& state, Implementation implementation) {
  RunCorpus(state, implementation, /*aggressive=*/false);
}

BENCHMARK_CAPTURE(BM_NormalScan, engine, Implementation::kEngine)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NormalScan, reference, Implementation::kReference)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
