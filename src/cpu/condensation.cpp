#include "cpu/condensation.h"

#include <algorithm>

#include "common/radix_sort.h"
#include "common/strong_components.h"

namespace fwprune::cpu {
namespace {

// Sorts edge records whose node numbers are below `nodes`: packed to (source << bits | target)
// first, so the radix sort passes over only the bits that numbers of that size can use.
void sortRecords(std::vector<std::uint64_t>& records, std::uint32_t nodes) {
    if (std::is_sorted(records.begin(), records.end())) return;
    // Sorted by source already (a history lists each commit's parents together): only each
    // source's few targets need sorting.
    const auto bySource = [](std::uint64_t a, std::uint64_t b) { return (a >> 32) < (b >> 32); };
    if (std::is_sorted(records.begin(), records.end(), bySource)) {
        for (auto run = records.begin(); run != records.end();) {
            auto end = run + 1;
            while (end != records.end() && (*end >> 32) == (*run >> 32)) ++end;
            if (end - run > 1) std::sort(run, end);
            run = end;
        }
        return;
    }
    int bits = 1;
    while (bits < 32 && (std::uint64_t{1} << bits) < nodes) ++bits;
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    for (std::uint64_t& r : records)
        r = std::uint64_t{EdgeRecord::source(r)} << bits | EdgeRecord::target(r);
    radixSort(records, 0, 2 * bits);
    for (std::uint64_t& r : records)
        r = EdgeRecord::pack(std::uint32_t(r >> bits), std::uint32_t(r & mask));
}

// The records with their nodes numbered 0 .. V-1 in ascending order, sorted and without repeats.
// A lookup table when the largest node number is within a small multiple of the records, else
// the sorted node numbers and a binary search per endpoint.
void renumber(const std::vector<std::uint64_t>& records, Condensation& graph) {
    std::uint32_t largest = 0;
    for (const std::uint64_t record : records)
        largest = std::max({largest, std::uint32_t(record >> 32), std::uint32_t(record)});
    graph.edges.resize(records.size());
    if (std::uint64_t{largest} < 4 * records.size() + 1024) {
        std::vector<std::uint32_t> dense(std::size_t{largest} + 1, 0);
        for (const std::uint64_t record : records)
            dense[record >> 32] = dense[std::uint32_t(record)] = 1;
        for (std::size_t x = 0; x < dense.size(); ++x) {
            if (dense[x] == 0) continue;
            dense[x] = static_cast<std::uint32_t>(graph.original.size());
            graph.original.push_back(static_cast<std::uint32_t>(x));
        }
        for (std::size_t e = 0; e < records.size(); ++e) {
            graph.edges[e] =
                std::uint64_t{dense[records[e] >> 32]} << 32 | dense[std::uint32_t(records[e])];
        }
    } else {
        std::vector<std::uint64_t> nodes;
        nodes.reserve(2 * records.size());
        for (const std::uint64_t record : records) {
            nodes.push_back(record >> 32);
            nodes.push_back(std::uint32_t(record));
        }
        radixSort(nodes, 0, 32);
        nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
        graph.original.assign(nodes.begin(), nodes.end());
        const auto dense = [&](std::uint32_t node) {
            return static_cast<std::uint64_t>(
                std::lower_bound(graph.original.begin(), graph.original.end(), node) -
                graph.original.begin());
        };
        for (std::size_t e = 0; e < records.size(); ++e)
            graph.edges[e] = dense(records[e] >> 32) << 32 | dense(std::uint32_t(records[e]));
    }
    // Files often come sorted already (by source, then target), which costs one look.
    sortRecords(graph.edges, static_cast<std::uint32_t>(graph.original.size()));
    graph.edges.erase(std::unique(graph.edges.begin(), graph.edges.end()), graph.edges.end());
}

}  // namespace

Condensation condense(const std::vector<std::uint64_t>& records) {
    Condensation graph;
    renumber(records, graph);
    const auto nodes = static_cast<std::uint32_t>(graph.original.size());
    // Edges that all go one way (histories and generated DAGs usually do) leave every node its
    // own component, ranked in the input's order, which keeps neighbours close.
    const bool upward = std::all_of(graph.edges.begin(), graph.edges.end(),
                                    [](std::uint64_t e) { return (e >> 32) <= std::uint32_t(e); });
    const bool downward =
        !upward && std::all_of(graph.edges.begin(), graph.edges.end(),
                               [](std::uint64_t e) { return (e >> 32) >= std::uint32_t(e); });
    if (upward || downward) {
        graph.rank.resize(nodes);
        graph.members.resize(nodes);
        graph.memberStart.resize(std::size_t{nodes} + 1);
        for (std::uint32_t x = 0; x <= nodes; ++x) graph.memberStart[x] = x;
        for (std::uint32_t x = 0; x < nodes; ++x) {
            graph.rank[x] = upward ? x : nodes - 1 - x;
            graph.members[graph.rank[x]] = x;
        }
        return graph;
    }
    // Successors in compressed rows; the edges are sorted, so each row is one run of them.
    std::vector<std::uint32_t> start(std::size_t{nodes} + 1, 0);
    for (std::size_t e = 0; e < graph.edges.size(); ++e) ++start[graph.source(e) + 1];
    for (std::uint32_t x = 0; x < nodes; ++x) start[x + 1] += start[x];

    // Components close sinks first; ranks count them from the last closed, so edges go up.
    std::vector<std::uint32_t> closed(nodes);
    std::vector<std::uint32_t> closedStart{0};
    std::vector<std::uint32_t> members;
    members.reserve(nodes);
    forEachStrongComponent(
        nodes,
        [&](std::uint32_t v, std::uint64_t& cursor) -> std::int64_t {
            const std::uint64_t e = start[v] + cursor;
            if (e >= start[v + 1]) return -1;
            ++cursor;
            return graph.target(e);
        },
        [&](const std::uint32_t* component, std::size_t count) {
            const auto number = static_cast<std::uint32_t>(closedStart.size() - 1);
            for (std::size_t i = 0; i < count; ++i) closed[component[i]] = number;
            members.insert(members.end(), component, component + count);
            std::sort(members.end() - static_cast<std::ptrdiff_t>(count), members.end());
            closedStart.push_back(static_cast<std::uint32_t>(members.size()));
        });
    const auto components = static_cast<std::uint32_t>(closedStart.size() - 1);
    graph.rank.resize(nodes);
    for (std::uint32_t x = 0; x < nodes; ++x) graph.rank[x] = components - 1 - closed[x];
    graph.memberStart.assign(std::size_t{components} + 1, 0);
    graph.members.reserve(nodes);
    for (std::uint32_t r = 0; r < components; ++r) {
        const std::uint32_t c = components - 1 - r;
        graph.members.insert(graph.members.end(), members.begin() + closedStart[c],
                             members.begin() + closedStart[c + 1]);
        graph.memberStart[r + 1] = static_cast<std::uint32_t>(graph.members.size());
    }
    return graph;
}

std::vector<std::uint64_t> rankedEdges(const Condensation& graph) {
    std::vector<std::uint64_t> ranked;
    ranked.reserve(graph.edges.size());
    for (std::size_t e = 0; e < graph.edges.size(); ++e)
        if (graph.crosses(e)) ranked.push_back(graph.rankedEdge(e));
    // Ranks in the input's order, or in its reverse, keep the edges sorted, or reverse them.
    if (std::is_sorted(ranked.rbegin(), ranked.rend()))
        std::reverse(ranked.begin(), ranked.end());
    else
        sortRecords(ranked, graph.components());
    ranked.erase(std::unique(ranked.begin(), ranked.end()), ranked.end());
    return ranked;
}

std::vector<std::uint64_t> componentCycles(const Condensation& graph) {
    std::vector<std::uint64_t> cycle;
    for (std::uint32_t r = 0; r < graph.components(); ++r) {
        if (graph.size(r) < 2) continue;
        const std::uint32_t* const first = graph.members.data() + graph.memberStart[r];
        const std::uint32_t* const last = graph.members.data() + graph.memberStart[r + 1];
        for (const std::uint32_t* x = first; x != last; ++x) {
            const std::uint32_t next = x + 1 == last ? *first : x[1];
            cycle.push_back(EdgeRecord::pack(*x, next));
        }
    }
    // Sorted in dense numbers, which sort like the node numbers.
    sortRecords(cycle, static_cast<std::uint32_t>(graph.original.size()));
    for (std::uint64_t& r : cycle) {
        r = EdgeRecord::pack(graph.original[EdgeRecord::source(r)],
                             graph.original[EdgeRecord::target(r)]);
    }
    return cycle;
}

}  // namespace fwprune::cpu
