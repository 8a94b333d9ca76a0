// The kernels' own source on the CPU stand-in, in cell updates (n^3 per job) per second, for
// comparison with the native CPU engine. The stand-in exists for tests; this shows the gap.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "device/runtime/device_jobs.h"
#include "pipelines/pipelines.h"

namespace {

void StandInWeakestLink(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    fwprune::WeightMatrix input;
    input.n = n;
    input.cells.resize(std::size_t(n) * n);
    for (float& v : input.cells) v = unit(random);
    const auto runtime = fwprune::openEmulatedRuntime(0);
    for (auto _ : state) {
        fwprune::WeightMatrix m = input;
        fwprune::pruneWeakestLinksOnDevice(*runtime, m, 0.1f, 0.9f);
        benchmark::DoNotOptimize(m.cells.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{n} * n * n);
}
BENCHMARK(StandInWeakestLink)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

void StandInReduction(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::mt19937 random(4);
    std::bernoulli_distribution edge(4.0 / n);
    fwprune::ByteAdjacencyMatrix input;
    input.n = n;
    input.cells.resize(std::size_t(n) * n);
    for (auto& c : input.cells) c = edge(random) ? 1 : 0;
    const auto runtime = fwprune::openEmulatedRuntime(0);
    for (auto _ : state) {
        fwprune::ByteAdjacencyMatrix m = input;
        fwprune::reduceTransitivelyOnDevice(*runtime, m);
        benchmark::DoNotOptimize(m.cells.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{n} * n * n);
}
BENCHMARK(StandInReduction)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
