#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cpu/cpu_engine.h"
#include "cpu/transitive_reduction_internal.h"
#include "test_support.h"

namespace {

using fwprune::cpu::InstructionSet;
using fwprune::cpu::instructionSetSupported;
using fwprune::cpu::detail::ReductionOptions;
using Matrix = std::vector<std::uint8_t>;

Matrix referenceReduction(const Matrix& m, std::int64_t n) {
    return fwprune::testing::referenceReduction(m, static_cast<int>(n));
}

Matrix reduced(Matrix m, std::int64_t n, int threads,
               InstructionSet isa = fwprune::cpu::bestInstructionSet()) {
    ReductionOptions options;
    options.isa = isa;
    fwprune::cpu::detail::reduceTransitively(m.data(), n, threads, options);
    return m;
}

// First differing cell, for readable failures on large matrices.
std::string firstDifference(const Matrix& got, const Matrix& want, std::int64_t n) {
    for (std::int64_t c = 0; c < n * n; ++c)
        if (got[c] != want[c])
            return "cell (" + std::to_string(c / n) + ", " + std::to_string(c % n) + "): got " +
                   std::to_string(got[c]) + ", want " + std::to_string(want[c]);
    return "none";
}

enum class Shape { Cyclic, NearlyAcyclic, SelfLoops, Isolated, Values, DescendingShortcuts };

// Random graphs of several characters. Edge values other than 1 appear on purpose: any non-zero
// cell is an edge.
Matrix descendingDagWithShortcuts(std::int64_t n, std::uint32_t seed);

Matrix randomGraph(std::int64_t n, Shape shape, std::uint32_t seed) {
    if (shape == Shape::DescendingShortcuts) return descendingDagWithShortcuts(n, seed);
    std::mt19937 rng(seed);
    Matrix m(static_cast<std::size_t>(n * n), 0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double p = n <= 8 ? 0.3 : std::min(0.5, 4.0 / static_cast<double>(n));
    std::vector<std::int64_t> rank(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) rank[i] = i;
    std::shuffle(rank.begin(), rank.end(), rng);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < n; ++j) {
            if (i == j && shape != Shape::SelfLoops) continue;
            double chance = p;
            if (shape == Shape::NearlyAcyclic) chance = rank[i] < rank[j] ? 4 * p : p / 20;
            if (shape == Shape::Isolated && (i % 3 == 0 || j % 3 == 0)) chance = 0;
            if (unit(rng) < chance)
                m[i * n + j] =
                    shape == Shape::Values ? static_cast<std::uint8_t>(1 + rng() % 255) : 1;
        }
    if (shape == Shape::SelfLoops)
        for (std::int64_t i = 0; i < n; ++i) m[i * n + i] = unit(rng) < 0.05 ? 1 : 0;
    return m;
}

// A DAG in a random node order: edge (i, j) only when rank i < rank j.
Matrix randomDag(std::int64_t n, double p, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::int64_t> rank(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) rank[i] = i;
    std::shuffle(rank.begin(), rank.end(), rng);
    Matrix m(static_cast<std::size_t>(n * n), 0);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < n; ++j)
            if (rank[i] < rank[j] && unit(rng) < p) m[i * n + j] = 1;
    return m;
}

// Each node points at two lower-numbered nodes, plus a shortcut to where a random three-step walk
// from it ends. The shortcuts are redundant exactly through walks that run against node order,
// the case where closure rows must pick up earlier sweep blocks.
Matrix descendingDagWithShortcuts(std::int64_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Matrix m(static_cast<std::size_t>(n * n), 0);
    std::vector<std::vector<std::int64_t>> next(static_cast<std::size_t>(n));
    for (std::int64_t i = 1; i < n; ++i)
        for (int e = 0; e < 2; ++e) {
            const std::int64_t j = static_cast<std::int64_t>(rng() % static_cast<std::uint32_t>(i));
            m[i * n + j] = 1;
            next[i].push_back(j);
        }
    for (std::int64_t i = 0; i < n; ++i) {
        std::int64_t at = i;
        for (int step = 0; step < 3 && !next[at].empty(); ++step)
            at = next[at][rng() % next[at].size()];
        if (at != i) m[i * n + at] = 1;
    }
    return m;
}

TEST(CpuTransitiveReduction, HandBuiltCases) {
    struct Case {
        const char* name;
        std::int64_t n;
        std::vector<std::pair<int, int>> edges;
        std::vector<std::pair<int, int>> kept;
    };
    const std::vector<Case> cases = {
        {"shortcut over a path", 3, {{0, 1}, {1, 2}, {0, 2}}, {{0, 1}, {1, 2}}},
        {"diamond with a shortcut",
         4,
         {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {0, 3}},
         {{0, 1}, {0, 2}, {1, 3}, {2, 3}}},
        {"two-cycle loses both edges", 3, {{0, 1}, {1, 0}, {1, 2}}, {}},
        {"self-loop kills edges in and out", 4, {{0, 1}, {1, 1}, {1, 2}, {2, 3}}, {{2, 3}}},
        {"lone self-loop", 1, {{0, 0}}, {}},
        {"edge into a cycle", 4, {{0, 1}, {1, 2}, {2, 1}, {3, 0}}, {{3, 0}}},
        {"walk through a cycle bypasses an edge",
         5,
         {{0, 1}, {1, 2}, {2, 1}, {2, 3}, {0, 3}, {3, 4}},
         {{3, 4}}},
        {"parallel paths keep both",
         4,
         {{0, 1}, {1, 3}, {0, 2}, {2, 3}},
         {{0, 1}, {1, 3}, {0, 2}, {2, 3}}},
    };
    for (const auto& c : cases)
        for (const int threads : {1, 2}) {
            const Matrix got = reduced(fwprune::testing::adjacencyOf(c.n, c.edges), c.n, threads);
            EXPECT_EQ(got, fwprune::testing::adjacencyOf(c.n, c.kept))
                << c.name << ", threads " << threads;
        }
}

