// The weakest-link sweeps on the CPU, blocked so that the work stays in cache.
//
// Row i's cells at sweep k depend only on row i itself and on row k as it stood at sweep k. So
// for a block of sweeps [k0, k0 + K) the K pivot rows are carried through the block first, and
// a snapshot of each pivot row k is kept as it stood at sweep k; every other row then takes all K
// sweeps, tile by tile, from those snapshots. A row's own columns inside the block go first,
// sweep by sweep, because they supply the row's column-k legs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/aligned_memory.h"
#include "common/bit_rows.h"
#include "common/cancel.h"
#include "common/float_mode.h"
#include "common/matrix_view.h"
#include "common/parallel.h"
#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_internal.h"

namespace fwprune::cpu {
namespace weakest_link {
namespace {

// Copies the magnitudes of count cells.
void copyMagnitudes(std::uint32_t* dst, const CellBits* src, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) dst[j] = magnitude(src[j]);
}

// Columns per tile when the pivot rows are carried through a block.
constexpr std::size_t kBandColumns = 128;

class Engine {
  public:
    Engine(const Kernels& kernels, float* matrix, std::size_t n, std::size_t rowStride,
           ThreadPool& pool)
        : kernels_(kernels),
          matrix_{matrix, static_cast<std::int64_t>(n), rowStride},
          n_(n),
          pool_(pool),
          takingPartBits_(static_cast<std::int64_t>(n), static_cast<std::int64_t>(n)),
          // One extra cache line per row: at a power-of-two stride the snapshot rows that a tile
          // walks through would all land in the same L1 sets.
          pivotStride_((n + 15) / 16 * 16 + 16),
          pivots_(kBlock * pivotStride_),
          square_(kBlock * kBlock),
          pivotLegs_(kBlock * kBlock) {
        for (int w = 0; w < pool_.size(); ++w) {
            bands_.emplace_back(kBlock * kBandColumns);
            ownMags_.emplace_back(kGroupRows * kBlock);
            ownLegs_.emplace_back(kGroupRows * kBlock);
        }
    }

    void run(float lower, float upper, const ProgressFunction& progress) {
        pool_.parallelFor(0, static_cast<std::int64_t>(n_),
                          [&](std::int64_t begin, std::int64_t end, int) {
                              for (std::int64_t i = begin; i < end; ++i) {
                                  kernels_.markTakingPart(row(i), takingPartBits(i), n_, lower);
                              }
                          });
        for (std::size_t k0 = 0; k0 < n_; k0 += kBlock) {
            pollCancelled();
            const std::size_t kb = std::min(kBlock, n_ - k0);
            carryPivotSquare(k0, kb);
            carryPivotBands(k0, kb);
            sweepOtherRows(k0, kb);
            if (progress) progress(static_cast<double>(k0 + kb) / static_cast<double>(n_));
        }
        pool_.parallelFor(0, static_cast<std::int64_t>(n_),
                          [&](std::int64_t begin, std::int64_t end, int) {
                              for (std::int64_t i = begin; i < end; ++i) {
                                  kernels_.threshold(row(i), n_, upper);
                              }
                          });
    }

  private:
    // Cells are read and written as their bit patterns (CellBits may alias the caller's floats).
    CellBits* row(std::size_t i) const {
        return reinterpret_cast<CellBits*>(matrix_.row(static_cast<std::int64_t>(i)));
    }
    const Word* takingPartBits(std::size_t i) const {
        return takingPartBits_.row(static_cast<std::int64_t>(i));
    }
    Word* takingPartBits(std::size_t i) {
        return takingPartBits_.row(static_cast<std::int64_t>(i));
    }
    std::uint32_t* pivotRow(std::size_t s) { return pivots_.get() + s * pivotStride_; }

    // Carries the pivot rows' own columns [k0, k0 + kb) through the block's sweeps, recording each
    // pivot row's column-k legs and the snapshots of those columns.
    void carryPivotSquare(std::size_t k0, std::size_t kb) {
        carryColumns(k0, kb, k0, kb, square_.get(), kBlock);
    }

