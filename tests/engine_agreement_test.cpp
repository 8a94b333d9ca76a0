// The native CPU engines against the kernels run through the stand-in: byte for byte, on random
// inputs with every special value, at sizes around the block widths, on 1 and 2 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_ordered_internal.h"
#include "pipelines/pipelines.h"
#include "test_support.h"

namespace fwprune {
namespace {

TEST(EngineAgreement, TransitiveReductionMatchesTheStandInByteForByte) {
    std::uint32_t seed = 900;
    for (const int n : {1, 63, 64, 65, 255, 256, 257, 400}) {
        for (const double density : {2.0 / n, 0.05, 0.3}) {
            ByteAdjacencyMatrix onStandIn;
            onStandIn.n = n;
            onStandIn.cells = testing::randomAdjacency(n, density, seed++);
            ByteAdjacencyMatrix onCpu = onStandIn;
            reduceTransitivelyOnDevice(*openEmulatedRuntime(2), onStandIn);
            cpu::reduceTransitively(onCpu.cells.data(), n, 1 + int(seed % 2));
            ASSERT_EQ(onCpu.cells, onStandIn.cells) << "n=" << n << " density=" << density;
        }
    }
}

// The sparse route from file to file against the matrix routes (CPU engine and stand-in) and the
// plain reference: random graphs with cycles, self-loops, repeated and negative records, once
// with small node numbers and once spread up to 2^31 - 1 (which only the sparse route can hold;
// a monotone renumbering must give the renumbered bytes).
TEST(EngineAgreement, SparseRouteWritesTheBytesOfTheMatrixRoutes) {
    testing::ScratchDir dir;
    const auto runRoute = [&](const std::string& input, Backend backend, Route route) {
        RunOptions options;
        options.backend = backend;
        options.route = route;
        runTransitiveReductionPipeline(input, dir.file("out.txt"), options);
        return testing::readText(dir.file("out.txt"));
    };
    std::mt19937 random(77);
    for (const int n : {1, 2, 63, 64, 65, 130, 300}) {
        for (const double degree : {0.5, 1.5, 4.0, 20.0}) {
            const std::uint32_t spread = 2147483647u / std::uint32_t(n);
            std::vector<std::uint8_t> cells(std::size_t(n) * n, 0);
            std::string small, huge;
            std::uniform_int_distribution<int> node(0, n - 1);
            // Mostly forward edges, so that some graphs are DAGs with long reductions.
            const bool acyclic = random() % 2 == 0;
            for (int e = 0; e < degree * n; ++e) {
                int a = node(random), b = node(random);
                if (acyclic && a >= b) continue;
                const int copies = random() % 8 == 0 ? 2 : 1;
                for (int c = 0; c < copies; ++c) {
                    cells[std::size_t(a) * n + b] = 1;
                    small += std::to_string(a) + " edge " + std::to_string(b) + "\n";
                    huge += std::to_string(2147483647u - (n - 1 - a) * spread) + " e " +
                            std::to_string(2147483647u - (n - 1 - b) * spread) + "\n";
                }
                if (random() % 16 == 0) small += "-5 edge " + std::to_string(b) + "\n";
            }
            const std::vector<std::uint8_t> reduced = testing::referenceReduction(cells, n);
            std::string expected, expectedHuge;
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j) {
                    if (!reduced[std::size_t(i) * n + j]) continue;
                    expected += std::to_string(i) + " edge " + std::to_string(j) + "\n";
                    expectedHuge += std::to_string(2147483647u - (n - 1 - i) * spread) + " edge " +
                                    std::to_string(2147483647u - (n - 1 - j) * spread) + "\n";
                }
            }
            testing::writeText(dir.file("small.txt"), small);
            testing::writeText(dir.file("huge.txt"), huge);
            const std::string where =
                "n=" + std::to_string(n) + " degree=" + std::to_string(degree);
            ASSERT_EQ(runRoute(dir.file("small.txt"), Backend::Cpu, Route::Sparse), expected)
                << where;
            ASSERT_EQ(runRoute(dir.file("small.txt"), Backend::Cpu, Route::Sweeps), expected)
                << where;
            ASSERT_EQ(runRoute(dir.file("small.txt"), Backend::Emulated, Route::Auto), expected)
                << where;
            ASSERT_EQ(runRoute(dir.file("huge.txt"), Backend::Auto, Route::Auto), expectedHuge)
                << where;
        }
    }
}

