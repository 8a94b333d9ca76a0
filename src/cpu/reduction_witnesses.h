// Why an edge of a DAG is redundant: a node that bypasses it.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "cpu/cpu_engine.h"

namespace fwprune::cpu {

constexpr std::uint32_t kNoWitness = std::numeric_limits<std::uint32_t>::max();

// A DAG in compressed rows whose every edge goes from a lower node to a higher one: the
// successors of node x are target[offset[x] .. offset[x + 1]), ascending and distinct.
struct RankedDag {
    std::vector<std::uint32_t> offset;
    std::vector<std::uint32_t> target;
};

// From ranked edges (source << 32 | target, source < target), ascending and distinct, among
// `nodes` nodes.
RankedDag rankedDagOf(const std::vector<std::uint64_t>& edges, std::uint32_t nodes);

// For each edge (u, v) of the DAG, a successor w of u other than v from which v can be reached
// (so u -> w -> ... -> v bypasses the edge), or kNoWitness when there is none: exactly the edges
// a transitive reduction keeps. Costs about what the sparse reduction costs: rows of bits over a
// window of ranks, and searches below v for the edges longer than the window.
// windowWords > 0 pins the window's width in words (for tests); 0 picks the cheapest.
// Throws std::bad_alloc when memory is short.
std::vector<std::uint32_t> findWitnesses(const RankedDag& graph,
                                         const ProgressFunction& progress = {},
                                         std::uint32_t windowWords = 0);

}  // namespace fwprune::cpu
