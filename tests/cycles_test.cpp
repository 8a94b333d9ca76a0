// Cycles kept as cycles, and the report of removed edges: each mode against a plain reference on
// random graphs with cycles, self-loops and repeats, on every route; every witness checked by a
// search in the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "common/error.h"
#include "cpu/reduction_witnesses.h"
#include "graph_files/file_io.h"
#include "pipelines/reduction_cycles.h"
#include "pipelines/removed_cells.h"
#include "test_support.h"

namespace fwprune::testing {
namespace {

// The input as a small dense graph, with node numbers spread out by `stride` in the records so
// that renumbering matters.
struct Case {
    int n = 0;
    std::uint32_t stride = 1;
    std::vector<std::pair<int, int>> edges;  // repeats included

    std::uint32_t number(int x) const { return static_cast<std::uint32_t>(x) * stride; }
    int node(std::uint32_t number) const { return static_cast<int>(number / stride); }
    EdgeRecords records() const {
        EdgeRecords graph{std::int64_t{number(n - 1)} + 1, {}};
        for (const auto& [u, v] : edges)
            graph.records.push_back(std::uint64_t{number(u)} << 32 | number(v));
        return graph;
    }
};

Case randomCase(std::mt19937& random, int n, double density, std::uint32_t stride) {
    Case c{n, stride, {}};
    std::uniform_real_distribution<double> coin(0, 1);
    // Mostly forward edges with a few backward ones, so that components of every size form.
    for (int u = 0; u < n; ++u) {
        for (int v = 0; v < n; ++v) {
            const double p = u < v ? density : u == v ? 0.05 : density / 6;
            if (coin(random) < p) c.edges.push_back({u, v});
        }
    }
    const std::size_t repeats = c.edges.size() / 4;
    for (std::size_t r = 0; r < repeats; ++r) c.edges.push_back(c.edges[random() % c.edges.size()]);
    std::shuffle(c.edges.begin(), c.edges.end(), random);
    return c;
}

// reach[u][v]: a walk of one or more edges leads from u to v.
using Reach = std::vector<std::vector<std::uint8_t>>;
Reach reachOf(int n, const std::set<std::pair<int, int>>& edges) {
    Reach reach(n, std::vector<std::uint8_t>(n, 0));
    for (const auto& [u, v] : edges) reach[u][v] = 1;
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i)
            if (reach[i][k])
                for (int j = 0; j < n; ++j) reach[i][j] |= reach[k][j];
    return reach;
}

struct Outcome {
    std::vector<std::uint64_t> kept;
    std::vector<RemovedEdge> removed;
    bool operator==(const Outcome& o) const {
        return kept == o.kept && removed.size() == o.removed.size() &&
               std::equal(removed.begin(), removed.end(), o.removed.begin(),
                          [](const RemovedEdge& a, const RemovedEdge& b) {
                              return a.record == b.record && a.via == b.via && a.value == b.value &&
                                     a.reason == b.reason;
                          });
    }
};

Outcome run(const Case& c, Cycles cycles, Backend backend, Route route) {
    RunOptions options;
    options.cycles = cycles;
    options.backend = backend;
    options.route = route;
    options.threads = 2;
    Outcome outcome;
    EdgeRecords graph = c.records();
    outcome.kept = reduceEdgeRecordsWithCycles(graph, options, "test", &outcome.removed);
    return outcome;
}

// Checks the outcome of one mode against the plain reference, and every line of its report.
void checkAgainstReference(const Case& c, Cycles cycles, const Outcome& outcome) {
    const int n = c.n;
    const std::set<std::pair<int, int>> input(c.edges.begin(), c.edges.end());
    const Reach reach = reachOf(n, input);
    const auto component = [&](int x) {  // smallest node of x's strongly connected component
        for (int y = 0; y <= x; ++y)
            if (y == x || (reach[x][y] && reach[y][x])) return y;
        return x;
    };
    std::set<std::pair<int, int>> kept;
    for (const std::uint64_t r : outcome.kept)
        kept.insert({c.node(r >> 32), c.node(std::uint32_t(r))});
    ASSERT_TRUE(std::is_sorted(outcome.kept.begin(), outcome.kept.end()));
    ASSERT_EQ(kept.size(), outcome.kept.size());

    if (cycles == Cycles::Drop) {
        // Kept exactly when no walk of two or more edges leads from u to v.
        std::set<std::pair<int, int>> expected;
        for (const auto& [u, v] : input) {
            bool bypassed = false;
            for (int w = 0; w < n; ++w) bypassed |= input.count({u, w}) && reach[w][v];
            if (!bypassed) expected.insert({u, v});
        }
        EXPECT_EQ(kept, expected);
    } else {
        // The same reachability among distinct nodes ...
        const Reach after = reachOf(n, kept);
        for (int u = 0; u < n; ++u)
            for (int v = 0; v < n; ++v)
                if (u != v) {
                    ASSERT_EQ(after[u][v], reach[u][v]) << u << " -> " << v;
                }
        // ... with one cycle per component and the collapsed graph's reduction between them.
        std::map<int, int> size;
        for (int x = 0; x < n; ++x) ++size[component(x)];
        std::set<std::pair<int, int>> collapsed;
        for (const auto& [u, v] : input)
            if (component(u) != component(v)) collapsed.insert({component(u), component(v)});
        std::size_t expectedCount = 0;
        for (const auto& [first, k] : size) expectedCount += k >= 2 ? k : 0;
        for (const auto& [a, b] : collapsed) {
            bool bypassed = false;
            for (const auto& [x, y] : collapsed) bypassed |= x == a && y != b && reach[y][b];
            expectedCount += bypassed ? 0 : 1;
        }
        EXPECT_EQ(kept.size(), expectedCount);
        for (const auto& [u, v] : kept) {
            if (component(u) == component(v)) {
                // The next member in ascending order, or back to the first.
                int next = -1;
                for (int y = u + 1; y < n && next < 0; ++y)
                    if (component(y) == component(u)) next = y;
                EXPECT_EQ(v, next < 0 ? component(u) : next) << u << " -> " << v;
            } else {
                // The smallest input edge joining the two components.
                ASSERT_TRUE(input.count({u, v}));
                for (const auto& [x, y] : input) {
                    if (component(x) == component(u) && component(y) == component(v)) {
                        EXPECT_LE(std::make_pair(u, v), std::make_pair(x, y));
                    }
                }
            }
        }
    }

    // The report: every input edge not kept, once, in output order, each reason checked.
    std::vector<std::pair<int, int>> expectedRemoved;
    for (const auto& edge : input)
        if (!kept.count(edge)) expectedRemoved.push_back(edge);
    ASSERT_EQ(outcome.removed.size(), expectedRemoved.size());
    const auto onCycle = [&](int x) { return reach[x][x] != 0; };
    for (std::size_t i = 0; i < expectedRemoved.size(); ++i) {
        const RemovedEdge& line = outcome.removed[i];
        const auto [u, v] = expectedRemoved[i];
        ASSERT_EQ(line.record, std::uint64_t{c.number(u)} << 32 | c.number(v));
        const int via = c.node(line.via);
        const std::string what = std::to_string(u) + " -> " + std::to_string(v) + " " +
                                 removalReasonName(line.reason) + " " + std::to_string(via);
        switch (line.reason) {
            case RemovalReason::SelfLoop:
                EXPECT_EQ(u, v) << what;
                break;
            case RemovalReason::Bypassed:
                EXPECT_TRUE(via != u && via != v && reach[u][via] && reach[via][v]) << what;
                break;
            case RemovalReason::Cycle: {
                ASSERT_EQ(cycles, Cycles::Drop) << what;
                const int x = onCycle(u) ? u : v;
                EXPECT_TRUE(onCycle(x) && reach[x][via] && reach[via][x]) << what;
                EXPECT_TRUE(via != x || input.count({x, x})) << what;
                break;
            }
            case RemovalReason::Condensed:
                ASSERT_EQ(cycles, Cycles::Condense) << what;
                EXPECT_TRUE(component(u) == component(v) && via == component(u)) << what;
                break;
            case RemovalReason::Represented: {
                ASSERT_EQ(cycles, Cycles::Condense) << what;
                const int a = via;
                const int b = c.node(line.value);
                EXPECT_TRUE(kept.count({a, b}) && component(a) == component(u) &&
                            component(b) == component(v) &&
                            std::make_pair(a, b) < std::make_pair(u, v))
                    << what;
                break;
            }
            default:
                ADD_FAILURE() << "a weakest-link reason in a reduction's report: " << what;
        }
    }
}

TEST(Cycles, EachModeMatchesThePlainReferenceAndEveryRouteGivesTheSameResult) {
    std::mt19937 random(21);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = 1 + trial % 37;
        const double density = (trial % 5 + 1) * 0.06;
        const std::uint32_t stride = trial % 3 == 0 ? 40000000 : 1;
        const Case c = randomCase(random, n, density, stride);
        for (const Cycles cycles : {Cycles::Drop, Cycles::Condense}) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ", " +
                         (cycles == Cycles::Drop ? "drop" : "condense"));
            const Outcome sparse = run(c, cycles, Backend::Cpu, Route::Sparse);
            checkAgainstReference(c, cycles, sparse);
            if (stride == 1) {
                EXPECT_TRUE(run(c, cycles, Backend::Cpu, Route::Sweeps) == sparse);
                EXPECT_TRUE(run(c, cycles, Backend::Emulated, Route::Auto) == sparse);
            }
            // Without the report, the same edges.
            RunOptions plain;
            plain.cycles = cycles;
            plain.route = Route::Sparse;
            EdgeRecords graph = c.records();
            EXPECT_EQ(reduceEdgeRecordsWithCycles(graph, plain, "test"), sparse.kept);
        }
    }
}