// A DAG too large for the plain reference's n^3 sweeps, with edges far longer than the sparse
// route's reachability window and hubs with hundreds of them, numbered in topological order and
// shuffled: every edge is checked by a search for another path, and the search needs only nodes
// numbered below the target.
TEST(EngineAgreement, SparseRouteKeepsExactlyTheEdgesWithNoOtherPath) {
    constexpr int n = 20000;
    std::mt19937 random(5);
    std::vector<std::vector<int>> successors(n);
    std::vector<std::uint64_t> records;
    for (int u = 0; u + 1 < n; ++u) {
        // A few hubs with hundreds of edges, most of them long.
        const int edges = u % 2000 == 0 ? 300 : 3;
        for (int e = 0; e < edges; ++e) {
            const int span =
                random() % 50 == 0 || edges > 3 ? 1 + int(random() % 6000) : 1 + int(random() % 40);
            if (u + span < n) successors[u].push_back(u + span);
        }
        std::sort(successors[u].begin(), successors[u].end());
        successors[u].erase(std::unique(successors[u].begin(), successors[u].end()),
                            successors[u].end());
    }
    std::vector<std::uint64_t> expected;
    std::vector<int> seen(n, -1);  // the search that last saw a node
    std::vector<int> stack;
    int search = 0;
    for (int u = 0; u < n; ++u) {
        for (const int v : successors[u]) {
            bool bypassed = false;
            stack.clear();
            ++search;
            for (const int w : successors[u]) {
                if (w < v) stack.push_back(w);
            }
            while (!stack.empty() && !bypassed) {
                const int x = stack.back();
                stack.pop_back();
                for (const int y : successors[x]) {
                    if (y == v) bypassed = true;
                    if (y < v && seen[y] != search) {
                        seen[y] = search;
                        stack.push_back(y);
                    }
                }
            }
            if (!bypassed) expected.push_back(std::uint64_t(u) << 32 | std::uint32_t(v));
        }
    }
    std::vector<std::uint32_t> label(n);
    for (int x = 0; x < n; ++x) label[x] = std::uint32_t(x);
    for (const bool shuffled : {false, true}) {
        if (shuffled) std::shuffle(label.begin(), label.end(), random);
        records.clear();
        std::vector<std::uint64_t> want;
        for (int u = 0; u < n; ++u) {
            for (const int v : successors[u])
                records.push_back(std::uint64_t(label[u]) << 32 | label[v]);
        }
        for (const std::uint64_t e : expected)
            want.push_back(std::uint64_t(label[e >> 32]) << 32 | label[e & 0xffffffffu]);
        std::sort(want.begin(), want.end());
        std::shuffle(records.begin(), records.end(), random);
        const cpu::ReducedEdges reduced = cpu::reduceEdgeRecords(records);
        ASSERT_EQ(reduced.distinct, records.size());
        ASSERT_EQ(reduced.kept, want) << (shuffled ? "shuffled" : "in order");
    }
}

TEST(EngineAgreement, WeakestLinkMatchesTheStandInBitForBit) {
    const float thresholds[][2] = {{0.1f, 0.9f}, {0.0f, 0.5f}, {-1.0f, 2.0f}};
    std::uint32_t seed = 950;
    for (const int n : {1, 63, 64, 65, 255, 256, 257, 513}) {
        for (const auto& t : thresholds) {
            if (n > 300 && t[0] != 0.1f) continue;
            WeightMatrix onStandIn;
            onStandIn.n = n;
            onStandIn.cells = testing::randomWeights(n, t[0], t[1], seed++);
            WeightMatrix onCpu = onStandIn;
            pruneWeakestLinksOnDevice(*openEmulatedRuntime(2), onStandIn, t[0], t[1]);
            cpu::pruneWeakestLinks(onCpu.cells.data(), n, std::size_t(n), t[0], t[1],
                                   1 + int(seed % 2));
            ASSERT_TRUE(testing::sameBits(onCpu.cells, onStandIn.cells))
                << "n=" << n << " lower=" << t[0] << " upper=" << t[1];
        }
    }
}

