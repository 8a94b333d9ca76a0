// The native CPU engines against the kernels run through the stand-in: byte for byte, on random
// inputs with every special value, at sizes around the block widths, on 1 and 2 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "common/cancel.h"
#include "common/error.h"
#include "common/parallel.h"
#include "common/radix_sort.h"
#include "cpu/cpu_engine.h"
#include "cpu/sparse_reduction_internal.h"
#include "cpu/weakest_link_ordered_internal.h"
#include "device/runtime/device_jobs.h"
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
// The sparse route sorts its records with the threaded radix sort; a fault there (an unstable
// split, a digit past the range, a slice boundary) scrambles edges only on some thread counts and
// sizes. Against std::stable_sort on the same bits: keys alike in the sorted bits differ in the
// others, so a change of their order shows.
TEST(EngineAgreement, ThreadedRadixSortIsTheStableSortOnAnyThreadCount) {
    std::mt19937_64 random(20261208);
    const std::pair<int, int> ranges[] = {{0, 64}, {0, 7}, {5, 40}, {32, 64}, {11, 33}};
    for (const int threads : {1, 2, 3}) {
        ThreadPool pool(threads);
        for (const std::size_t count : {0u, 1u, 2u, 1000u, 70001u, 200003u}) {
            for (const auto& [low, high] : ranges) {
                // Few distinct values in the sorted bits, so many keys tie.
                std::vector<std::uint64_t> keys(count);
                for (std::uint64_t& key : keys) key = random() & ~(std::uint64_t{0x3c} << low);
                const auto bits = [low = low, high = high](std::uint64_t key) {
                    return high - low == 64 ? key
                                            : key >> low & ((std::uint64_t{1} << (high - low)) - 1);
                };
                std::vector<std::uint64_t> expected = keys;
                std::stable_sort(
                    expected.begin(), expected.end(),
                    [&](std::uint64_t a, std::uint64_t b) { return bits(a) < bits(b); });
                std::vector<std::uint64_t> scratch(count);
                radixSort(keys.data(), count, low, high, scratch.data(), pool, [] {});
                ASSERT_EQ(keys, expected)
                    << threads << " threads, " << count << " keys, bits " << low << " to " << high;
            }
        }
    }
}

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
    constexpr int n = 140000;  // 18 bits: an odd number of digits below the buckets' bits
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
    // Lines shuffled, then node numbers shuffled too, then lines listing each node's edges in
    // after those of its predecessors (as a history lists its commits), with the window given by
    // the caller so that the route numbers the nodes as the lines first name them.
    ThreadPool pool(2);
    for (const int numbering : {0, 1, 2}) {
        if (numbering == 1) std::shuffle(label.begin(), label.end(), random);
        records.clear();
        std::vector<std::uint64_t> want;
        for (int u = 0; u < n; ++u) {
            for (const int v : successors[u])
                records.push_back(std::uint64_t(label[u]) << 32 | label[v]);
        }
        if (numbering == 2) {
            std::vector<std::pair<int, int>> byTarget;
            for (int u = 0; u < n; ++u) {
                for (const int v : successors[u]) byTarget.push_back({v, u});
            }
            std::sort(byTarget.begin(), byTarget.end());
            for (std::size_t e = 0; e < byTarget.size(); ++e) {
                records[e] =
                    std::uint64_t(label[byTarget[e].second]) << 32 | label[byTarget[e].first];
            }
        }
        for (const std::uint64_t e : expected)
            want.push_back(std::uint64_t(label[e >> 32]) << 32 | label[e & 0xffffffffu]);
        std::sort(want.begin(), want.end());
        if (numbering < 2) std::shuffle(records.begin(), records.end(), random);
        const cpu::ReducedEdges reduced =
            cpu::reduceEdgeRecords(records, pool, {}, numbering < 2 ? 0 : 128);
        ASSERT_EQ(reduced.distinct, records.size());
        ASSERT_EQ(reduced.kept, want) << "numbering " << numbering;
    }
}