    // Carries the pivot rows' other columns through the block, band by band of columns, and
    // snapshots each pivot row there.
    void carryPivotBands(std::size_t k0, std::size_t kb) {
        const std::size_t leftBands = (k0 + kBandColumns - 1) / kBandColumns;
        const std::size_t rightBegin = k0 + kb;
        const std::size_t rightBands = (n_ - rightBegin + kBandColumns - 1) / kBandColumns;
        pool_.parallelFor(0, static_cast<std::int64_t>(leftBands + rightBands),
                          [&](std::int64_t begin, std::int64_t end, int worker) {
                              std::uint32_t* const band = bands_[worker].get();
                              for (std::int64_t b = begin; b < end; ++b) {
                                  const std::size_t bi = static_cast<std::size_t>(b);
                                  const std::size_t c0 =
                                      bi < leftBands ? bi * kBandColumns
                                                     : rightBegin + (bi - leftBands) * kBandColumns;
                                  const std::size_t c1 =
                                      std::min(c0 + kBandColumns, bi < leftBands ? k0 : n_);
                                  carryColumns(k0, kb, c0, c1 - c0, band, kBandColumns);
                              }
                          });
    }

    // Carries the pivot rows' columns [c0, c0 + len) through the block's sweeps in tile (rows
    // tileStride apart), keeping the snapshot of each pivot row as it stood at its sweep. The
    // block's own columns come first and also yield every pivot row's column-k legs, which the
    // other columns then use.
    void carryColumns(std::size_t k0, std::size_t kb, std::size_t c0, std::size_t len,
                      std::uint32_t* tile, std::size_t tileStride) {
        const bool ownColumns = c0 == k0;
        std::uint32_t* const legs = pivotLegs_.get();
        for (std::size_t p = 0; p < kb; ++p) {
            copyMagnitudes(tile + p * tileStride, row(k0 + p) + c0, len);
        }
        for (std::size_t s = 0; s < kb; ++s) {
            std::uint32_t* const snapshot = pivotRow(s) + c0;
            kernels_.snapshot(snapshot, tile + s * tileStride, row(k0 + s), takingPartBits(k0 + s),
                              c0, len);
            if (ownColumns) {
                // Sweep s changes no cell of column s, so every row's leg can be taken up front.
                const std::size_t c = k0 + s;
                for (std::size_t p = 0; p < kb; ++p) {
                    legs[p * kBlock + s] = testBit(takingPartBits(k0 + p), c)
                                               ? tile[p * tileStride + s]
                                               : magnitude(row(k0 + p)[c]);
                }
            }
            kernels_.sweepRows(tile, tileStride, static_cast<int>(kb), static_cast<int>(s),
                               legs + s, kBlock, snapshot, len);
        }
        for (std::size_t p = 0; p < kb; ++p) {
            kernels_.storeTakingPart(row(k0 + p), tile + p * tileStride, takingPartBits(k0 + p), c0,
                                     len);
        }
    }

    // Applies the block's sweeps to every row outside it, kGroupRows rows at a time.
    void sweepOtherRows(std::size_t k0, std::size_t kb) {
        const std::size_t others = n_ - kb;
        const std::size_t groups = (others + kGroupRows - 1) / kGroupRows;
        pool_.parallelFor(
            0, static_cast<std::int64_t>(groups),
            [&](std::int64_t begin, std::int64_t end, int worker) {
                for (std::int64_t g = begin; g < end; ++g) {
                    const std::size_t first = static_cast<std::size_t>(g) * kGroupRows;
                    sweepGroup(k0, kb, first, std::min(others, first + kGroupRows), worker);
                }
            });
    }