// The witness engine's searches for edges longer than its window, one by one and shared by a
// node's many long edges, against the same graph answered within one wide window.
TEST(Cycles, WitnessesBeyondTheWindowAreValidAndMissOnlyKeptEdges) {
    std::mt19937 random(7);
    for (const double density : {0.01, 0.05, 0.3}) {
        const std::uint32_t n = 400;
        std::vector<std::uint64_t> edges;
        std::uniform_real_distribution<double> coin(0, 1);
        for (std::uint32_t u = 0; u < n; ++u)
            for (std::uint32_t v = u + 1; v < n; ++v)
                if (coin(random) < (v - u < 80 ? density : density / 4))
                    edges.push_back(std::uint64_t{u} << 32 | v);
        const cpu::RankedDag dag = cpu::rankedDagOf(edges, n);
        std::set<std::pair<int, int>> input;
        for (const std::uint64_t e : edges) input.insert({int(e >> 32), int(std::uint32_t(e))});
        const Reach reach = reachOf(int(n), input);
        const std::vector<std::uint32_t> wide = cpu::findWitnesses(dag, {}, 7);
        const std::vector<std::uint32_t> narrow = cpu::findWitnesses(dag, {}, 1);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            const int u = int(edges[e] >> 32);
            const int v = int(std::uint32_t(edges[e]));
            for (const std::uint32_t w : {wide[e], narrow[e]}) {
                if (w == cpu::kNoWitness) {
                    for (int x = 0; x < int(n); ++x)
                        EXPECT_FALSE(x != v && input.count({u, x}) && reach[x][v]) << u << " " << v;
                } else {
                    EXPECT_TRUE(input.count({u, int(w)}) && int(w) != v && reach[w][v])
                        << u << " " << v;
                }
            }
            EXPECT_EQ(wide[e] == cpu::kNoWitness, narrow[e] == cpu::kNoWitness);
        }
    }
}