// Small graphs of the shapes the sparse route meets, every edge from a lower node to a higher one.
std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>> sparseShapes(
    std::mt19937& random) {
    std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>> shapes;
    const auto below = [&](int x) { return int(random() % std::uint32_t(x)); };
    for (const int leaves : {8, 12}) {  // leaves numbered after the chain
        auto& [name, e] =
            shapes.emplace_back("chain with leaves", std::vector<std::pair<int, int>>{});
        const int c = 240 / (leaves + 1);
        for (int i = 0; i < c; ++i) {
            if (i + 1 < c) e.push_back({i, i + 1});
            for (int l = 0; l < leaves; ++l) e.push_back({i, c + i * leaves + l});
        }
    }
    {
        auto& [name, e] = shapes.emplace_back("star of chains", std::vector<std::pair<int, int>>{});
        for (int k = 0; k < 4; ++k) {  // chains longer than a piece of a walk's list (64)
            e.push_back({0, 1 + 70 * k});
            for (int i = 1; i < 70; ++i) e.push_back({70 * k + i, 70 * k + i + 1});
        }
    }
    {
        auto& [name, e] =
            shapes.emplace_back("bipartite layers", std::vector<std::pair<int, int>>{});
        for (int layer = 0; layer + 1 < 8; ++layer)
            for (int p = 0; p < 6; ++p)
                for (int q = 0; q < 6; ++q) e.push_back({6 * layer + p, 6 * layer + 6 + q});
        for (int k = 0; k < 20; ++k) {  // bypassed edges across two or more layers
            const int a = below(30);
            e.push_back({a, 6 * (a / 6 + 2 + below(3)) + below(6)});
        }
    }
    {
        auto& [name, e] =
            shapes.emplace_back("chain with shortcuts", std::vector<std::pair<int, int>>{});
        for (int i = 0; i + 1 < 250; ++i) e.push_back({i, i + 1});
        // Shortcuts of a one-word window's length exactly, which cross the top of any block
        // of ranks that the main pass splits the chain into.
        for (int i = 0; i + 64 < 250; ++i) e.push_back({i, i + 64});
        for (int k = 0; k < 60; ++k) {
            const int a = below(250), b = below(250);
            if (std::abs(a - b) > 1) e.push_back({std::min(a, b), std::max(a, b)});
        }
    }
    for (const bool hub : {true, false}) {  // a local DAG, with or without a hub reaching it all
        auto& [name, e] =
            shapes.emplace_back(hub ? "hub" : "local DAG", std::vector<std::pair<int, int>>{});
        for (int v = 2; v < 200; ++v) {
            for (int k = 0; k < (hub ? 2 : 4); ++k) {
                const int back =
                    random() % 10 == 0 ? 1 + below(v - 1) : 1 + below(std::min(v - 1, 15));
                e.push_back({v - back, v});
            }
            if (hub) e.push_back({0, v});
        }
    }
    {  // a history: a main line, branches forking from it and merged back, some merges redundant
        auto& [name, e] = shapes.emplace_back("history", std::vector<std::pair<int, int>>{});
        std::vector<int> branches;
        int main = 0;
        // (Past 1,024 commits, whose numbers take 11 bits: the kept edges then go to buckets.)
        for (int c = 1; c < 1100; ++c) {
            const int draw = below(100);
            if (draw < 8 && branches.size() < 6) {
                branches.push_back(c);
                e.push_back({std::max(0, main - below(4)), c});
            } else if (draw < 55 || branches.empty()) {
                e.push_back({main, c});
                main = c;
            } else if (draw < 90) {
                int& tip = branches[random() % branches.size()];
                e.push_back({tip, c});
                tip = c;
            } else {
                const std::size_t b = random() % branches.size();
                e.push_back({main, c});
                e.push_back({draw % 3 == 0 ? std::max(0, main - below(5)) : branches[b], c});
                branches.erase(branches.begin() + std::ptrdiff_t(b));
                main = c;
            }
        }
        // The same history as files list it: each commit, oldest first, with its parents,
        // edges from child to parent; the third commit merges the second and the first, which
        // the second already has.
        std::vector<std::pair<int, int>> listed{{1, 0}, {2, 1}, {2, 0}};
        for (const auto& [parent, child] : e)
            if (child > 2) listed.push_back({child, parent});
        shapes.emplace_back("history, child to parent", std::move(listed));
    }
    {  // dependencies: power-law out-degrees, popular (early) packages depended on most
        auto& [name, e] = shapes.emplace_back("dependencies", std::vector<std::pair<int, int>>{});
        for (int v = 1; v < 200; ++v) {
            const int k = std::min(v, 1 + int(std::pow(2.0, below(5))) - 1);
            for (int j = 0; j < k; ++j) {
                const double r = double(random()) / random.max();
                e.push_back({int(v * r * r * r), v});
            }
        }
    }
    return shapes;
}