    void sweepGroup(std::size_t k0, std::size_t kb, std::size_t first, std::size_t last,
                    int worker) {
        SweepGroup group{};
        group.rowCount = static_cast<int>(last - first);
        for (int r = 0; r < group.rowCount; ++r) {
            const std::size_t index = first + static_cast<std::size_t>(r);
            const std::size_t i = index < k0 ? index : index + kb;
            group.rows[r] = row(i);
            group.takingPartBits[r] = takingPartBits(i);
        }
        group.k0 = k0;
        group.sweeps = static_cast<int>(kb);
        group.pivots = pivots_.get();
        group.pivotStride = pivotStride_;
        group.own = ownMags_[worker].get();
        group.legs = ownLegs_[worker].get();
        group.spans[0][0] = 0;
        group.spans[0][1] = k0;
        group.spans[1][0] = k0 + kb;
        group.spans[1][1] = n_;
        kernels_.sweepGroup(group);
    }

    const Kernels& kernels_;
    const MatrixView<float> matrix_;
    const std::size_t n_;
    ThreadPool& pool_;
    BitRows takingPartBits_;
    const std::size_t pivotStride_;
    AlignedArray<std::uint32_t> pivots_;
    AlignedArray<std::uint32_t> square_;
    AlignedArray<std::uint32_t> pivotLegs_;
    // Per-worker scratch.
    std::vector<AlignedArray<std::uint32_t>> bands_;
    std::vector<AlignedArray<std::uint32_t>> ownMags_;
    std::vector<AlignedArray<std::uint32_t>> ownLegs_;
};

// Portable kernels.

void markTakingPartPortable(const CellBits* row, std::uint64_t* takingPartBits, std::size_t n,
                            float lower) {
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t bits = row[j];
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if (v > lower || v < 0.0f) setBit(takingPartBits, j);
    }
}

void thresholdPortable(CellBits* row, std::size_t n, float upper) {
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t bits = row[j];
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if ((bits & kSignBit) || upper <= v) row[j] = kAbsentBits;
    }
}

void snapshotPortable(std::uint32_t* legs, const std::uint32_t* mags, const CellBits* row,
                      const std::uint64_t* takingPartBits, std::size_t col, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) {
        legs[j] = testBit(takingPartBits, col + j) ? mags[j] : magnitude(row[col + j]);
    }
}

// Magnitudes compare as their bit patterns; a NaN leg drops out of fmaxf.
void sweepRowPortable(std::uint32_t* cells, const std::uint32_t* pivot, std::size_t count,
                      std::uint32_t leg) {
    if (!isNaN(leg)) {
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t w = isNaN(pivot[j]) ? leg : std::max(leg, pivot[j]);
            cells[j] = std::min(cells[j], w);
        }
    } else {
        for (std::size_t j = 0; j < count; ++j) {
            if (!isNaN(pivot[j])) cells[j] = std::min(cells[j], pivot[j]);
        }
    }
}

void sweepRowsPortable(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
                       const std::uint32_t* legs, std::size_t legStride, const std::uint32_t* pivot,
                       std::size_t count) {
    for (int p = 0; p < rows; ++p) {
        if (p == skipRow) continue;
        sweepRowPortable(cells + p * cellStride, pivot, count, legs[p * legStride]);
    }
}

// A cell taking part keeps its sign, and becomes negative once its magnitude has fallen (replaced).
void storeTakingPartPortable(CellBits* row, const std::uint32_t* mags,
                             const std::uint64_t* takingPartBits, std::size_t col,
                             std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) {
        if (!testBit(takingPartBits, col + j)) continue;
        const std::uint32_t old = row[col + j];
        const bool replaced = mags[j] < magnitude(old);
        row[col + j] = mags[j] | (old & kSignBit) | (replaced ? kSignBit : 0u);
    }
}