// Weights without NaN that make the ordered route's answers hard: kind 0 mixes every special value
// with ordinary weights; kind 1 draws from five values, so most cells tie with others; kind 2
// leaves most pairs absent (2.0 or inf), so reachability stays partial; kind 3 builds weights no
// path beats (the widest gap between two points on a line), so only the special cells decide.
// symmetric mirrors each magnitude across the diagonal, with random signs.
std::vector<float> orderedStress(int n, float lower, float upper, int kind, bool symmetric,
                                 std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 3.0f);
    const float heldTop = lower > 0.0f && lower < 3.0f ? lower : 0.5f;
    std::uniform_real_distribution<float> held(0.0f, heldTop);
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {inf,
                              -inf,
                              0.0f,
                              -0.0f,
                              1e-45f,
                              -1e-45f,
                              1e-39f,
                              2.0f,
                              -2.0f,
                              lower,
                              -lower,
                              upper,
                              -upper,
                              std::nextafter(lower, inf),
                              std::nextafter(lower, -inf),
                              std::nextafter(upper, -inf)};
    const float ties[] = {0.0f, 0.25f, 0.5f, 1.0f, 2.0f};
    std::vector<float> gap(static_cast<std::size_t>(n));
    for (float& g : gap) g = unit(random);
    const auto special = [&] {
        const float v = specials[random() % (sizeof specials / sizeof specials[0])];
        return std::isnan(v) ? 0.0f : v;
    };
    std::vector<float> m(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const int roll = static_cast<int>(random() % 100);
            float v;
            if (kind == 1) {
                v = roll < 10 ? special() : ties[random() % 5] * (roll < 20 ? -1.0f : 1.0f);
            } else if (kind == 2 && roll < 85) {
                v = roll % 2 ? 2.0f : inf;
            } else if (kind == 3 && roll >= 5) {
                float widest = 0.0f;
                for (int r = std::min(i, j); r < std::max(i, j); ++r)
                    widest = std::max(widest, gap[r]);
                v = widest;
            } else {
                v = roll % 4 == 0   ? special()
                    : roll % 4 == 1 ? held(random)
                    : roll % 8 == 2 ? -unit(random)
                                    : unit(random);
            }
            if (symmetric && j < i) {
                v = std::fabs(m[static_cast<std::size_t>(j) * n + i]) *
                    (roll % 3 == 0 ? -1.0f : 1.0f);
            }
            m[static_cast<std::size_t>(i) * n + j] = v;
        }
    }
    return m;
}

TEST(EngineAgreement, OrderedRouteMatchesTheSweepsAndTheStandInBitForBit) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float thresholds[][2] = {{0.25f, 1.5f}, {0.0f, 1.0f}, {-1.0f, 2.0f},
                                   {1.0f, 0.5f},  {0.5f, 0.5f}, {1e-45f, 2.5f},
                                   {-0.0f, inf},  {nan, 1.5f},  {0.25f, nan}};
    cpu::detail::OrderedOptions closure;
    closure.method = cpu::detail::OrderedMethod::Closure;
    // Batches of a few events: several batches, buckets split again, and magnitudes streamed.
    cpu::detail::OrderedOptions tinyBatches = closure;
    tinyBatches.batchCapacity = 5;
    tinyBatches.firstBatch = 2;
    std::uint32_t seed = 1200;
    int cases = 0;
    for (const int n : {1, 2, 3, 7, 8, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129}) {
        for (const auto& t : thresholds) {
            for (int kind = 0; kind < 4; ++kind) {
                for (const bool symmetric : {false, true}) {
                    const std::vector<float> input =
                        orderedStress(n, t[0], t[1], kind, symmetric, seed++);
                    const std::vector<float> expected =
                        testing::referenceWeakestLink(input, n, t[0], t[1]);
                    const auto where = [&] {
                        return "n=" + std::to_string(n) + " lower=" + std::to_string(t[0]) +
                               " upper=" + std::to_string(t[1]) + " kind=" + std::to_string(kind) +
                               (symmetric ? " symmetric" : "");
                    };
                    std::vector<float> sweeps = input;
                    cpu::pruneWeakestLinks(sweeps.data(), n, std::size_t(n), t[0], t[1], 2);
                    ASSERT_TRUE(testing::sameBits(sweeps, expected)) << "sweeps, " << where();
                    for (const auto& options :
                         {cpu::detail::OrderedOptions{}, closure, tinyBatches}) {
                        std::vector<float> ordered = input;
                        ASSERT_TRUE(cpu::detail::pruneWeakestLinksOrdered(
                            ordered.data(), n, std::size_t(n), t[0], t[1], 1 + int(seed % 2), {},
                            options));
                        ASSERT_TRUE(testing::sameBits(ordered, expected))
                            << "ordered (method " << int(options.method) << ", batch "
                            << options.batchCapacity << "), " << where();
                    }
                    // The kernels themselves, on a share of the cases (the stand-in is slow).
                    if (cases++ % 5 == 0) {
                        WeightMatrix onStandIn;
                        onStandIn.n = n;
                        onStandIn.cells = input;
                        pruneWeakestLinksOnDevice(*openEmulatedRuntime(2), onStandIn, t[0], t[1]);
                        ASSERT_TRUE(testing::sameBits(onStandIn.cells, expected))
                            << "stand-in, " << where();
                    }
                }
            }
        }
    }
}

