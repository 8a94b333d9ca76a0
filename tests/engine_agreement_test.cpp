// The native CPU engines against the kernels run through the stand-in: byte for byte, on random
// inputs with every special value, at sizes around the block widths, on 1 and 2 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

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