void sweepGroupPortable(const SweepGroup& g) {
    const std::size_t kb = static_cast<std::size_t>(g.sweeps);
    for (int r = 0; r < g.rowCount; ++r) copyMagnitudes(g.own + r * kBlock, g.rows[r] + g.k0, kb);
    for (std::size_t s = 0; s < kb; ++s) {
        const std::size_t c = g.k0 + s;
        for (int r = 0; r < g.rowCount; ++r) {
            std::uint32_t* const mags = g.own + r * kBlock;
            const std::uint32_t leg =
                testBit(g.takingPartBits[r], c) ? mags[s] : magnitude(g.rows[r][c]);
            g.legs[r * kBlock + s] = leg;
            sweepRowPortable(mags, g.pivots + s * g.pivotStride + g.k0, kb, leg);
        }
    }
    for (int r = 0; r < g.rowCount; ++r) {
        storeTakingPartPortable(g.rows[r], g.own + r * kBlock, g.takingPartBits[r], g.k0, kb);
    }
    constexpr std::size_t kTile = 256;
    std::uint32_t mags[kTile];
    for (const auto& span : g.spans) {
        for (std::size_t col = span[0]; col < span[1]; col += kTile) {
            const std::size_t len = std::min(kTile, span[1] - col);
            for (int r = 0; r < g.rowCount; ++r) {
                copyMagnitudes(mags, g.rows[r] + col, len);
                for (std::size_t s = 0; s < kb; ++s) {
                    sweepRowPortable(mags, g.pivots + s * g.pivotStride + col, len,
                                     g.legs[r * kBlock + s]);
                }
                storeTakingPartPortable(g.rows[r], mags, g.takingPartBits[r], col, len);
            }
        }
    }
}

const Kernels* kernelsFor(InstructionSet isa) {
    if (!instructionSetSupported(isa)) return nullptr;
    switch (isa) {
        case InstructionSet::Portable:
            return &portableKernels();
        case InstructionSet::Avx2:
            return avx2Kernels();
        case InstructionSet::Avx512:
            return avx512Kernels();
    }
    return nullptr;
}

}  // namespace

const Kernels& portableKernels() {
    static constexpr Kernels kernels{markTakingPartPortable,  thresholdPortable,
                                     snapshotPortable,        sweepRowsPortable,
                                     storeTakingPartPortable, sweepGroupPortable};
    return kernels;
}

void prune(InstructionSet isa, float* matrix, std::int64_t n, std::size_t rowStride,
           float lower_threshold, float upper_threshold, int threads,
           const ProgressFunction& progress) {
    ThreadPool pool(threads);
    prune(isa, matrix, n, rowStride, lower_threshold, upper_threshold, pool, progress);
}

void prune(InstructionSet isa, float* matrix, std::int64_t n, std::size_t rowStride,
           float lower_threshold, float upper_threshold, ThreadPool& pool,
           const ProgressFunction& progress) {
    const Kernels* const kernels = kernelsFor(isa);
    if (!kernels) throw std::invalid_argument("this CPU cannot run the requested instruction set");
    if (n <= 0) return;
    if (rowStride < static_cast<std::size_t>(n)) {
        throw std::invalid_argument("the row stride is shorter than a row");
    }
    // The pool's workers compute in IEEE mode already; this thread does its share of the work
    // too, and must compare subnormal magnitudes as they are whatever mode its caller had set.
    const IeeeFloatingPoint ieee;
    Engine(*kernels, matrix, static_cast<std::size_t>(n), rowStride, pool)
        .run(lower_threshold, upper_threshold, progress);
}

}  // namespace weakest_link

void pruneWeakestLinks(float* matrix, std::int64_t n, std::size_t rowStride, float lower_threshold,
                       float upper_threshold, ThreadPool& pool, const ProgressFunction& progress) {
    weakest_link::prune(bestInstructionSet(), matrix, n, rowStride, lower_threshold,
                        upper_threshold, pool, progress);
}

void pruneWeakestLinks(float* matrix, std::int64_t n, std::size_t rowStride, float lower_threshold,
                       float upper_threshold, int threads, const ProgressFunction& progress) {
    weakest_link::prune(bestInstructionSet(), matrix, n, rowStride, lower_threshold,
                        upper_threshold, threads, progress);
}

}  // namespace fwprune::cpu
