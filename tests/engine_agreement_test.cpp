// The native CPU engine against the kernels run through the stand-in: byte for byte, on random
// inputs with every special value, at sizes around the block widths, on 1 and 2 threads.
#include <gtest/gtest.h>

#include <algorithm>

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

}  // namespace
}  // namespace fwprune
