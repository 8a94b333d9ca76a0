// Internals of the CPU weakest-link engine, shared by its instruction-set variants and its tests.
//
// Which cells take part (v > lower || v < 0) never changes in effect: a held cell (0 <= v <= lower,
// or NaN) is never written, and a replaced cell stores -w, which keeps taking part or has
// magnitude 0 and can shrink no further. A bitmap (the takes-part bits, one per cell) is computed
// once. The sweeps then work on magnitudes alone: one step is
//     |cell| = min(|cell|, fmaxf(|m[i][k]|, |m[k][j]|))
// and for non-negative floats a plain min/max gives the same order and the same bits. A cell's
// sign only matters to the threshold pass, which turns every negative cell into 2.0, so a cell
// that takes part is stored as its current magnitude with the sign set if it started negative or
// was ever replaced (its magnitude fell). Legs are magnitudes, NaN included: fmaxf ignores a NaN
// operand, and when both legs are NaN nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/float_bits.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "cpu/instruction_set.h"

namespace fwprune::cpu::weakest_link {

// pruneWeakestLinks with the given instruction set's kernels; throws std::invalid_argument when
// this CPU cannot run them.
void prune(InstructionSet isa, float* matrix, std::int64_t n, std::size_t rowStride,
           float lower_threshold, float upper_threshold, int threads,
           const ProgressFunction& progress = {});
void prune(InstructionSet isa, float* matrix, std::int64_t n, std::size_t rowStride,
           float lower_threshold, float upper_threshold, ThreadPool& pool,
           const ProgressFunction& progress = {});

// Sweeps per block: the pivot snapshots (kBlock rows) stay in L2, and each cell is loaded and
// stored once per block.
constexpr std::size_t kBlock = 64;

// The number of rows whose sweeps one sweepGroup call applies together.
constexpr int kGroupRows = 8;

// Applies the sweeps of a block [k0, k0 + sweeps) to up to kGroupRows rows outside it: first to
// the rows' own columns [k0, k0 + sweeps), sweep by sweep, which yields each row's column-k legs,
// then to the other columns, tile by tile.
struct SweepGroup {
    CellBits* rows[kGroupRows];
    const std::uint64_t* takingPartBits[kGroupRows];  // takes-part bits of each row
    int rowCount;
    std::size_t k0;
    int sweeps;
    // pivots[s * pivotStride + j]: the leg of pivot row k0 + s at column j as it stood at sweep
    // k0 + s. 64-byte aligned, pivotStride a multiple of 16, readable up to pivotStride.
    const std::uint32_t* pivots;
    std::size_t pivotStride;
    // Scratch of kGroupRows * kBlock magnitudes for the own columns, and as many legs.
    std::uint32_t* own;
    std::uint32_t* legs;
    // Column spans [begin, end) outside the block; each begin is a multiple of 16.
    std::size_t spans[2][2];
};

struct Kernels {
    // Sets the takes-part bits of a row (takingPartBits is zeroed on entry).
    void (*markTakingPart)(const CellBits* row, std::uint64_t* takingPartBits, std::size_t n,
                           float lower);
    // The threshold pass over a row: negative cells and cells >= upper become 2.0.
    void (*threshold)(CellBits* row, std::size_t n, float upper);
    // legs[j] = the magnitude of cell col + j: mags[j] if it takes part, |row[col + j]| if it is
    // held. col is a multiple of 16.
    void (*snapshot)(std::uint32_t* legs, const std::uint32_t* mags, const CellBits* row,
                     const std::uint64_t* takingPartBits, std::size_t col, std::size_t count);
    // For every row p < rows but skipRow, and j < count:
    //     cells[p * cellStride + j] = min(that, fmaxf(legs[p * legStride], pivot[j])),
    // on magnitudes. Held cells of the rows may be overwritten; storeTakingPart leaves them out.
    void (*sweepRows)(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
                      const std::uint32_t* legs, std::size_t legStride, const std::uint32_t* pivot,
                      std::size_t count);
    // Writes the magnitudes mags[j] back to row[col + j] for the cells that take part, signed as
    // described above; col is a multiple of 16.
    void (*storeTakingPart)(CellBits* row, const std::uint32_t* mags,
                            const std::uint64_t* takingPartBits, std::size_t col,
                            std::size_t count);
    void (*sweepGroup)(const SweepGroup& group);
};

const Kernels& portableKernels();
// Null where the compiler cannot target the instruction set.
const Kernels* avx2Kernels();
const Kernels* avx512Kernels();

}  // namespace fwprune::cpu::weakest_link
