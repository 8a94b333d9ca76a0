// A graph's strongly connected components, ranked so that every edge between two of them goes up:
// the collapsed graph a reduction that keeps reachability through cycles works on, and the
// structure that explains why an edge was removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/edge_record.h"

namespace fwprune::cpu {

struct Condensation {
    // Dense node -> node number, ascending, so dense numbers sort like the node numbers.
    std::vector<std::uint32_t> original;
    // The distinct edge records (source << 32 | target) in dense numbers, ascending: in the order
    // of the output, since renumbering keeps the order.
    std::vector<std::uint64_t> edges;
    // Dense node -> rank of its component. Every edge between two components goes from a lower
    // rank to a higher one.
    std::vector<std::uint32_t> rank;
    // The members of rank r, dense and ascending: members[memberStart[r] .. memberStart[r + 1]).
    std::vector<std::uint32_t> memberStart;
    std::vector<std::uint32_t> members;

    std::uint32_t components() const {
        return static_cast<std::uint32_t>(memberStart.empty() ? 0 : memberStart.size() - 1);
    }
    std::uint32_t size(std::uint32_t r) const { return memberStart[r + 1] - memberStart[r]; }
    std::uint32_t firstMember(std::uint32_t r) const { return members[memberStart[r]]; }
    std::uint32_t source(std::size_t e) const { return EdgeRecord::source(edges[e]); }
    std::uint32_t target(std::size_t e) const { return EdgeRecord::target(edges[e]); }
    // Edge e as a record of node numbers.
    std::uint64_t record(std::size_t e) const {
        return EdgeRecord::pack(original[source(e)], original[target(e)]);
    }
    // Whether edge e joins two components (as opposed to lying inside one, self-loops included).
    bool crosses(std::size_t e) const { return rank[source(e)] != rank[target(e)]; }
    // The edge between the ranks of edge e's ends, (rank << 32 | rank).
    std::uint64_t rankedEdge(std::size_t e) const {
        return EdgeRecord::pack(rank[source(e)], rank[target(e)]);
    }
};

// The condensation of a graph given as edge records (source << 32 | target, node numbers up to
// 2^31 - 1), in any order, repeats allowed. Memory follows the records, never the largest node
// number. Throws std::bad_alloc when memory is short.
Condensation condense(const std::vector<std::uint64_t>& records);

// The distinct edges between components as ranked edges (rank << 32 | rank), ascending.
std::vector<std::uint64_t> rankedEdges(const Condensation& graph);

// The edges of a cycle through each component of two or more nodes, its members in ascending
// order and back to the first, as records of node numbers, ascending.
std::vector<std::uint64_t> componentCycles(const Condensation& graph);

}  // namespace fwprune::cpu
