// AVX2 kernels of the weakest-link engine. Built for AVX2 through a target pragma, so the file
// needs no extra compiler flags; the engine calls it only when the CPU reports avx2.
#include "cpu/weakest_link_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace fwprune::cpu::weakest_link {
namespace {

constexpr std::size_t kLanes = 8;
// A register tile: kTileRows rows by kTileVectors vectors. AVX2 has 16 vector registers: the
// tile, one broadcast leg per row and the pivot vectors must fit in them.
constexpr int kTileRows = 4;
constexpr int kTileVectors = 2;

inline int* ints(Word* p) {
    return reinterpret_cast<int*>(p);
}
inline const int* ints(const Word* p) {
    return reinterpret_cast<const int*>(p);
}

// All-ones in lane l when bit l of `bits` is set.
inline __m256i laneMask(unsigned bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lanes),
                              lanes);
}

inline unsigned liveBits(const std::uint64_t* live, std::size_t col) {
    return reinterpret_cast<const unsigned char*>(live)[col / 8];
}

inline unsigned firstLanes(std::size_t count) {
    return count >= kLanes ? 0xffu : (1u << count) - 1u;
}

constexpr std::uint32_t kInfBits = 0x7f800000u;

inline bool isNaN(std::uint32_t magnitude) {
    return magnitude > kInfBits;
}

inline __m256i load(const void* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store(void* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

inline __m256 magnitudes(__m256i bits) {
    return _mm256_castsi256_ps(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffffff)));
}

// One sweep step on magnitudes. vmaxps returns its second operand when either is NaN, so a NaN
// pivot leg yields the row's leg, as fmaxf does; vminps likewise keeps the cell when w is NaN,
// which happens only when both legs are NaN. A NaN row leg is handled by the caller.
inline __m256 step(__m256 cell, __m256 pivot, __m256 leg) {
    return _mm256_min_ps(_mm256_max_ps(pivot, leg), cell);
}
inline __m256 stepNaNLeg(__m256 cell, __m256 pivot) {
    return _mm256_min_ps(pivot, cell);
}

inline __m256 broadcast(std::uint32_t bits) {
    return _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(bits)));
}

// The stored form of a live cell whose magnitude went from |old| to mag: negative if it started
// negative or has been replaced. Both magnitudes are below 2^31, so a signed compare orders them.
inline __m256i merged(__m256i old, __m256 mag) {
    const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    const __m256i m = _mm256_castps_si256(mag);
    const __m256i replaced = _mm256_cmpgt_epi32(_mm256_andnot_si256(sign, old), m);
    return _mm256_or_si256(m, _mm256_and_si256(_mm256_or_si256(old, replaced), sign));
}

void markLive(const Word* row, std::uint64_t* live, std::size_t n, float lower) {
    const __m256 lowerV = _mm256_set1_ps(lower);
    const __m256 zero = _mm256_setzero_ps();
    unsigned char* const liveBytes = reinterpret_cast<unsigned char*>(live);
    for (std::size_t j = 0; j < n; j += kLanes) {
        const unsigned lanes = firstLanes(n - j);
        const __m256 v = _mm256_castsi256_ps(_mm256_maskload_epi32(ints(row + j), laneMask(lanes)));
        const unsigned takesPart = static_cast<unsigned>(_mm256_movemask_ps(_mm256_or_ps(
            _mm256_cmp_ps(v, lowerV, _CMP_GT_OQ), _mm256_cmp_ps(v, zero, _CMP_LT_OQ))));
        liveBytes[j / 8] = static_cast<unsigned char>(takesPart & lanes);
    }
}

void threshold(Word* row, std::size_t n, float upper) {
    const __m256 upperV = _mm256_set1_ps(upper);
    const __m256i two = _mm256_set1_epi32(0x40000000);  // 2.0f
    for (std::size_t j = 0; j < n; j += kLanes) {
        const __m256i lanes = laneMask(firstLanes(n - j));
        const __m256i bits = _mm256_maskload_epi32(ints(row + j), lanes);
        const __m256i cut = _mm256_or_si256(
            _mm256_srai_epi32(bits, 31),
            _mm256_castps_si256(_mm256_cmp_ps(upperV, _mm256_castsi256_ps(bits), _CMP_LE_OQ)));
        _mm256_maskstore_epi32(ints(row + j), _mm256_and_si256(lanes, cut), two);
    }
}

void snapshot(std::uint32_t* legs, const std::uint32_t* mags, const Word* row,
              const std::uint64_t* live, std::size_t col, std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __m256i lanes = laneMask(firstLanes(count - j));
        const __m256i held =
            _mm256_castps_si256(magnitudes(_mm256_maskload_epi32(ints(row + col + j), lanes)));
        const __m256i current = _mm256_maskload_epi32(ints(mags + j), lanes);
        _mm256_maskstore_epi32(
            ints(legs + j), lanes,
            _mm256_blendv_epi8(held, current, laneMask(liveBits(live, col + j))));
    }
}

inline __m256 stepFor(std::uint32_t leg, __m256 cell, __m256 pivot) {
    return isNaN(leg) ? stepNaNLeg(cell, pivot) : step(cell, pivot, broadcast(leg));
}

