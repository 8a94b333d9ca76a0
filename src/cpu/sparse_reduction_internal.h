// The sparse route's knobs, for tests that must reach every path of it on small graphs.
#pragma once

#include <cstdint>
#include <vector>

#include "cpu/cpu_engine.h"

namespace fwprune::cpu {

// reduceEdgeRecords with the reachability window held to at most windowWords 64-bit words (0:
// as wide as the route would choose), so that small graphs have edges longer than the window;
// a window held so also takes the ways of large scattered graphs (the rank a path at a time, the
// walks before Tarjan's search) and tries the depth-first rank beside it on every acyclic graph.
ReducedEdges reduceEdgeRecords(std::vector<std::uint64_t> records, ThreadPool& pool,
                               const ProgressFunction& progress, std::uint32_t windowWords);

}  // namespace fwprune::cpu
