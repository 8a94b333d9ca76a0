// The weakest-link kernels written once over a vector width. Each instruction-set file defines
// the operations of its width (a struct V, below) inside its target region and then includes
// this header there, so the kernels are compiled for that instruction set; a CPU that lacks it
// never calls them.
//
// V provides:
//   Float, Int, Mask        vector of floats, vector of 32-bit ints, lane mask
//   kLanes                  lanes per vector
//   kTileRows, kTileVectors register tile of the sweeps (rows by vectors)
//   TakesPartBits                unsigned type of kLanes bits, as the takes-part bitmap stores them
//   firstLanes(count)       mask of the first min(count, kLanes) lanes
//   takingPartLanes(takingPartBits, col)  takes-part bits of lanes col..col + kLanes - 1 as a mask
//   bitsOf(mask)            the mask as TakesPartBits
//   load(p), loadMasked(p, mask), storeMasked(p, mask, v)      Int, unaligned, masked-off lanes 0
//   loadFloats(p), storeFloats(p, v)                           Float, 64-byte aligned
//   asFloat(Int), asInt(Float)
//   magnitudes(Int), broadcast(bits), select(mask, a, b) (b where mask is set)
//   step(cell, pivot, leg), stepNaNLeg(cell, pivot), merged(old, magnitude)
//   takesPart(v, lower)     lanes with v > lower or v < 0
//   cutLanes(bits, upper)   lanes that are negative by sign bit or >= upper
//   pin(v)                  keeps a tile value in a register
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cpu/weakest_link_internal.h"

namespace fwprune::cpu::weakest_link {
namespace {

template <typename V>
struct VectorKernels {
    using Float = typename V::Float;
    using Mask = typename V::Mask;
    static constexpr std::size_t kLanes = V::kLanes;

    static Float stepFor(std::uint32_t leg, Float cell, Float pivot) {
        return isNaN(leg) ? V::stepNaNLeg(cell, pivot) : V::step(cell, pivot, V::broadcast(leg));
    }

    static void markTakingPart(const CellBits* row, std::uint64_t* takingPartBits, std::size_t n,
                               float lower) {
        for (std::size_t j = 0; j < n; j += kLanes) {
            const Mask lanes = V::firstLanes(n - j);
            const typename V::TakesPartBits bits =
                V::bitsOf(lanes & V::takesPart(V::asFloat(V::loadMasked(row + j, lanes)), lower));
            std::memcpy(reinterpret_cast<unsigned char*>(takingPartBits) + j / 8, &bits,
                        sizeof bits);
        }
    }

    static void threshold(CellBits* row, std::size_t n, float upper) {
        const auto two = V::broadcastInt(kAbsentBits);
        for (std::size_t j = 0; j < n; j += kLanes) {
            const Mask lanes = V::firstLanes(n - j);
            V::storeMasked(row + j, lanes & V::cutLanes(V::loadMasked(row + j, lanes), upper), two);
        }
    }

    static void snapshot(std::uint32_t* legs, const std::uint32_t* mags, const CellBits* row,
                         const std::uint64_t* takingPartBits, std::size_t col, std::size_t count) {
        for (std::size_t j = 0; j < count; j += kLanes) {
            const Mask lanes = V::firstLanes(count - j);
            const auto held = V::asInt(V::magnitudes(V::loadMasked(row + col + j, lanes)));
            const auto current = V::loadMasked(mags + j, lanes);
            V::storeMasked(legs + j, lanes,
                           V::select(V::takingPartLanes(takingPartBits, col + j), held, current));
        }
    }

    // One vector of sweepRows at column j; masked to `lanes` for the tail only, since AVX2's
    // masked stores are slow.
    template <bool Masked>
    static void sweepRowsVector(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
                                const std::uint32_t* legs, std::size_t legStride,
                                const std::uint32_t* pivot, std::size_t j, Mask lanes) {
        const Float p = V::asFloat(Masked ? V::loadMasked(pivot + j, lanes) : V::load(pivot + j));
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            std::uint32_t* const c = cells + r * cellStride + j;
            const Float cell = V::asFloat(Masked ? V::loadMasked(c, lanes) : V::load(c));
            const auto next = V::asInt(stepFor(legs[r * legStride], cell, p));
            if (Masked)
                V::storeMasked(c, lanes, next);
            else
                V::store(c, next);
        }
    }

    static void sweepRows(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
                          const std::uint32_t* legs, std::size_t legStride,
                          const std::uint32_t* pivot, std::size_t count) {
        std::size_t j = 0;
        for (; j + kLanes <= count; j += kLanes) {
            sweepRowsVector<false>(cells, cellStride, rows, skipRow, legs, legStride, pivot, j,
                                   V::firstLanes(kLanes));
        }
        if (j < count) {
            sweepRowsVector<true>(cells, cellStride, rows, skipRow, legs, legStride, pivot, j,
                                  V::firstLanes(count - j));
        }
    }

    static void storeTakingPart(CellBits* row, const std::uint32_t* mags,
                                const std::uint64_t* takingPartBits, std::size_t col,
                                std::size_t count) {
        for (std::size_t j = 0; j < count; j += kLanes) {
            const Mask lanes =
                V::firstLanes(count - j) & V::takingPartLanes(takingPartBits, col + j);
            if (V::bitsOf(lanes) == 0) continue;
            const auto old = V::loadMasked(row + col + j, lanes);
            const Float mag = V::asFloat(V::loadMasked(mags + j, lanes));
            V::storeMasked(row + col + j, lanes, V::merged(old, mag));
        }
    }

