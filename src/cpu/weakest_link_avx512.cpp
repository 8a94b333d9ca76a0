// AVX-512 kernels of the weakest-link engine. Built for AVX-512F through a target pragma, so the
// file needs no extra compiler flags; the engine calls it only when the CPU reports avx512f.
#include "cpu/weakest_link_internal.h"

#if defined(__x86_64__) || defined(__i386__)

// GCC 12's AVX-512 headers seed results with a self-initialised "undefined" vector, which
// -W(maybe-)uninitialized reports at every inlined use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
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

constexpr std::uint32_t kInfBits = 0x7f800000u;

inline bool isNaN(std::uint32_t magnitude) {
    return magnitude > kInfBits;
}

inline __m512 magnitudes(__m512i bits) {
    return _mm512_castsi512_ps(_mm512_and_si512(bits, _mm512_set1_epi32(0x7fffffff)));
}

// One sweep step on magnitudes. vmaxps returns its second operand when either is NaN, so a NaN
// pivot leg yields the row's leg, as fmaxf does; vminps likewise keeps the cell when w is NaN,
// which happens only when both legs are NaN. A NaN row leg is handled by the caller.
inline __m512 step(__m512 cell, __m512 pivot, __m512 leg) {
    return _mm512_min_ps(_mm512_max_ps(pivot, leg), cell);
}
inline __m512 stepNaNLeg(__m512 cell, __m512 pivot) {
    return _mm512_min_ps(pivot, cell);
}

inline __m512 broadcast(std::uint32_t bits) {
    return _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(bits)));
}

// The stored form of a live cell whose magnitude went from |old| to mag: negative if it started
// negative or has been replaced.
inline __m512i merged(__m512i old, __m512 mag) {
    const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __m512i m = _mm512_castps_si512(mag);
    const __mmask16 replaced = _mm512_cmplt_epu32_mask(m, _mm512_andnot_si512(sign, old));
    const __m512i kept = _mm512_ternarylogic_epi32(m, old, sign, 0xf8);  // m | (old & sign)
    return _mm512_mask_or_epi32(kept, replaced, kept, sign);
}

void markLive(const Word* row, std::uint64_t* live, std::size_t n, float lower) {
    const __m512 lowerV = _mm512_set1_ps(lower);
    const __m512 zero = _mm512_setzero_ps();
    for (std::size_t j = 0; j < n; j += kLanes) {
        const __mmask16 lanes = firstLanes(n - j);
        const __m512 v = _mm512_castsi512_ps(_mm512_maskz_loadu_epi32(lanes, row + j));
        const std::uint16_t takesPart = lanes & (_mm512_cmp_ps_mask(v, lowerV, _CMP_GT_OQ) |
                                                 _mm512_cmp_ps_mask(v, zero, _CMP_LT_OQ));
        std::memcpy(reinterpret_cast<unsigned char*>(live) + j / 8, &takesPart, sizeof takesPart);
    }
}

void threshold(Word* row, std::size_t n, float upper) {
    const __m512 upperV = _mm512_set1_ps(upper);
    const __m512i two = _mm512_set1_epi32(0x40000000);  // 2.0f
    for (std::size_t j = 0; j < n; j += kLanes) {
        const __mmask16 lanes = firstLanes(n - j);
        const __m512i bits = _mm512_maskz_loadu_epi32(lanes, row + j);
        const __mmask16 cut = _mm512_cmplt_epi32_mask(bits, _mm512_setzero_si512()) |
                              _mm512_cmp_ps_mask(upperV, _mm512_castsi512_ps(bits), _CMP_LE_OQ);
        _mm512_mask_storeu_epi32(row + j, lanes & cut, two);
    }
}

void snapshot(std::uint32_t* legs, const std::uint32_t* mags, const Word* row,
              const std::uint64_t* live, std::size_t col, std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __mmask16 lanes = firstLanes(count - j);
        const __m512i held =
            _mm512_castps_si512(magnitudes(_mm512_maskz_loadu_epi32(lanes, row + col + j)));
        const __m512i current = _mm512_maskz_loadu_epi32(lanes, mags + j);
        _mm512_mask_storeu_epi32(legs + j, lanes,
                                 _mm512_mask_mov_epi32(held, liveMask(live, col + j), current));
    }
}

void sweepRows(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
               const std::uint32_t* legs, std::size_t legStride, const std::uint32_t* pivot,
               std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __mmask16 lanes = firstLanes(count - j);
        const __m512 p = _mm512_castsi512_ps(_mm512_maskz_loadu_epi32(lanes, pivot + j));
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            std::uint32_t* const c = cells + r * cellStride + j;
            const std::uint32_t leg = legs[r * legStride];
            const __m512 cell = _mm512_castsi512_ps(_mm512_maskz_loadu_epi32(lanes, c));
            const __m512 next = isNaN(leg) ? stepNaNLeg(cell, p) : step(cell, p, broadcast(leg));
            _mm512_mask_storeu_epi32(c, lanes, _mm512_castps_si512(next));
        }
    }
}

