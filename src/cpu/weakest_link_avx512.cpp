// AVX-512 kernels of the weakest-link engine. Built for AVX-512F through a target pragma, so the
// file needs no extra compiler flags; the engine calls it only when the CPU reports avx512f.
#include "cpu/weakest_link_internal.h"

#if defined(__x86_64__) || defined(__i386__)

// GCC 12's AVX-512 headers seed results with a self-initialised "undefined" vector, which
// -Wmaybe-uninitialized reports at every inlined min/max.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace fwprune::cpu::weakest_link {
namespace {

constexpr std::size_t kLanes = 16;
// A register tile: kTileRows rows by kTileVectors vectors, all sweeps of a block applied to it
// before it goes back to memory.
constexpr int kTileRows = 4;
constexpr int kTileVectors = 4;

inline __mmask16 liveMask(const std::uint64_t* live, std::size_t col) {
    std::uint16_t bits;
    std::memcpy(&bits, reinterpret_cast<const unsigned char*>(live) + col / 8, sizeof bits);
    return bits;
}

inline __mmask16 firstLanes(std::size_t count) {
    return count >= kLanes ? __mmask16(0xffff) : __mmask16((1u << count) - 1u);
}

// The key of w when the row's own leg is NaN: the pivot leg, or nothing when that is NaN too.
inline __m512i nanLegWeight(__m512i pivot) {
    const __m512i one = _mm512_set1_epi32(1);
    return _mm512_or_si512(_mm512_sub_epi32(pivot, one), one);
}

void sweepRow(std::uint32_t* cells, const std::uint32_t* pivot, std::size_t count,
              std::uint32_t leg) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __mmask16 lanes = firstLanes(count - j);
        const __m512i keys = _mm512_maskz_loadu_epi32(lanes, cells + j);
        const __m512i p = _mm512_maskz_loadu_epi32(lanes, pivot + j);
        const __m512i w =
            leg != 0 ? _mm512_max_epu32(_mm512_set1_epi32(static_cast<int>(leg)), p)
                     : nanLegWeight(p);
        _mm512_mask_storeu_epi32(cells + j, lanes, _mm512_min_epu32(keys, w));
    }
}

void storeLive(Word* row, const std::uint32_t* keys, const std::uint64_t* live, std::size_t col,
               std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __mmask16 lanes = firstLanes(count - j) & liveMask(live, col + j);
        _mm512_mask_storeu_epi32(row + col + j, lanes, _mm512_maskz_loadu_epi32(lanes, keys + j));
    }
}

// Applies every sweep of the block to rows [r0, r0 + Rows) of the group at columns
// [col, col + 16 * Vectors), the last vector limited to `lastLanes`.
template <int Rows, int Vectors, bool NaNLegs>
void sweepTile(const SweepGroup& g, int r0, std::size_t col, __mmask16 lastLanes) {
    __m512i acc[Rows][Vectors];
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            const Word* const p = g.rows[r0 + r] + col + v * kLanes;
            acc[r][v] = v == Vectors - 1 ? _mm512_maskz_loadu_epi32(lastLanes, p)
                                         : _mm512_loadu_si512(p);
        }
    }
    const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * g.legStride;
    const std::uint32_t* pivot = g.pivots + col;
    for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
        __m512i p[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) p[v] = _mm512_load_si512(pivot + v * kLanes);
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t leg = legs[r * g.legStride + s];
            if (NaNLegs && leg == 0) {
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm512_min_epu32(acc[r][v], nanLegWeight(p[v]));
                }
            } else {
                const __m512i a = _mm512_set1_epi32(static_cast<int>(leg));
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm512_min_epu32(acc[r][v], _mm512_max_epu32(a, p[v]));
                }
            }
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            const std::size_t c = col + v * kLanes;
            __mmask16 lanes = liveMask(g.live[r0 + r], c);
            if (v == Vectors - 1) lanes &= lastLanes;
            _mm512_mask_storeu_epi32(g.rows[r0 + r] + c, lanes, acc[r][v]);
        }
    }
}

template <int Vectors, bool NaNLegs>
void sweepTileRows(const SweepGroup& g, std::size_t col, __mmask16 lastLanes) {
    for (int r0 = 0; r0 < g.rowCount; r0 += kTileRows) {
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
                sweepTile<kTileRows, Vectors, NaNLegs>(g, r0, col, lastLanes);
                break;
        }
    }
}

template <bool NaNLegs>
void sweepSpans(const SweepGroup& g) {
    constexpr std::size_t kTileColumns = kTileVectors * kLanes;
    for (const auto& span : g.spans) {
        std::size_t col = span[0];
        for (; col + kTileColumns <= span[1]; col += kTileColumns) {
            sweepTileRows<kTileVectors, NaNLegs>(g, col, 0xffff);
        }
        for (; col < span[1]; col += kLanes) {
            sweepTileRows<1, NaNLegs>(g, col, firstLanes(span[1] - col));
        }
    }
}

void sweepGroup(const SweepGroup& group) {
    if (group.anyNaNLeg) {
        sweepSpans<true>(group);
    } else {
        sweepSpans<false>(group);
    }
}

}  // namespace
}  // namespace fwprune::cpu::weakest_link

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace fwprune::cpu::weakest_link {

// Outside the AVX-512 region: callers reach this before they know what the CPU supports.
const Kernels* avx512Kernels() {
    static constexpr Kernels kernels{sweepRow, storeLive, sweepGroup};
    return &kernels;
}

}  // namespace fwprune::cpu::weakest_link

#else  // not x86

namespace fwprune::cpu::weakest_link {
const Kernels* avx512Kernels() { return nullptr; }
}  // namespace fwprune::cpu::weakest_link

#endif
