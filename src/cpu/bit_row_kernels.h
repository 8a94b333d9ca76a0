// The bit-row kernels of the reduction's CPU engine, one set per instruction set: OR many rows
// into one, and pack byte rows into bit rows and back. Counts passed to the OR kernels are whole
// lines (kLineWords) and pointers are line-aligned, as BitRows lays rows out.
#pragma once

#include <cstdint>

#include "common/bit_rows.h"
#include "cpu/instruction_set.h"

namespace fwprune::cpu {

struct BitRowKernels {
    // dst |= srcs[0] | ... | srcs[sources - 1], over `words` words.
    void (*orMany)(Word* dst, const Word* const* srcs, std::int64_t sources, std::int64_t words);
    // out bit j = (bytes[j] != 0) for j < n; the remaining words up to `words` are cleared.
    void (*pack)(const std::uint8_t* bytes, std::int64_t n, Word* out, std::int64_t words);
    // bytes[j] = bit j of bits, for j < n.
    void (*unpack)(const Word* bits, std::int64_t n, std::uint8_t* bytes);
};

// The kernels for isa; throws std::invalid_argument for an instruction set this CPU lacks.
BitRowKernels bitRowKernelsFor(InstructionSet isa);

inline void orInto(const BitRowKernels& k, Word* dst, const Word* src, std::int64_t words) {
    k.orMany(dst, &src, 1, words);
}

}  // namespace fwprune::cpu