// The sparse route against the sweeps route and a plain reference, the same records, on every
// shape under every numbering: in order (every edge up), reversed (every edge down), shuffled
// (mixed; also with the lines in the shape's order, which the route numbers as they first
// appear), by first appearance (one way but an edge or a few), each also spread up to 2^31 - 1,
// without cycles, with self-loops, with cycles, with the route's own window and with one of a
// single word, so that most edges are longer than it, on one thread and on three (which split every
// pass unevenly).
TEST(EngineAgreement, SparseRouteAgreesOnEveryShapeAndNumbering) {
    std::mt19937 random(19);
    ThreadPool one(1);
    ThreadPool three(3);
    for (const auto& [shape, dag] : sparseShapes(random)) {
        for (const int cycles : {0, 1, 2}) {  // none, self-loops only, both
            std::vector<std::pair<int, int>> edges = dag;
            int n = 0;
            for (const auto& [a, b] : edges) n = std::max({n, a + 1, b + 1});
            if (cycles == 2) {
                for (int k = 0; k < n / 25 + 1; ++k) {
                    const auto& [a, b] = edges[random() % edges.size()];
                    edges.push_back({b, a});  // closes a cycle through that edge
                }
                edges.push_back({int(random() % n), int(random() % n)});
            }
            for (int k = 0; k < cycles; ++k) {
                const int x = int(random() % n);
                edges.push_back({x, x});
            }
            // The plain reference on dense numbers 0 .. n-1: an edge survives iff neither end
            // lies on a cycle and no other successor of its source reaches its target.
            std::vector<std::vector<int>> successors(n);
            for (const auto& [a, b] : edges) successors[a].push_back(b);
            std::vector<std::vector<char>> reaches(n, std::vector<char>(n, 0));
            for (int x = 0; x < n; ++x) {
                std::vector<int> stack(successors[x]);
                while (!stack.empty()) {
                    const int y = stack.back();
                    stack.pop_back();
                    if (reaches[x][y]) continue;
                    reaches[x][y] = 1;
                    stack.insert(stack.end(), successors[y].begin(), successors[y].end());
                }
            }
            for (const std::string numbering :
                 {"in order", "reversed", "shuffled", "first seen", "first seen, targets first"}) {
                std::vector<std::uint32_t> label(n);
                for (int x = 0; x < n; ++x) label[x] = std::uint32_t(x);
                if (numbering[0] == 'r') std::reverse(label.begin(), label.end());
                if (numbering[0] == 's') std::shuffle(label.begin(), label.end(), random);
                if (numbering[0] == 'f') {
                    // By first appearance, as a labelled file numbers its nodes: a history listed
                    // child, parent has one edge against the rest, into its root (a sink); named
                    // target first, the history listed parent, child has one, from its root.
                    std::vector<char> named(n, 0);
                    std::uint32_t next = 0;
                    const auto name = [&](int x) {
                        if (!named[x]) label[x] = next++;
                        named[x] = 1;
                    };
                    for (const auto& [a, b] : edges) {
                        if (numbering == "first seen") name(a);
                        name(b);
                        name(a);
                    }
                    for (int x = 0; x < n; ++x) name(x);
                }
                std::vector<std::uint64_t> dense;
                std::vector<std::uint64_t> expected;
                for (const auto& [a, b] : edges) {
                    dense.push_back(std::uint64_t{label[a]} << 32 | label[b]);
                    if (reaches[a][a] || reaches[b][b]) continue;
                    const bool bypassed =
                        std::any_of(successors[a].begin(), successors[a].end(),
                                    [&, b = b](int w) { return w != b && reaches[w][b]; });
                    if (!bypassed) expected.push_back(dense.back());
                }
                std::sort(expected.begin(), expected.end());
                expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
                // Numbers at random, lines in the order the shape lists its edges.
                const std::vector<std::uint64_t> listed = dense;
                std::shuffle(dense.begin(), dense.end(), random);
                dense.push_back(dense[random() % dense.size()]);  // a repeated record
                const std::vector<std::uint64_t> sweeps =
                    cpu::reduceEdgeRecordsOnBits(dense, n, 1).kept;
                // Spread: the same order of numbers, drawn from 0 .. 2^31 - 1.
                std::vector<std::uint32_t> spread(n);
                std::uniform_int_distribution<std::uint32_t> anywhere(0, 2147483647u);
                for (std::uint32_t& s : spread) s = anywhere(random);
                std::sort(spread.begin(), spread.end());
                spread.erase(std::unique(spread.begin(), spread.end()), spread.end());
                ASSERT_EQ(spread.size(), std::size_t(n));
                const auto spreadOut = [&](std::vector<std::uint64_t> records) {
                    for (std::uint64_t& r : records)
                        r = std::uint64_t{spread[r >> 32]} << 32 | spread[std::uint32_t(r)];
                    return records;
                };
                ASSERT_EQ(sweeps, expected) << shape << ", " << numbering;
                for (const std::uint32_t window : {0u, 1u}) {
                    for (ThreadPool* pool : {&one, &three}) {
                        const std::string where = shape + ", " + numbering +
                                                  (cycles == 2   ? ", cycles"
                                                   : cycles == 1 ? ", self-loops"
                                                                 : "") +
                                                  (window ? ", one-word window" : "") + ", " +
                                                  std::to_string(pool->size()) + " threads";
                        ASSERT_EQ(cpu::reduceEdgeRecords(dense, *pool, {}, window).kept, expected)
                            << where;
                        ASSERT_EQ(cpu::reduceEdgeRecords(spreadOut(dense), *pool, {}, window).kept,
                                  spreadOut(expected))
                            << where << ", spread";
                        if (numbering[0] == 's') {
                            ASSERT_EQ(
                                cpu::reduceEdgeRecords(spreadOut(listed), *pool, {}, window).kept,
                                spreadOut(expected))
                                << where << ", spread, listed in order";
                        }
                    }
                }
            }
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
    // Too few light legs to join every node: the spanning tree is taken from the whole matrix.
    cpu::detail::OrderedOptions fewLightLegs;
    fewLightLegs.firstBatch = 2;
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
                         {cpu::detail::OrderedOptions{}, closure, tinyBatches, fewLightLegs}) {
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

// The largest batches are sorted on both threads before they are processed. Buckets of uneven
// sizes (one empty, one of a single key) come out sorted on the bits asked, stably; and a cancel
// the caller gives while they are sorted is heard there, by the only thread that may ask.
TEST(EngineAgreement, OrderedRoutesParallelSortSortsEveryBucketAndHearsACancel) {
    std::mt19937_64 random(23);
    std::vector<std::uint64_t> keys(std::size_t{3} << 20);
    // Half the keys small, so that many share their digits and the order among them shows.
    for (std::size_t x = 0; x < keys.size(); ++x) keys[x] = random() >> (x % 2 == 0 ? 0 : 40);
    const std::vector<std::size_t> bucketStart = {0, 5, 5, 6, std::size_t{1} << 20, keys.size()};
    ThreadPool pool(2);
    std::vector<std::uint64_t> scratch(keys.size());
    std::vector<std::uint64_t> sorted = keys;
    cpu::detail::sortBuckets(sorted.data(), bucketStart, 12, 43, pool, scratch.data());
    const auto digits = [](std::uint64_t key) { return (key >> 12) & ((1ull << 31) - 1); };
    for (std::size_t k = 0; k + 1 < bucketStart.size(); ++k) {
        std::vector<std::uint64_t> expected(keys.begin() + std::ptrdiff_t(bucketStart[k]),
                                            keys.begin() + std::ptrdiff_t(bucketStart[k + 1]));
        std::stable_sort(expected.begin(), expected.end(),
                         [&](std::uint64_t a, std::uint64_t b) { return digits(a) < digits(b); });
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                               sorted.begin() + std::ptrdiff_t(bucketStart[k])))
            << "bucket " << k;
    }
    int asked = 0;
    const CancelScope scope([&] { return ++asked > 0; });
    // Past the least time between two questions, so that the sort's first check asks.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sorted = keys;
    try {
        cpu::detail::sortBuckets(sorted.data(), bucketStart, 12, 43, pool, scratch.data());
        ADD_FAILURE() << "the sort ran to its end through a cancel";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::Cancelled);
    }
    EXPECT_EQ(asked, 1);
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
            pruneWeightMatrix({matrix.cells.data(), n, std::size_t(n)}, 0.25f, 1.5f, options);
            EXPECT_EQ(stats.route, Route::Sweeps) << "n=" << n;
            EXPECT_TRUE(testing::sameBits(matrix.cells,
                                          testing::referenceWeakestLink(input, n, 0.25f, 1.5f)));
        }
    }
}

}  // namespace
}  // namespace fwprune
