// Cycles kept as cycles, and why each edge went.
//
// Keeping reachability through cycles collapses every strongly connected component, reduces the
// collapsed graph (it has no cycle, so dropping cycles removes nothing there) on whatever route
// the options choose, and maps each surviving edge between two components back to the smallest
// input edge joining them; each component of k >= 2 nodes then becomes one cycle through its
// nodes in ascending order. Self-loops go: a node reaches itself anyway. The engines stay as
// they are, and every route gives the same bytes because every route reduces the same collapsed
// graph.

#include "pipelines/reduction_cycles.h"

#include <algorithm>

#include "common/error.h"
#include "cpu/condensation.h"
#include "cpu/reduction_witnesses.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "pipelines/engines.h"

namespace fwprune {
namespace {

// Whether every edge goes the same way, up or down, so that only self-loops can be cycles.
bool oneWay(const std::vector<std::uint64_t>& records) {
    const auto up = [](std::uint64_t r) { return (r >> 32) <= std::uint32_t(r); };
    const auto down = [](std::uint64_t r) { return (r >> 32) >= std::uint32_t(r); };
    return std::all_of(records.begin(), records.end(), up) ||
           std::all_of(records.begin(), records.end(), down);
}

// Removes the self-loops from records; returns how many distinct ones there were.
std::size_t dropSelfLoops(std::vector<std::uint64_t>& records) {
    std::vector<std::uint64_t> loops;
    const auto split = std::stable_partition(records.begin(), records.end(), [](std::uint64_t r) {
        return (r >> 32) != std::uint32_t(r);
    });
    loops.assign(split, records.end());
    records.erase(split, records.end());
    std::sort(loops.begin(), loops.end());
    return static_cast<std::size_t>(std::unique(loops.begin(), loops.end()) - loops.begin());
}

bool hasLargeComponent(const cpu::Condensation& graph) {
    return graph.components() < graph.original.size();
}

// The condensed reduction from the condensation: edges between components that the collapsed
// graph's reduction keeps, each as its smallest input edge, and the components' cycles.
std::vector<std::uint64_t> reduceCondensed(const cpu::Condensation& graph, std::int64_t n,
                                           JobContext& job, const JobPlan& plan,
                                           const std::string& source) {
    std::vector<std::uint64_t> kept;
    if (!hasLargeComponent(graph)) {
        // No cycle but self-loops: the input's own numbers keep its locality for the engines.
        EdgeRecords acyclic{n, {}};
        acyclic.records.reserve(graph.edges.size());
        for (std::size_t e = 0; e < graph.edges.size(); ++e) {
            if (graph.crosses(e)) {
                acyclic.records.push_back(graph.record(e));
            }
        }
        return reduceOnPlan(job, plan, acyclic, source);
    }
    EdgeRecords collapsed{graph.components(), cpu::rankedEdges(graph)};
    const std::vector<std::uint64_t> between = reduceOnPlan(job, plan, collapsed, source);
    // Rows of the surviving ranked edges by source rank; the input edges come ascending, so the
    // first one met for a surviving ranked edge is its representative.
    std::vector<std::uint32_t> start(std::size_t{graph.components()} + 1, 0);
    for (const std::uint64_t r : between) ++start[(r >> 32) + 1];
    for (std::uint32_t c = 0; c < graph.components(); ++c) start[c + 1] += start[c];
    std::vector<std::uint8_t> represented(between.size(), 0);
    kept = componentCycles(graph);
    const auto cycles = static_cast<std::ptrdiff_t>(kept.size());
    for (std::size_t e = 0; e < graph.edges.size(); ++e) {
        if (!graph.crosses(e)) continue;
        const std::uint64_t ranked = graph.rankedEdge(e);
        const auto first = between.begin() + start[ranked >> 32];
        const auto last = between.begin() + start[(ranked >> 32) + 1];
        const auto at = std::lower_bound(first, last, ranked);
        if (at == last || *at != ranked) continue;
        const auto index = static_cast<std::size_t>(at - between.begin());
        if (represented[index]) continue;
        represented[index] = 1;
        kept.push_back(graph.record(e));
    }
    // Both runs are sorted: the cycles by construction, the representatives as the input edges.
    std::inplace_merge(kept.begin(), kept.begin() + cycles, kept.end());
    return kept;
}

// The collapsed graph, and for each of its edges a witness, or kNoWitness when its reduction
// keeps the edge.
struct Witnessed {
    cpu::RankedDag dag;
    std::vector<std::uint32_t> witness;