TEST(CpuTransitiveReduction, EmptyAndSingleNode) {
    Matrix none;
    EXPECT_NO_THROW(fwprune::cpu::detail::reduceTransitively(none.data(), 0, 2, {}));
    EXPECT_EQ(reduced(Matrix{0}, 1, 2), Matrix{0});
    EXPECT_EQ(reduced(Matrix{9}, 1, 2), Matrix{0});
}

TEST(CpuTransitiveReduction, MatchesSweepsOnRandomGraphs) {
    const std::int64_t sizes[] = {2, 3, 7, 63, 64, 65, 127, 128, 129, 255, 256, 257};
    const Shape shapes[] = {Shape::Cyclic,   Shape::NearlyAcyclic, Shape::SelfLoops,
                            Shape::Isolated, Shape::Values,        Shape::DescendingShortcuts};
    std::uint32_t seed = 1;
    for (const std::int64_t n : sizes)
        for (const Shape shape : shapes) {
            const Matrix input = randomGraph(n, shape, seed++);
            const Matrix want = referenceReduction(input, n);
            for (const int threads : {1, 2}) {
                const Matrix got = reduced(input, n, threads);
                ASSERT_EQ(got, want)
                    << "n " << n << ", shape " << static_cast<int>(shape) << ", threads " << threads
                    << ", " << firstDifference(got, want, n);
            }
        }
}

TEST(CpuTransitiveReduction, EveryInstructionSetAgrees) {
    // Sizes around the 32-, 64- and 512-column widths the vector kernels work in.
    const std::int64_t sizes[] = {31, 33, 100, 511, 513, 600};
    for (const InstructionSet isa :
         {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512}) {
        if (!instructionSetSupported(isa)) continue;
        for (const std::int64_t n : sizes) {
            const Matrix input =
                randomGraph(n, Shape::NearlyAcyclic, static_cast<std::uint32_t>(n));
            const Matrix want = referenceReduction(input, n);
            const Matrix got = reduced(input, n, 2, isa);
            ASSERT_EQ(got, want) << "isa " << static_cast<int>(isa) << ", n " << n << ", "
                                 << firstDifference(got, want, n);
        }
    }
}

TEST(CpuTransitiveReduction, ThousandNodes) {
    const std::int64_t n = 1000;
    for (const Shape shape : {Shape::NearlyAcyclic, Shape::SelfLoops}) {
        const Matrix input = randomGraph(n, shape, 77);
        const Matrix want = referenceReduction(input, n);
        for (const int threads : {1, 2}) {
            const Matrix got = reduced(input, n, threads);
            ASSERT_EQ(got, want) << "threads " << threads << ", " << firstDifference(got, want, n);
        }
    }
}

TEST(CpuTransitiveReduction, RandomDagsMatchTheReference) {
    std::uint32_t seed = 100;
    for (const std::int64_t n : {50, 200, 300})
        for (const double p : {0.02, 0.1, 0.5}) {
            const Matrix input = randomDag(n, p, seed++);
            const Matrix want = referenceReduction(input, n);
            for (const int threads : {1, 2}) {
                const Matrix got = reduced(input, n, threads);
                ASSERT_EQ(got, want) << "n " << n << ", p " << p << "threads " << threads << ", "
                                     << firstDifference(got, want, n);
            }
        }
}

TEST(CpuTransitiveReduction, ThreadCountsBeyondNodesAndDefault) {
    const std::int64_t n = 5;
    const Matrix input = randomGraph(n, Shape::Cyclic, 5);
    const Matrix want = referenceReduction(input, n);
    for (const int threads : {0, -3, 8}) EXPECT_EQ(reduced(input, n, threads), want);
}

TEST(CpuTransitiveReduction, DeepChainAndLongCycleDoNotExhaustTheStack) {
    // 10000-node chain with every two-step shortcut, whose last node enters a 10000-node cycle.
    // Both the depth-first search and the component walk go 20000 levels deep.
    const std::int64_t n = 20000;
    const std::int64_t half = n / 2;
    Matrix m(static_cast<std::size_t>(n * n), 0);
    for (std::int64_t i = 0; i + 1 < half; ++i) m[i * n + i + 1] = 1;
    for (std::int64_t i = 0; i + 2 < half; ++i) m[i * n + i + 2] = 1;
    m[(half - 1) * n + half] = 1;
    for (std::int64_t i = half; i < n; ++i) m[i * n + (i + 1 < n ? i + 1 : half)] = 1;

    fwprune::cpu::detail::reduceTransitively(m.data(), n, 2, {});

    std::int64_t kept = 0;
    for (const std::uint8_t cell : m) kept += cell;
    EXPECT_EQ(kept, half - 1);
    for (std::int64_t i = 0; i + 1 < half; ++i)
        ASSERT_EQ(m[i * n + i + 1], 1) << "chain edge " << i;
}

}  // namespace