void storeLive(Word* row, const std::uint32_t* mags, const std::uint64_t* live, std::size_t col,
               std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __mmask16 lanes = firstLanes(count - j) & liveMask(live, col + j);
        if (lanes == 0) continue;
        const __m512i old = _mm512_maskz_loadu_epi32(lanes, row + col + j);
        const __m512 mag = _mm512_castsi512_ps(_mm512_maskz_loadu_epi32(lanes, mags + j));
        _mm512_mask_storeu_epi32(row + col + j, lanes, merged(old, mag));
    }
}

// The rows' own columns [k0, k0 + sweeps), sweep by sweep; records each row's column-k legs.
void sweepOwnColumns(const SweepGroup& g) {
    const std::size_t kb = static_cast<std::size_t>(g.sweeps);
    const std::size_t vectors = (kb + kLanes - 1) / kLanes;
    for (int r = 0; r < g.rowCount; ++r) {
        for (std::size_t v = 0; v < vectors; ++v) {
            const __mmask16 lanes = firstLanes(kb - v * kLanes);
            _mm512_store_ps(
                g.own + r * kBlock + v * kLanes,
                magnitudes(_mm512_maskz_loadu_epi32(lanes, g.rows[r] + g.k0 + v * kLanes)));
        }
    }
    for (std::size_t s = 0; s < kb; ++s) {
        const std::size_t c = g.k0 + s;
        // Within the block the pivot rows are readable up to a whole vector past the last column.
        const std::uint32_t* const pivot = g.pivots + s * g.pivotStride + g.k0;
        for (int r = 0; r < g.rowCount; ++r) {
            std::uint32_t* const mags = g.own + r * kBlock;
            const std::uint32_t held = static_cast<std::uint32_t>(g.rows[r][c]) & 0x7fffffffu;
            const std::uint32_t leg = (g.live[r][c >> 6] >> (c & 63)) & 1u ? mags[s] : held;
            g.legs[r * kBlock + s] = leg;
            const __m512 a = broadcast(leg);
            for (std::size_t v = 0; v < vectors; ++v) {
                float* const m = reinterpret_cast<float*>(mags + v * kLanes);
                const __m512 p = _mm512_load_ps(pivot + v * kLanes);
                const __m512 cell = _mm512_load_ps(m);
                _mm512_store_ps(m, isNaN(leg) ? stepNaNLeg(cell, p) : step(cell, p, a));
            }
        }
    }
    for (int r = 0; r < g.rowCount; ++r)
        storeLive(g.rows[r], g.own + r * kBlock, g.live[r], g.k0, kb);
}

// Applies every sweep of the block to rows [r0, r0 + Rows) of the group at columns
// [col, col + 16 * Vectors), the last vector limited to `lastLanes`.
template <int Rows, int Vectors, bool NaNLegs>
void sweepTile(const SweepGroup& g, int r0, std::size_t col, __mmask16 lastLanes) {
    __m512 acc[Rows][Vectors];
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            const Word* const p = g.rows[r0 + r] + col + v * kLanes;
            acc[r][v] = magnitudes(v == Vectors - 1 ? _mm512_maskz_loadu_epi32(lastLanes, p)
                                                    : _mm512_loadu_si512(p));
        }
    }
    const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * kBlock;
    const float* pivot = reinterpret_cast<const float*>(g.pivots) + col;
    for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
        __m512 p[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) p[v] = _mm512_load_ps(pivot + v * kLanes);
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t leg = legs[r * kBlock + s];
            if (NaNLegs && isNaN(leg)) {
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) acc[r][v] = stepNaNLeg(acc[r][v], p[v]);
            } else {
                const __m512 a = broadcast(leg);
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = step(acc[r][v], p[v], a);
                    // Pins the tile in registers: without it GCC copies every result back.
                    __asm__("" : "+v"(acc[r][v]));
                }
            }
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            Word* const c = g.rows[r0 + r] + col + v * kLanes;
            __mmask16 lanes = liveMask(g.live[r0 + r], col + v * kLanes);
            if (v == Vectors - 1) lanes &= lastLanes;
            _mm512_mask_storeu_epi32(c, lanes,
                                     merged(_mm512_maskz_loadu_epi32(lanes, c), acc[r][v]));
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
    static constexpr Kernels kernels{markLive,  threshold, snapshot,
                                     sweepRows, storeLive, sweepGroup};
    return &kernels;
}

}  // namespace fwprune::cpu::weakest_link

#else  // not x86

namespace fwprune::cpu::weakest_link {
const Kernels* avx512Kernels() {
    return nullptr;
}
}  // namespace fwprune::cpu::weakest_link

#endif