    // The rows' own columns [k0, k0 + sweeps), sweep by sweep; records each row's column-k legs.
    static void sweepOwnColumns(const SweepGroup& g) {
        const std::size_t kb = static_cast<std::size_t>(g.sweeps);
        const std::size_t vectors = (kb + kLanes - 1) / kLanes;
        for (int r = 0; r < g.rowCount; ++r) {
            for (std::size_t v = 0; v < vectors; ++v) {
                const Mask lanes = V::firstLanes(kb - v * kLanes);
                V::storeFloats(g.own + r * kBlock + v * kLanes,
                               V::magnitudes(V::loadMasked(g.rows[r] + g.k0 + v * kLanes, lanes)));
            }
        }
        for (std::size_t s = 0; s < kb; ++s) {
            const std::size_t c = g.k0 + s;
            // Within the block the pivot rows are readable up to a whole vector past the last
            // column.
            const std::uint32_t* const pivot = g.pivots + s * g.pivotStride + g.k0;
            for (int r = 0; r < g.rowCount; ++r) {
                std::uint32_t* const mags = g.own + r * kBlock;
                const std::uint32_t held = magnitude(g.rows[r][c]);
                const std::uint32_t leg =
                    (g.takingPartBits[r][c >> 6] >> (c & 63)) & 1u ? mags[s] : held;
                g.legs[r * kBlock + s] = leg;
                for (std::size_t v = 0; v < vectors; ++v) {
                    std::uint32_t* const m = mags + v * kLanes;
                    V::storeFloats(
                        m, stepFor(leg, V::loadFloats(m), V::loadFloats(pivot + v * kLanes)));
                }
            }
        }
        for (int r = 0; r < g.rowCount; ++r)
            storeTakingPart(g.rows[r], g.own + r * kBlock, g.takingPartBits[r], g.k0, kb);
    }

    // Applies every sweep of the block to rows [r0, r0 + Rows) of the group at columns
    // [col, col + kLanes * Vectors), the last vector limited to `lastLanes`. The tile stays in
    // registers for all the block's sweeps.
    template <int Rows, int Vectors, bool NaNLegs>
    static void sweepTile(const SweepGroup& g, int r0, std::size_t col, Mask lastLanes) {
        Float acc[Rows][Vectors];
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
            for (int v = 0; v < Vectors; ++v) {
                const CellBits* const p = g.rows[r0 + r] + col + v * kLanes;
                acc[r][v] =
                    V::magnitudes(v == Vectors - 1 ? V::loadMasked(p, lastLanes) : V::load(p));
            }
        }
        const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * kBlock;
        const std::uint32_t* pivot = g.pivots + col;
        for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
            Float p[Vectors];
#pragma GCC unroll 8
            for (int v = 0; v < Vectors; ++v) p[v] = V::loadFloats(pivot + v * kLanes);
#pragma GCC unroll 8
            for (int r = 0; r < Rows; ++r) {
                const std::uint32_t leg = legs[r * kBlock + s];
                if (NaNLegs && isNaN(leg)) {
#pragma GCC unroll 8
                    for (int v = 0; v < Vectors; ++v) acc[r][v] = V::stepNaNLeg(acc[r][v], p[v]);
                } else {
                    const Float a = V::broadcast(leg);
#pragma GCC unroll 8
                    for (int v = 0; v < Vectors; ++v) {
                        acc[r][v] = V::step(acc[r][v], p[v], a);
                        V::pin(acc[r][v]);
                    }
                }
            }
        }
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
            for (int v = 0; v < Vectors; ++v) {
                CellBits* const c = g.rows[r0 + r] + col + v * kLanes;
                Mask lanes = V::takingPartLanes(g.takingPartBits[r0 + r], col + v * kLanes);
                if (v == Vectors - 1) lanes = lanes & lastLanes;
                V::storeMasked(c, lanes, V::merged(V::loadMasked(c, lanes), acc[r][v]));
            }
        }
    }

    template <int Vectors, bool NaNLegs>
    static void sweepTileRows(const SweepGroup& g, std::size_t col, Mask lastLanes) {
        for (int r0 = 0; r0 < g.rowCount; r0 += V::kTileRows) {
            switch (g.rowCount - r0) {
                case 1:
                    sweepTile<1, Vectors, NaNLegs>(g, r0, col, lastLanes);
                    break;
                case 2:
                    sweepTile<2, Vectors, NaNLegs>(g, r0, col, lastLanes);
                    break;
                case 3:
                    sweepTile<3, Vectors, NaNLegs>(g, r0, col, lastLanes);
                    break;
                default:
                    sweepTile<V::kTileRows, Vectors, NaNLegs>(g, r0, col, lastLanes);
                    break;
            }
        }
    }

    template <bool NaNLegs>
    static void sweepSpans(const SweepGroup& g) {
        constexpr std::size_t kTileColumns = V::kTileVectors * kLanes;
        for (const auto& span : g.spans) {
            std::size_t col = span[0];
            for (; col + kTileColumns <= span[1]; col += kTileColumns)
                sweepTileRows<V::kTileVectors, NaNLegs>(g, col, V::firstLanes(kLanes));
            for (; col < span[1]; col += kLanes)
                sweepTileRows<1, NaNLegs>(g, col, V::firstLanes(span[1] - col));
        }
    }

    static void sweepGroup(const SweepGroup& group) {
        sweepOwnColumns(group);
        bool anyNaNLeg = false;
        for (int r = 0; r < group.rowCount; ++r) {
            for (int s = 0; s < group.sweeps; ++s) anyNaNLeg |= isNaN(group.legs[r * kBlock + s]);
        }
        if (anyNaNLeg) {
            sweepSpans<true>(group);
        } else {
            sweepSpans<false>(group);
        }
    }
};

}  // namespace
}  // namespace fwprune::cpu::weakest_link