// Weakest link: every cell that held an edge and ended absent, once, in row-major order, with
// the rule that removed it; a replaced cell's witness checked by searches among the input's
// legs no heavier than the reported weakest link. Weights on a grid of eighths print exactly.
TEST(RemovedCells, EveryRemovedCellHasItsRuleAndEveryReplacedOneAWitness) {
    std::mt19937 random(23);
    ScratchDir dir;
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 2 + trial * 3 % 97;
        const float lower = trial % 4 == 0 ? 0.0f : 0.125f;
        const float upper = trial % 3 == 0 ? 1.5f : 0.875f;
        WeightMatrix matrix{n, std::vector<float>(std::size_t(n) * n)};
        for (float& v : matrix.cells) {
            const int k = int(random() % 17);
            v = k == 16 ? WEIGHT_ABSENT : (random() % 10 == 0 ? -1.0f : 1.0f) * float(k) / 8;
        }
        const std::vector<float> input = matrix.cells;
        RunOptions options;
        options.threads = 2;
        pruneWeightMatrix({matrix.cells.data(), n, std::size_t(n)}, lower, upper, options);
        ASSERT_EQ(matrix.cells, referenceWeakestLink(input, n, lower, upper));
        OutputFile file(dir.file("report.tsv"));
        writeRemovedCellsReport(input, matrix, upper, file, 2);
        file.commit();

        std::istringstream report(readText(dir.file("report.tsv")));
        std::string line;
        std::getline(report, line);
        ASSERT_EQ(line, "source\ttarget\treason\tvia\tvalue");
        const auto at = [&](int i, int j) { return input[std::size_t(i) * n + j]; };
        // Whether a walk of one or more legs no heavier than `value` leads from `from` to `to`.
        const auto walks = [&](int from, int to, float value) {
            std::vector<char> seen(std::size_t(n), 0);
            std::vector<int> stack{from};
            while (!stack.empty()) {
                const int x = stack.back();
                stack.pop_back();
                for (int y = 0; y < n; ++y) {
                    if (y == x || seen[y] || !(std::fabs(at(x, y)) <= value)) continue;
                    if (y == to) return true;
                    seen[y] = 1;
                    stack.push_back(y);
                }
            }
            return false;
        };
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                const float before = at(i, j);
                if (!(matrix.cells[std::size_t(i) * n + j] == WEIGHT_ABSENT) ||
                    before == WEIGHT_ABSENT)
                    continue;
                ASSERT_TRUE(std::getline(report, line)) << "missing " << i << " -> " << j;
                std::istringstream fields(line);
                std::string source, target, reason, via, value;
                std::getline(fields, source, '\t');
                std::getline(fields, target, '\t');
                std::getline(fields, reason, '\t');
                std::getline(fields, via, '\t');
                std::getline(fields, value, '\t');
                ASSERT_EQ(source + " " + target, std::to_string(i) + " " + std::to_string(j));
                if (std::signbit(before)) {
                    EXPECT_EQ(reason, "negative") << line;
                } else if (before >= upper) {
                    EXPECT_EQ(reason, "upper") << line;
                } else {
                    ASSERT_EQ(reason, "replaced") << line;
                    ASSERT_FALSE(via.empty()) << line;
                    const int w = std::stoi(via);
                    const float weakest = std::stof(value);
                    EXPECT_TRUE(w != i && w != j && weakest < before && walks(i, w, weakest) &&
                                walks(w, j, weakest))
                        << line;
                }
            }
        }
        EXPECT_FALSE(std::getline(report, line)) << "unexpected " << line;
    }
}

