// The cost of one stream's values, which must not grow with the stream
// number.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "signal.hpp"

namespace {

void BM_FillSignal(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  double signal[kSignalLength];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop's own variable
    fill_signal(signal, n);
    benchmark::DoNotOptimize(signal);
  }
}
BENCHMARK(BM_FillSignal)->Arg(0)->Arg(1000000)->Arg(2147483640)->Arg(299)->Arg(-5);

}  // namespace

BENCHMARK_MAIN();
