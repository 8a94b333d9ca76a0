// Cell updates per second of the CPU weakest-link sweeps: n^3 sweep steps per run, on every
// instruction set this machine can run, with one and two threads; and cells per second (n^2 per
// run) of the ordered route on uniform weights, asymmetric (the closure) and symmetric (the
// spanning tree).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_internal.h"

namespace {

using fwprune::cpu::InstructionSet;

constexpr float kLower = 0.25f;
constexpr float kUpper = 1.5f;

std::vector<float> randomWeights(std::size_t n) {
    std::vector<float> cells(n * n);
    std::mt19937 rng(static_cast<std::uint32_t>(n));
    std::uniform_real_distribution<float> weight(0.0f, 3.0f);
    for (float& c : cells) c = weight(rng);
    return cells;
}

void BM_WeakestLink(benchmark::State& state, InstructionSet isa) {
    if (!fwprune::cpu::instructionSetSupported(isa)) {
        state.SkipWithError("this CPU cannot run the instruction set");
        return;
    }
    const auto n = static_cast<std::size_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const std::vector<float> input = randomWeights(n);
    std::vector<float> cells(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(cells.data(), input.data(), input.size() * sizeof(float));
        state.ResumeTiming();
        fwprune::cpu::weakest_link::prune(isa, cells.data(), static_cast<std::int64_t>(n), n,
                                          kLower, kUpper, threads);
        benchmark::DoNotOptimize(cells.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n * n * n));
}

void sizesAndThreads(benchmark::internal::Benchmark* b) {
    for (const std::int64_t n : {1024, 2048, 4096}) {
        for (const std::int64_t threads : {1, 2}) b->Args({n, threads});
    }
    b->ArgNames({"n", "threads"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_WeakestLink, Avx512, InstructionSet::Avx512)->Apply(sizesAndThreads);
BENCHMARK_CAPTURE(BM_WeakestLink, Avx2, InstructionSet::Avx2)->Apply(sizesAndThreads);
// The portable kernels run about 1 G cell updates/s: n = 4096 would take over a minute a run.
BENCHMARK_CAPTURE(BM_WeakestLink, Portable, InstructionSet::Portable)
    ->ArgsProduct({{1024, 2048}, {1, 2}})
    ->ArgNames({"n", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Uniform weights in [0, 1), mirrored across the diagonal when symmetric.
std::vector<float> uniformWeights(std::size_t n, bool symmetric) {
    std::vector<float> cells(n * n);
    std::mt19937 rng(static_cast<std::uint32_t>(n) + 7);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            cells[i * n + j] = symmetric && j < i ? cells[j * n + i] : weight(rng);
        }
    }
    return cells;
}

void BM_Ordered(benchmark::State& state, bool symmetric) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const std::vector<float> input = uniformWeights(n, symmetric);
    std::vector<float> cells(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(cells.data(), input.data(), input.size() * sizeof(float));
        state.ResumeTiming();
        fwprune::cpu::pruneWeakestLinksOrdered(cells.data(), static_cast<std::int64_t>(n), n, 0.0f,
                                               1.5f, threads);
        benchmark::DoNotOptimize(cells.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n * n));
}

BENCHMARK_CAPTURE(BM_Ordered, Asymmetric, false)
    ->ArgsProduct({{2048, 4096, 8192}, {1, 2}})
    ->ArgNames({"n", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Ordered, Symmetric, true)
    ->ArgsProduct({{2048, 4096, 8192}, {1, 2}})
    ->ArgNames({"n", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
