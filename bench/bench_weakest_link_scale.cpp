// How the ordered weakest-link route grows with n, next to its floor: the matrices users bring
// (uniform float32 weights in [0, 1.5), lower 0.001, upper 0.5) at n = 2048 .. 32768, symmetric
// (the spanning tree) and asymmetric (the closure), with two threads. The floor is reading the
// matrix once and writing it once (BM_Floor, one pass that reads every cell and writes the
// threshold's answer back), on the same matrix. Both methods read the matrix once more, before
// the pass that writes (the census, which also gathers the spanning tree's legs, and the closure's
// first batch). Cells per second that stay level from n = 2048 to 32768 mean a cost that grows as
// n^2.
//
// The largest size is FWPRUNE_BENCH_MAX_N (default 16384; 32768 needs 4.3 GB and regenerates the
// matrix before every run, outside the timing).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/float_bits.h"
#include "common/parallel.h"
#include "cpu/cpu_engine.h"

namespace {

constexpr float kLower = 0.001f;
constexpr float kUpper = 0.5f;
constexpr int kThreads = 2;

std::int64_t largestSize() {
    const char* given = std::getenv("FWPRUNE_BENCH_MAX_N");
    return given ? std::atoll(given) : 16384;
}

// splitmix64 of the cell's index: any cell's weight without generating the ones before it, so
// that both threads fill their rows independently and every run sees the same matrix.
float weightOf(std::uint64_t index) {
    std::uint64_t z = index + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return 1.5f * static_cast<float>(z >> 40) / static_cast<float>(std::uint64_t{1} << 24);
}

// Uniform weights in [0, 1.5), mirrored across the diagonal when symmetric.
void fill(std::vector<float>& cells, std::size_t n, bool symmetric) {
    fwprune::ThreadPool pool(kThreads);
    pool.parallelFor(
        0, static_cast<std::int64_t>(n), [&](std::int64_t begin, std::int64_t end, int) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    const std::size_t a = symmetric ? std::min(i, j) : i;
                    const std::size_t b = symmetric ? std::max(i, j) : j;
                    cells[i * n + j] = weightOf(a * n + b);
                }
            }
        });
}

void sizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t n = 2048; n <= largestSize(); n *= 2) b->Arg(n);
    b->ArgName("n")
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
}

void BM_Ordered(benchmark::State& state, bool symmetric) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<float> cells(n * n);
    for (auto _ : state) {
        state.PauseTiming();
        fill(cells, n, symmetric);
        state.ResumeTiming();
        const bool done = fwprune::cpu::pruneWeakestLinksOrdered(
            cells.data(), static_cast<std::int64_t>(n), n, kLower, kUpper, kThreads);
        if (!done) state.SkipWithError("the ordered route refused the matrix");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n * n));
}

// Reads every cell and writes back 2.0 where it is at or above upper, on both threads.
void cutPass(float* cells, std::size_t n, fwprune::ThreadPool& pool) {
    pool.parallelFor(
        0, static_cast<std::int64_t>(n), [&](std::int64_t begin, std::int64_t end, int) {
            auto* const bits = reinterpret_cast<fwprune::CellBits*>(cells);
            const std::uint32_t upper = fwprune::bitsOf(kUpper);
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                fwprune::CellBits* const row = bits + i * n;
                for (std::size_t j = 0; j < n; ++j) {
                    row[j] = row[j] >= upper ? fwprune::kAbsentBits : row[j];
                }
            }
        });
}

void BM_Floor(benchmark::State& state, bool symmetric) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<float> cells(n * n);
    fwprune::ThreadPool pool(kThreads);
    for (auto _ : state) {
        state.PauseTiming();
        fill(cells, n, symmetric);
        state.ResumeTiming();
        cutPass(cells.data(), n, pool);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n * n));
}

BENCHMARK_CAPTURE(BM_Ordered, Asymmetric, false)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Floor, Asymmetric, false)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Ordered, Symmetric, true)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Floor, Symmetric, true)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
