// The kernels run through the CPU stand-in (and on a GPU where one exists) against the plain
// references, on the worked examples and on random inputs of sizes around the block widths.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "device/runtime/device_jobs.h"
#include "pipelines/pipelines.h"
#include "test_support.h"

namespace fwprune {
namespace {

ByteAdjacencyMatrix adjacency(int n, std::vector<std::uint8_t> cells) {
    ByteAdjacencyMatrix m;
    m.n = n;
    m.cells = std::move(cells);
    return m;
}

WeightMatrix weights(int n, std::vector<float> cells) {
    WeightMatrix m;
    m.n = n;
    m.cells = std::move(cells);
    return m;
}

std::vector<std::uint8_t> edges(int n, std::initializer_list<std::pair<int, int>> list) {
    std::vector<std::uint8_t> cells(std::size_t(n) * n, 0);
    for (auto [a, b] : list) cells[std::size_t(a) * n + b] = 1;
    return cells;
}

std::vector<std::uint8_t> reduceOnStandIn(int n, std::vector<std::uint8_t> cells, int threads = 2) {
    ByteAdjacencyMatrix m = adjacency(n, std::move(cells));
    reduceTransitivelyOnDevice(*openEmulatedRuntime(threads), m);
    return m.cells;
}

std::vector<float> pruneOnStandIn(int n, std::vector<float> cells, float lower, float upper,
                                  int threads = 2) {
    WeightMatrix m = weights(n, std::move(cells));
    pruneWeakestLinksOnDevice(*openEmulatedRuntime(threads), m, lower, upper);
    return m.cells;
}

TEST(ReachabilityKernels, WorkedExamples) {
    EXPECT_EQ(reduceOnStandIn(3, edges(3, {{0, 1}, {1, 2}, {0, 2}})), edges(3, {{0, 1}, {1, 2}}));
    EXPECT_EQ(reduceOnStandIn(4, edges(4, {{0, 1}, {1, 2}, {2, 3}, {0, 2}, {0, 3}, {1, 3}})),
              edges(4, {{0, 1}, {1, 2}, {2, 3}}));
    EXPECT_EQ(reduceOnStandIn(2, edges(2, {{0, 1}, {1, 0}})), edges(2, {}));
    // A self-loop removes itself and every edge into or out of its node.
    EXPECT_EQ(reduceOnStandIn(4, edges(4, {{0, 1}, {1, 2}, {2, 2}, {2, 3}, {0, 3}})),
              edges(4, {{0, 1}}));
    EXPECT_EQ(reduceOnStandIn(1, edges(1, {})), edges(1, {}));
}

TEST(ReachabilityKernels, MatchTheReferenceOnRandomGraphs) {
    // Sizes below, at and above the sweep block (256) and not multiples of the 16x16 tile.
    const int sizes[] = {2, 3, 15, 16, 17, 31, 100, 255, 256, 257, 300};
    std::uint32_t seed = 1;
    for (const int n : sizes) {
        for (const double density : {1.5 / n, 4.0 / n, 0.2}) {
            const auto cells = testing::randomAdjacency(n, density, seed++);
            ASSERT_EQ(reduceOnStandIn(n, cells, 1 + seed % 2),
                      testing::referenceReduction(cells, n))
                << "n=" << n << " density=" << density;
        }
    }
}

TEST(ReachabilityKernels, RandomDagReducesToItsTransitiveReduction) {
    // On a DAG an edge (u, v) is redundant exactly when v is reachable from another successor
    // of u: checked here by a plain depth-first search, independent of any sweep.
    const int n = 120;
    std::mt19937 random(3);
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    std::vector<std::uint8_t> cells(std::size_t(n) * n, 0);
    std::bernoulli_distribution edge(0.08);
    for (int a = 0; a < n; ++a) {
        for (int b = a + 1; b < n; ++b) {
            if (edge(random)) cells[std::size_t(order[a]) * n + order[b]] = 1;
        }
    }
    const auto reaches = [&](int from, int to) {
        std::vector<char> seen(n, 0);
        std::vector<int> stack{from};
        while (!stack.empty()) {
            const int u = stack.back();
            stack.pop_back();
            if (u == to) return true;
            for (int v = 0; v < n; ++v) {
                if (cells[std::size_t(u) * n + v] && !seen[v]) {
                    seen[v] = 1;
                    stack.push_back(v);
                }
            }
        }
        return false;
    };
    std::vector<std::uint8_t> expected(cells.size(), 0);
    for (int u = 0; u < n; ++u) {
        for (int v = 0; v < n; ++v) {
            if (!cells[std::size_t(u) * n + v]) continue;
            bool redundant = false;
            for (int w = 0; w < n && !redundant; ++w) {
                redundant = w != v && cells[std::size_t(u) * n + w] && reaches(w, v);
            }
            expected[std::size_t(u) * n + v] = redundant ? 0 : 1;
        }
    }
    EXPECT_EQ(reduceOnStandIn(n, cells), expected);
}

constexpr float kAbsent = 2.0f;

TEST(WeakestLinkKernels, WorkedExample) {
    const std::vector<float> input = {0, 0.2f, 0.9f, kAbsent, 0, 0.3f, kAbsent, kAbsent, 0};
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(3, input, 0.1f, 1.0f),
                                  {0, 0.2f, kAbsent, kAbsent, 0, 0.3f, kAbsent, kAbsent, 0}));
    // With the lower threshold at 1.0 every cell of 0.9 or less is held; nothing beats a 2.0.
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(3, input, 1.0f, 3.0f), input));
}

