// Micro-benchmarks of the CPU transitive reduction on random DAGs.
//
// Items processed by the matrix engine are n^3 per run: the cell updates of the n reachability
// sweeps the result is defined by, so rates compare directly with the device kernels that perform
// those sweeps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "common/edge_record.h"
#include "cpu/cpu_engine.h"

namespace {

// Edges only from lower to higher rank, with ranks shuffled so node order says nothing.
std::vector<std::uint8_t> denseDag(std::int64_t n, double p, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::int64_t> node(static_cast<std::size_t>(n));
    std::iota(node.begin(), node.end(), 0);
    std::shuffle(node.begin(), node.end(), rng);
    std::bernoulli_distribution edge(p);
    std::vector<std::uint8_t> m(static_cast<std::size_t>(n * n), 0);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i + 1; j < n; ++j)
            if (edge(rng)) m[node[i] * n + node[j]] = 1;
    return m;
}

std::vector<std::uint8_t> outDegreeDag(std::int64_t n, int degree, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::int64_t> node(static_cast<std::size_t>(n));
    std::iota(node.begin(), node.end(), 0);
    std::shuffle(node.begin(), node.end(), rng);
    std::vector<std::uint8_t> m(static_cast<std::size_t>(n * n), 0);
    for (std::int64_t i = 0; i + 1 < n; ++i) {
        std::uniform_int_distribution<std::int64_t> later(i + 1, n - 1);
        for (int e = 0; e < degree; ++e) m[node[i] * n + node[later(rng)]] = 1;
    }
    return m;
}

// Args: n, threads.
void run(benchmark::State& state, const std::vector<std::uint8_t>& input) {
    const std::int64_t n = state.range(0);
    const int threads = static_cast<int>(state.range(1));
    std::vector<std::uint8_t> matrix(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(input.begin(), input.end(), matrix.begin());
        state.ResumeTiming();
        fwprune::cpu::reduceTransitively(matrix.data(), n, threads);
        benchmark::DoNotOptimize(matrix.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * n * n);
}

void BM_DenseDag(benchmark::State& state) {
    run(state, denseDag(state.range(0), 0.1, 1));
}

void BM_OutDegree4Dag(benchmark::State& state) {
    run(state, outDegreeDag(state.range(0), 4, 2));
}

void sizesThreads(benchmark::internal::Benchmark* b) {
    for (const std::int64_t n : {1024, 2048, 4096})
        for (const std::int64_t threads : {1, 2}) b->Args({n, threads});
    b->ArgNames({"n", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_DenseDag)->Apply(sizesThreads);
BENCHMARK(BM_OutDegree4Dag)->Apply(sizesThreads);

// The reduction on edge records: a random local DAG of n nodes, each drawing 10 sources, 98% from
// the 300 nodes before it; with node numbers in order (arg 1 = 0) or shuffled (1). Items are
// edges.
void BM_EdgeRecordsLocalDag(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    std::mt19937_64 rng(3);
    std::vector<std::uint32_t> label(n);
    std::iota(label.begin(), label.end(), 0u);
    if (state.range(1)) std::shuffle(label.begin(), label.end(), rng);
    std::vector<std::uint64_t> records;
    for (std::uint32_t v = 1; v < n; ++v) {
        for (int e = 0; e < 10; ++e) {
            const std::uint32_t back = rng() % 50 == 0 ? 1 + rng() % v : 1 + rng() % 300;
            const std::uint32_t u = v - std::min(back, v);
            records.push_back(fwprune::EdgeRecord::pack(label[u], label[v]));
        }
    }
    for (auto _ : state) benchmark::DoNotOptimize(fwprune::cpu::reduceEdgeRecords(records, 0));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
    state.SetLabel(state.range(1) ? "shuffled" : "in order");
}
BENCHMARK(BM_EdgeRecordsLocalDag)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