// The closure on millions of events, with its default batches: a matrix whose light legs form a
// DAG (upper triangle) never completes, so every one of them is gathered, and the last batches
// hold over a million events, which are sorted on both threads ahead of processing. Magnitudes
// come in 4096 steps, so that groups of equal magnitude are hundreds of cells large, with negative
// cells (legs that are cut), held cells, and cells at both thresholds among them. n is no
// multiple of 64.
TEST(EngineAgreement, OrderedRouteMatchesTheSweepsOnMillionsOfEvents) {
    const int n = 2501;
    const float lower = 0.125f;
    const float upper = 0.875f;
    std::mt19937 random(2501);
    std::vector<float> input(std::size_t(n) * n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const int roll = static_cast<int>(random() % 100);
            float v = static_cast<float>(random() % 4096) / 4096.0f;
            if (roll < 3) v = roll == 0 ? lower : roll == 1 ? upper : -0.0f;
            if (roll >= 3 && roll < 8) v = -v;
            // Below the diagonal: cut cells heavier than any question, legs never needed.
            input[std::size_t(i) * n + j] = j < i ? 1.75f : v;
        }
    }
    std::vector<float> sweeps = input;
    cpu::pruneWeakestLinks(sweeps.data(), n, std::size_t(n), lower, upper, 2);
    std::vector<float> ordered = input;
    cpu::detail::OrderedOptions closure;
    closure.method = cpu::detail::OrderedMethod::Closure;
    ASSERT_TRUE(cpu::detail::pruneWeakestLinksOrdered(ordered.data(), n, std::size_t(n), lower,
                                                      upper, 2, {}, closure));
    EXPECT_TRUE(testing::sameBits(ordered, sweeps));
}

// A NaN makes the result depend on the order of the sweeps: the ordered engine declines, and the
// route choice runs the sweeps and says so.
TEST(EngineAgreement, MatricesWithANaNTakeTheSweeps) {
    for (const int n : {1, 40, 65}) {
        std::vector<float> input = orderedStress(n, 0.25f, 1.5f, 0, false, 77u + n);
        input[static_cast<std::size_t>(n) * n / 2] = -std::numeric_limits<float>::quiet_NaN();
        std::vector<float> untouched = input;
        EXPECT_FALSE(
            cpu::pruneWeakestLinksOrdered(untouched.data(), n, std::size_t(n), 0.25f, 1.5f, 2));
        EXPECT_TRUE(testing::sameBits(untouched, input));
        for (const Route route : {Route::Auto, Route::Ordered}) {
            WeightMatrix matrix;
            matrix.n = n;
            matrix.cells = input;
            RunStats stats;
            RunOptions options;
            options.backend = Backend::Cpu;
            options.route = route;
            options.stats = &stats;
            pruneWeakestLinks(matrix, 0.25f, 1.5f, options);
            EXPECT_EQ(stats.route, Route::Sweeps) << "n=" << n;
            EXPECT_TRUE(testing::sameBits(matrix.cells,
                                          testing::referenceWeakestLink(input, n, 0.25f, 1.5f)));
        }
    }
}

}  // namespace
}  // namespace fwprune