    // The collapsed graph's edge for input edge e, which joins two components.
    std::size_t edgeOf(const cpu::Condensation& graph, std::size_t e) const {
        const std::uint32_t a = graph.rank[graph.source(e)];
        const auto first = dag.target.begin() + dag.offset[a];
        const auto last = dag.target.begin() + dag.offset[a + 1];
        return static_cast<std::size_t>(std::lower_bound(first, last, graph.rank[graph.target(e)]) -
                                        dag.target.begin());
    }
};

Witnessed witnessesOf(const cpu::Condensation& graph, const ProgressFunction& progress) {
    Witnessed w;
    w.dag = cpu::rankedDagOf(cpu::rankedEdges(graph), graph.components());
    w.witness = cpu::findWitnesses(w.dag, progress);
    return w;
}

// Whether each (dense) node lies on a cycle: its component has other nodes, or it has a
// self-loop.
std::vector<std::uint8_t> onCycles(const cpu::Condensation& graph) {
    std::vector<std::uint8_t> onCycle(graph.original.size(), 0);
    for (std::size_t e = 0; e < graph.edges.size(); ++e)
        if (graph.source(e) == graph.target(e)) onCycle[graph.source(e)] = 1;
    for (std::size_t x = 0; x < onCycle.size(); ++x) onCycle[x] |= graph.size(graph.rank[x]) > 1;
    return onCycle;
}

// The reduction read off the witnesses, which answer the same question as the sparse route's
// engine: every edge the collapsed graph's reduction keeps, as itself (cycles dropped: between
// two nodes off every cycle) or as its representative among the components' cycles (condensed).
std::vector<std::uint64_t> keptByWitnesses(const cpu::Condensation& graph, const Witnessed& w,
                                           Cycles cycles) {
    std::vector<std::uint64_t> kept;
    std::vector<std::uint8_t> onCycle;
    std::vector<std::uint8_t> represented;
    if (cycles == Cycles::Drop) {
        onCycle = onCycles(graph);
    } else {
        kept = componentCycles(graph);
        represented.assign(w.witness.size(), 0);
    }
    const auto cycleEdges = static_cast<std::ptrdiff_t>(kept.size());
    for (std::size_t e = 0; e < graph.edges.size(); ++e) {
        if (!graph.crosses(e)) continue;
        if (cycles == Cycles::Drop && (onCycle[graph.source(e)] || onCycle[graph.target(e)]))
            continue;
        const std::size_t ranked = w.edgeOf(graph, e);
        if (w.witness[ranked] != cpu::kNoWitness) continue;
        if (cycles == Cycles::Condense) {
            if (represented[ranked]) continue;
            represented[ranked] = 1;
        }
        kept.push_back(graph.record(e));
    }
    std::inplace_merge(kept.begin(), kept.begin() + cycleEdges, kept.end());
    return kept;
}

// Every distinct input edge not in `kept`, in the order of the output, with its reason.
std::vector<RemovedEdge> explainRemoved(const cpu::Condensation& graph,
                                        const std::vector<std::uint64_t>& kept, Cycles cycles,
                                        const Witnessed& w) {
    const cpu::RankedDag& dag = w.dag;
    const std::vector<std::uint32_t>& witness = w.witness;
    const std::vector<std::uint8_t> onCycle = onCycles(graph);
    // Another node of x's cycle: the smallest other member of its component, or x itself when
    // its only cycle is its self-loop.
    const auto cycleMate = [&](std::uint32_t x) {
        const std::uint32_t r = graph.rank[x];
        if (graph.size(r) == 1) return x;
        const std::uint32_t first = graph.firstMember(r);
        return first != x ? first : graph.members[graph.memberStart[r] + 1];
    };
    // The representative of each ranked edge, once met (condensed reduction).
    std::vector<std::uint64_t> representative(cycles == Cycles::Condense ? dag.target.size() : 0,
                                              ~std::uint64_t{0});
    std::vector<RemovedEdge> removed;
    const auto name = [&](std::uint32_t x) { return graph.original[x]; };
    auto next = kept.begin();
    for (std::size_t e = 0; e < graph.edges.size(); ++e) {
        const std::uint32_t u = graph.source(e);
        const std::uint32_t v = graph.target(e);
        const std::uint64_t record = graph.record(e);
        while (next != kept.end() && *next < record) ++next;
        const bool survived = next != kept.end() && *next == record;
        // Which ranked edge this is matters for a removed edge between components, and for
        // every edge between components when representatives are tracked.
        std::size_t ranked = 0;
        if (graph.crosses(e) && (!survived || cycles == Cycles::Condense)) {
            ranked = w.edgeOf(graph, e);
            if (cycles == Cycles::Condense && witness[ranked] == cpu::kNoWitness &&
                representative[ranked] == ~std::uint64_t{0}) {
                representative[ranked] = record;
            }
        }
        if (survived) continue;
        RemovedEdge entry{record, 0, 0, RemovalReason::Bypassed};
        if (u == v) {
            entry.reason = RemovalReason::SelfLoop;
        } else if (cycles == Cycles::Drop && (onCycle[u] || onCycle[v])) {
            entry.reason = RemovalReason::Cycle;
            entry.via = name(cycleMate(onCycle[u] ? u : v));
        } else if (!graph.crosses(e)) {
            entry.reason = RemovalReason::Condensed;
            entry.via = name(graph.firstMember(graph.rank[u]));
        } else if (witness[ranked] != cpu::kNoWitness) {
            entry.via = name(graph.firstMember(witness[ranked]));
        } else if (cycles == Cycles::Condense && representative[ranked] != record) {
            entry.reason = RemovalReason::Represented;
            entry.via = static_cast<std::uint32_t>(representative[ranked] >> 32);
            entry.value = static_cast<std::uint32_t>(representative[ranked]);
        } else {
            fail(Status::Internal, "the reduction removed the edge " + std::to_string(name(u)) +
                                       " -> " + std::to_string(name(v)) +
                                       ", which nothing bypasses");
        }
        removed.push_back(entry);
    }
    return removed;
}

}  // namespace

std::vector<std::uint64_t> reduceEdgeRecordsWithCycles(EdgeRecords& graph,
                                                       const RunOptions& options,
                                                       const std::string& source,
                                                       std::vector<RemovedEdge>* removed) {
    JobContext job(options);
    const JobPlan plan = planReduction(job.options(), graph.n, graph.records.size(), source);
    return reduceEdgeRecordsWithCycles(job, plan, graph, source, removed);
}

std::vector<std::uint64_t> reduceEdgeRecordsWithCycles(JobContext& job, const JobPlan& plan,
                                                       EdgeRecords& graph,
                                                       const std::string& source,
                                                       std::vector<RemovedEdge>* removed) {
    const RunOptions& options = job.options();
    if (options.cycles == Cycles::Drop && removed == nullptr)
        return reduceOnPlan(job, plan, graph, source);
    if (removed == nullptr && oneWay(graph.records)) {
        // Histories and generated DAGs: nothing to collapse, and the input's order is kept.
        const std::size_t loops = dropSelfLoops(graph.records);
        std::vector<std::uint64_t> kept = reduceOnPlan(job, plan, graph, source);
        if (options.stats) options.stats->edgesIn += static_cast<long long>(loops);
        return kept;
    }
    // The plan, made on the input, holds for the collapsed graph too.
    const std::int64_t n = graph.n;
    const auto shortOf = [&](const std::string& what) {
        return [&source, what] { return describeAt(source, "not enough memory for " + what); };
    };
    const cpu::Condensation condensation =
        reportingOutOfMemory(shortOf("the strongly connected components of " +
                                     std::to_string(graph.records.size()) + " edges"),
                             [&] { return cpu::condense(graph.records); });
    std::vector<std::uint64_t> kept;
    Witnessed witnessed;
    if (removed) {
        witnessed = reportingOutOfMemory(shortOf("the witnesses of the removed edges"), [&] {
            return witnessesOf(condensation, job.engineProgress());
        });
    }
    if (removed && plan.route == Route::Sparse) {
        // The witnesses already hold the sparse route's answer; reading it off them keeps the
        // report's cost near the job's.
        kept = keptByWitnesses(condensation, witnessed, options.cycles);
        if (options.stats) {
            options.stats->route = Route::Sparse;
            options.stats->backend = Backend::Cpu;
        }
    } else if (options.cycles == Cycles::Drop) {
        kept = reduceOnPlan(job, plan, graph, source);
    } else {
        std::vector<std::uint64_t>().swap(graph.records);
        kept = reduceCondensed(condensation, n, job, plan, source);
    }
    if (removed) {
        *removed = reportingOutOfMemory(shortOf("the removed edges' report"), [&] {
            return explainRemoved(condensation, kept, options.cycles, witnessed);
        });
    }
    if (options.stats) {
        options.stats->nodes = n;
        options.stats->edgesIn = static_cast<long long>(condensation.edges.size());
        options.stats->edgesOut = static_cast<long long>(kept.size());
    }
    return kept;
}

std::vector<std::uint64_t> reduceInMemory(JobContext& job, const JobPlan& plan, EdgeRecords& graph,
                                          const std::string& source) {
    const RunOptions& options = job.options();
    if (options.removedPath.empty()) return reduceEdgeRecordsWithCycles(job, plan, graph, source);
    std::vector<RemovedEdge> removed;
    std::vector<std::uint64_t> kept =
        reduceEdgeRecordsWithCycles(job, plan, graph, source, &removed);
    OutputFile report(options.removedPath);
    writeRemovedEdges(removed, report, job.pool());
    report.commit();
    return kept;
}

}  // namespace fwprune