TEST(WeakestLinkKernels, ThresholdsSignsAndNaNs) {
    const float nan = std::nanf("");
    // A cell exactly at the lower threshold is held; one exactly at the upper one is absent.
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(2, {0.5f, 0.25f, 2.0f, 0.5f}, 0.25f, 0.5f),
                                  {kAbsent, 0.25f, kAbsent, kAbsent}));
    // -0.0 and negative inputs are always marked absent; NaN keeps its sign's fate.
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(2, {-0.0f, -0.7f, nan, -nan}, 0.1f, 1.0f),
                                  {kAbsent, kAbsent, nan, kAbsent}));
    // A NaN leg does not block a path: cell (0, 2) is beaten through node 1 by |cell (1, 2)|.
    const std::vector<float> legs = {0, nan, 0.9f, kAbsent, 0, 0.3f, kAbsent, kAbsent, 0};
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(3, legs, 0.1f, 1.0f),
                                  {0, nan, kAbsent, kAbsent, 0, 0.3f, kAbsent, kAbsent, 0}));
    // A path whose legs are both zero replaces a cell with -0.0, which the pass marks absent.
    EXPECT_TRUE(testing::sameBits(
        pruneOnStandIn(3, {0, 0, 0.5f, kAbsent, 0, 0, kAbsent, kAbsent, 0}, -1.0f, 1.0f),
        {0, 0, kAbsent, kAbsent, 0, 0, kAbsent, kAbsent, 0}));
}

TEST(WeakestLinkKernels, UpperThresholdAtOrBelowEveryWeightLeavesOnlyTheDiagonal) {
    const std::vector<float> input = {0, 0.6f, 0.7f, 0.8f, 0, 0.9f, 0.65f, 0.75f, 0};
    EXPECT_TRUE(testing::sameBits(pruneOnStandIn(3, input, 0.1f, 0.6f),
                                  {0, kAbsent, kAbsent, kAbsent, 0, kAbsent, kAbsent, kAbsent, 0}));
}

TEST(WeakestLinkKernels, MatchTheReferenceOnRandomMatricesWithSpecialValues) {
    const int sizes[] = {1, 2, 17, 100, 255, 256, 257, 511, 512, 513};
    const float thresholds[][2] = {{0.1f, 0.9f}, {0.0f, 0.5f}, {-1.0f, 2.0f}, {0.3f, INFINITY}};
    std::uint32_t seed = 100;
    for (const int n : sizes) {
        for (const auto& t : thresholds) {
            if (n > 300 && t[0] != 0.1f) continue;  // keep the stand-in's time in check
            const auto input = testing::randomWeights(n, t[0], t[1], seed++);
            ASSERT_TRUE(testing::sameBits(pruneOnStandIn(n, input, t[0], t[1], 1 + seed % 2),
                                          testing::referenceWeakestLink(input, n, t[0], t[1])))
                << "n=" << n << " lower=" << t[0] << " upper=" << t[1];
        }
    }
}

TEST(Kernels, OnTheGpuMatchTheStandIn) {
    if (!cudaDeviceAvailable()) GTEST_SKIP() << "no usable CUDA device on this machine";
    const auto gpu = openCudaRuntime();
    for (const int n : {3, 255, 257, 700}) {
        const auto cells = testing::randomAdjacency(n, 3.0 / n, n);
        ByteAdjacencyMatrix m = adjacency(n, cells);
        reduceTransitivelyOnDevice(*gpu, m);
        EXPECT_EQ(m.cells, testing::referenceReduction(cells, n)) << n;
        const auto input = testing::randomWeights(n, 0.1f, 0.9f, n);
        WeightMatrix w = weights(n, input);
        pruneWeakestLinksOnDevice(*gpu, w, 0.1f, 0.9f);
        EXPECT_TRUE(testing::sameBits(w.cells, pruneOnStandIn(n, input, 0.1f, 0.9f))) << n;
    }
}

}  // namespace
}  // namespace fwprune
