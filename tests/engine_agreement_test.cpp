// The native CPU engine against the kernels run through the stand-in: byte for byte, on random
// inputs with every special value, at sizes around the block widths, on 1 and 2 threads.
#include <gtest/gtest.h>

#include "cpu/cpu_engine.h"
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

}  // namespace
}  // namespace fwprune
