// Internals of the CPU weakest-link engine, shared by its instruction-set variants and its tests.
//
// During the sweeps every cell is held as an unsigned 32-bit key:
//  - a cell that takes part (v > lower || v < 0) holds  |v| << 1 | signbit. Its magnitude only
//    ever shrinks, and a replacement always sets the low bit, because it stores -w;
//  - a held cell (0 <= v <= lower, or NaN) keeps its original bits and is never written; a bitmap
//    (one bit per cell, set for the cells that take part) tells the two kinds apart.
// A leg (|m[i][k]| or |m[k][j]|) is keyed as |x| << 1 | 1, and a NaN leg as 0. For non-negative
// floats the bit patterns order like the values, so one sweep step is
//     cell = min(cell, max(legA, legB))
// on unsigned integers: the odd key of w loses to the key of an equal magnitude and wins against
// any larger one, which is exactly "w < |v|", and it leaves the low (sign) bit set. fmaxf ignores a
// NaN operand, which the 0 key does under max; when legA is NaN, w is legB, or nothing when legB
// is NaN too: (legB - 1) | 1 turns the 0 key into 0xffffffff and keeps every other key as it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fwprune::cpu::weakest_link {

// Cells of the caller's float matrix, read and written as keys.
typedef std::uint32_t Word __attribute__((__may_alias__));

enum class Path { Portable, Avx2, Avx512 };

bool pathSupported(Path path);
Path bestPath();

// pruneWeakestLinks on the given path; throws std::invalid_argument when this CPU cannot run it.
void prune(Path path, float* matrix, std::int64_t n, std::size_t rowStride, float lower_threshold,
           float upper_threshold, int threads);

// The number of rows whose sweeps one sweepGroup call applies together.
constexpr int kGroupRows = 8;

// Applies sweeps 0 .. sweeps-1 of a block to up to kGroupRows rows, over the given column spans.
struct SweepGroup {
    Word* rows[kGroupRows];
    const std::uint64_t* live[kGroupRows];  // participation bits of each row
    int rowCount;
    // legs[r * legStride + s]: row r's own column-k leg at sweep s.
    const std::uint32_t* legs;
    std::size_t legStride;
    bool anyNaNLeg;
    // pivots[s * pivotStride + j]: the leg of pivot row k at column j as it stood at sweep k.
    // 64-byte aligned, pivotStride a multiple of 16, readable up to pivotStride.
    const std::uint32_t* pivots;
    std::size_t pivotStride;
    int sweeps;
    // Column spans [begin, end); each begin is a multiple of 16.
    std::size_t spans[2][2];
};

struct Kernels {
    // cells[j] = min(cells[j], w_j) for j < count, w_j the key of fmaxf(leg, pivot[j]).
    void (*sweepRow)(std::uint32_t* cells, const std::uint32_t* pivot, std::size_t count,
                     std::uint32_t leg);
    // row[col + j] = keys[j] for every j < count whose cell takes part; col is a multiple of 16.
    void (*storeLive)(Word* row, const std::uint32_t* keys, const std::uint64_t* live,
                      std::size_t col, std::size_t count);
    void (*sweepGroup)(const SweepGroup& group);
};

const Kernels& portableKernels();
// Null where the compiler cannot target the instruction set.
const Kernels* avx2Kernels();
const Kernels* avx512Kernels();

}  // namespace fwprune::cpu::weakest_link