void sweepRows(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
               const std::uint32_t* legs, std::size_t legStride, const std::uint32_t* pivot,
               std::size_t count) {
    std::size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        const __m256 p = _mm256_castsi256_ps(load(pivot + j));
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            std::uint32_t* const c = cells + r * cellStride + j;
            const __m256 next = stepFor(legs[r * legStride], _mm256_castsi256_ps(load(c)), p);
            store(c, _mm256_castps_si256(next));
        }
    }
    if (j < count) {
        const __m256i lanes = laneMask(firstLanes(count - j));
        const __m256 p = _mm256_castsi256_ps(_mm256_maskload_epi32(ints(pivot + j), lanes));
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            int* const c = ints(cells + r * cellStride + j);
            const __m256 cell = _mm256_castsi256_ps(_mm256_maskload_epi32(c, lanes));
            _mm256_maskstore_epi32(c, lanes,
                                   _mm256_castps_si256(stepFor(legs[r * legStride], cell, p)));
        }
    }
}

void storeLive(Word* row, const std::uint32_t* mags, const std::uint64_t* live, std::size_t col,
               std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const unsigned bits = firstLanes(count - j) & liveBits(live, col + j);
        if (bits == 0) continue;
        const __m256i lanes = laneMask(bits);
        const __m256i old = _mm256_maskload_epi32(ints(row + col + j), lanes);
        const __m256 mag = _mm256_castsi256_ps(_mm256_maskload_epi32(ints(mags + j), lanes));
        _mm256_maskstore_epi32(ints(row + col + j), lanes, merged(old, mag));
    }
}

// The rows' own columns [k0, k0 + sweeps), sweep by sweep; records each row's column-k legs.
void sweepOwnColumns(const SweepGroup& g) {
    const std::size_t kb = static_cast<std::size_t>(g.sweeps);
    const std::size_t vectors = (kb + kLanes - 1) / kLanes;
    for (int r = 0; r < g.rowCount; ++r) {
        for (std::size_t v = 0; v < vectors; ++v) {
            const __m256i lanes = laneMask(firstLanes(kb - v * kLanes));
            _mm256_store_ps(
                reinterpret_cast<float*>(g.own + r * kBlock + v * kLanes),
                magnitudes(_mm256_maskload_epi32(ints(g.rows[r] + g.k0 + v * kLanes), lanes)));
        }
    }
    for (std::size_t s = 0; s < kb; ++s) {
        const std::size_t c = g.k0 + s;
        // Within the block the pivot rows are readable up to a whole vector past the last column.
        const float* const pivot =
            reinterpret_cast<const float*>(g.pivots + s * g.pivotStride + g.k0);
        for (int r = 0; r < g.rowCount; ++r) {
            std::uint32_t* const mags = g.own + r * kBlock;
            const std::uint32_t held = static_cast<std::uint32_t>(g.rows[r][c]) & 0x7fffffffu;
            const std::uint32_t leg = (g.live[r][c >> 6] >> (c & 63)) & 1u ? mags[s] : held;
            g.legs[r * kBlock + s] = leg;
            for (std::size_t v = 0; v < vectors; ++v) {
                float* const m = reinterpret_cast<float*>(mags + v * kLanes);
                _mm256_store_ps(
                    m, stepFor(leg, _mm256_load_ps(m), _mm256_load_ps(pivot + v * kLanes)));
            }
        }
    }
    for (int r = 0; r < g.rowCount; ++r)
        storeLive(g.rows[r], g.own + r * kBlock, g.live[r], g.k0, kb);
}

// Applies every sweep of the block to rows [r0, r0 + Rows) of the group at columns
// [col, col + 8 * Vectors), the last vector limited to the lanes set in `lastLanes`.
template <int Rows, int Vectors, bool NaNLegs>
void sweepTile(const SweepGroup& g, int r0, std::size_t col, unsigned lastLanes) {
    const __m256i lastMask = laneMask(lastLanes);
    __m256 acc[Rows][Vectors];
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            Word* const p = g.rows[r0 + r] + col + v * kLanes;
            acc[r][v] =
                magnitudes(v == Vectors - 1 ? _mm256_maskload_epi32(ints(p), lastMask) : load(p));
        }
    }
    const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * kBlock;
    const float* pivot = reinterpret_cast<const float*>(g.pivots) + col;
    for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
        __m256 p[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) p[v] = _mm256_load_ps(pivot + v * kLanes);
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t leg = legs[r * kBlock + s];
            if (NaNLegs && isNaN(leg)) {
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) acc[r][v] = stepNaNLeg(acc[r][v], p[v]);
            } else {
                const __m256 a = broadcast(leg);
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = step(acc[r][v], p[v], a);
                    // Pins the tile in registers: without it GCC spills part of it every sweep.
                    __asm__("" : "+x"(acc[r][v]));
                }
            }
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            Word* const c = g.rows[r0 + r] + col + v * kLanes;
            unsigned bits = liveBits(g.live[r0 + r], col + v * kLanes);
            if (v == Vectors - 1) bits &= lastLanes;
            const __m256i lanes = laneMask(bits);
            _mm256_maskstore_epi32(ints(c), lanes,
                                   merged(_mm256_maskload_epi32(ints(c), lanes), acc[r][v]));
        }
    }
}

template <int Vectors, bool NaNLegs>
void sweepTileRows(const SweepGroup& g, std::size_t col, unsigned lastLanes) {
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
            sweepTileRows<kTileVectors, NaNLegs>(g, col, 0xffu);
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

namespace fwprune::cpu::weakest_link {

// Outside the AVX2 region: callers reach this before they know what the CPU supports.
const Kernels* avx2Kernels() {
    static constexpr Kernels kernels{markLive,  threshold, snapshot,
                                     sweepRows, storeLive, sweepGroup};
    return &kernels;
}

}  // namespace fwprune::cpu::weakest_link

#else  // not x86

namespace fwprune::cpu::weakest_link {
const Kernels* avx2Kernels() {
    return nullptr;
}
}  // namespace fwprune::cpu::weakest_link

#endif
