// Knobs behind reduceTransitively, exposed so tests and benchmarks can pin the method and the
// instruction set instead of taking the defaults.
#pragma once

#include <cstdint>
#include <functional>

#include "cpu/instruction_set.h"

namespace fwprune::cpu::detail {

// The topological method is the default for every input. Measured on random DAGs (p = 0.01 ..
// 0.5), random graphs with cycles, out-degree 4 and 32 DAGs, banded DAGs and two- and three-layer
// bipartite DAGs at n = 1024 .. 8192, with one and two threads, it was faster on every one:
// 1.4x on the closest case (two-layer bipartite DAGs, whose reduction keeps every edge), 5x to
// 20x on most. Its row merging is bounded by the size of the reduction, the Warshall closure by
// the size of the closure, which is never smaller, so no edge count or density threshold turned
// up where the closure would win. It stays as an independent second implementation for
// cross-checking.
enum class ReductionMethod {
    Topological,  // condense strongly connected components, then reachability in topological order
    Warshall,     // blocked Warshall closure over bit rows, then the boolean product
};

struct ReductionOptions {
    ReductionMethod method = ReductionMethod::Topological;
    InstructionSet isa = bestInstructionSet();
    // Pivot rows per block of the Warshall sweep, rounded up to a multiple of 64; 0 sizes the
    // block to the cache.
    std::int64_t sweepBlock = 0;
};

// reduceTransitively with explicit options. Throws std::invalid_argument for an instruction set
// the CPU lacks.
void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ReductionOptions& options,
                        const std::function<void(double)>& progress = {});

}  // namespace fwprune::cpu::detail
