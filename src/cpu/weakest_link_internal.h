// Internals of the CPU weakest-link engine, shared by its instruction-set variants and its tests.
//
// During the sweeps every cell is held as an unsigned 32-bit key:
//  - a cell that takes part (v > lower || v < 0) holds |v| << 1 | signbit, its bits rotated left
//    by one. Its magnitude only ever shrinks, and a replacement sets the low bit, as it stores -w;
//    rotating back gives the float the sweeps leave there;
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

// Sweeps per block: the pivot snapshots (kBlock rows) stay in L2, and each cell is loaded and
// stored once per block.
constexpr std::size_t kBlock = 64;

// The number of rows whose sweeps one sweepGroup call applies together.
constexpr int kGroupRows = 8;

// Applies the sweeps of a block [k0, k0 + sweeps) to up to kGroupRows rows outside it: first to
// the rows' own columns [k0, k0 + sweeps), sweep by sweep, which yields each row's column-k legs,
// then to the other columns, tile by tile.
struct SweepGroup {
    Word* rows[kGroupRows];
    const std::uint64_t* live[kGroupRows];  // participation bits of each row
    int rowCount;
    std::size_t k0;
    int sweeps;
    // pivots[s * pivotStride + j]: the leg of pivot row k0 + s at column j as it stood at sweep
    // k0 + s. 64-byte aligned, pivotStride a multiple of 16, readable up to pivotStride.
    const std::uint32_t* pivots;
    std::size_t pivotStride;
    // Scratch of kGroupRows * kBlock keys for the own columns, and as many legs.
    std::uint32_t* own;
    std::uint32_t* legs;
    // Column spans [begin, end) outside the block; each begin is a multiple of 16.
    std::size_t spans[2][2];
};

struct Kernels {
    // Keys a row in place and sets the participation bits (live is zeroed on entry).
    void (*encodeRow)(Word* row, std::uint64_t* live, std::size_t n, float lower);
    // Turns a row of keys back into floats and applies the threshold pass.
    void (*decodeRow)(Word* row, const std::uint64_t* live, std::size_t n, float upper);
    // legs[j] = the leg of cell col + j, whose key is keys[j] if it takes part, or whose original
    // bits are row[col + j] if it is held. col is a multiple of 16.
    void (*snapshot)(std::uint32_t* legs, const std::uint32_t* keys, const Word* row,
                     const std::uint64_t* live, std::size_t col, std::size_t count);
    // For every row p < rows but skipRow: cells[p * cellStride + j] = min(that, w_pj) for
    // j < count, w_pj the key of fmaxf(legs[p * legStride], pivot[j]). Held cells of the rows
    // may be overwritten; storeLive leaves them out when the rows go back to the matrix.
    void (*sweepRows)(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
                      const std::uint32_t* legs, std::size_t legStride,
                      const std::uint32_t* pivot, std::size_t count);
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
