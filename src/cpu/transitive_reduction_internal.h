// The knob behind reduceTransitively, exposed so tests and benchmarks can pin the instruction set
// instead of taking the best this CPU has.
#pragma once

#include <cstdint>

#include "common/parallel.h"
#include "common/progress.h"
#include "cpu/instruction_set.h"

namespace fwprune::cpu::detail {

struct ReductionOptions {
    InstructionSet isa = bestInstructionSet();
};

// reduceTransitively with explicit options. Throws std::invalid_argument for an instruction set
// the CPU lacks.
void reduceTransitively(std::uint8_t* matrix, std::int64_t n, ThreadPool& pool,
                        const ReductionOptions& options, const ProgressFunction& progress = {});
void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ReductionOptions& options, const ProgressFunction& progress = {});

}  // namespace fwprune::cpu::detail