TEST(RemovedCells, ReportAndBothOutputsAreReplacedTogetherOrNotAtAll) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 0.2 0.9\n2 0 0.3\n2 2 0\n");
    writeText(dir.file("edges.txt"), "old edges\n");
    writeText(dir.file("matrix.txt"), "old matrix\n");
    std::filesystem::create_directory(dir.file("taken"));
    RunOptions options;
    options.removedPath = dir.file("taken");
    EXPECT_THROW(runWeakestLinkPipeline(dir.file("in.txt"), dir.file("edges.txt"),
                                        dir.file("matrix.txt"), 0.1f, 1.0f, options),
                 Error);
    EXPECT_EQ(readText(dir.file("edges.txt")), "old edges\n");
    EXPECT_EQ(readText(dir.file("matrix.txt")), "old matrix\n");
    options.removedPath = dir.file("report.tsv");
    runWeakestLinkPipeline(dir.file("in.txt"), dir.file("edges.txt"), dir.file("matrix.txt"), 0.1f,
                           1.0f, options);
    EXPECT_EQ(readText(dir.file("report.tsv")),
              "source\ttarget\treason\tvia\tvalue\n0\t2\treplaced\t1\t3.000000e-001\n");
    EXPECT_EQ(readText(dir.file("edges.txt")),
              "0 edge 0\n0 edge 1\n1 edge 1\n1 edge 2\n2 edge 2\n");
}

TEST(Cycles, ReportAndOutputAreWrittenTogetherOrNotAtAll) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 e 1\n1 e 2\n0 e 2\n2 e 0\n");
    RunOptions options;
    options.cycles = Cycles::Condense;
    options.removedPath = dir.file("missing/report.tsv");
    EXPECT_THROW(runTransitiveReductionPipeline(dir.file("in.txt"), dir.file("out.txt"), options),
                 Error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.txt")));
    options.removedPath = dir.file("report.tsv");
    runTransitiveReductionPipeline(dir.file("in.txt"), dir.file("out.txt"), options);
    EXPECT_EQ(readText(dir.file("out.txt")), "0 edge 1\n1 edge 2\n2 edge 0\n");
    EXPECT_EQ(readText(dir.file("report.tsv")),
              "source\ttarget\treason\tvia\tvalue\n0\t2\tcondensed\t0\t\n");
    // Labelled input: the report names the nodes as the input does.
    writeText(dir.file("in.tsv"), "x\ty\ny\tz\nx\tz\nz\tz\n");
    options.cycles = Cycles::Drop;
    options.inputFormat = FileFormat::Tsv;
    options.outputFormat = FileFormat::Tsv;
    runTransitiveReductionPipeline(dir.file("in.tsv"), dir.file("out.tsv"), options);
    EXPECT_EQ(readText(dir.file("report.tsv")),
              "source\ttarget\treason\tvia\tvalue\nx\tz\tcycle\tz\t\ny\tz\tcycle\tz\t\n"
              "z\tz\tself-loop\t\t\n");
    // A DOT graph written back gains the cycle edges its statements never made (c -> b here).
    writeText(dir.file("in.dot"), "digraph { a -> c; c -> a; a -> b; b -> a; }\n");
    options.cycles = Cycles::Condense;
    options.inputFormat = options.outputFormat = FileFormat::Dot;
    runTransitiveReductionPipeline(dir.file("in.dot"), dir.file("out.dot"), options);
    EXPECT_EQ(readText(dir.file("out.dot")),
              "digraph { a -> c; c; a ; a; b ; b -> a;  c -> b; }\n");
}

}  // namespace
}  // namespace fwprune::testing
