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

inline int* ints(Word* p) { return reinterpret_cast<int*>(p); }
inline const int* ints(const Word* p) { return reinterpret_cast<const int*>(p); }

// All-ones in lane l when bit l of `bits` is set.
inline __m256i laneMask(unsigned bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(
        _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lanes), lanes);
}

inline unsigned liveBits(const std::uint64_t* live, std::size_t col) {
    return reinterpret_cast<const unsigned char*>(live)[col / 8];
}

inline unsigned firstLanes(std::size_t count) {
    return count >= kLanes ? 0xffu : (1u << count) - 1u;
}

// The key of w when the row's own leg is NaN: the pivot leg, or nothing when that is NaN too.
inline __m256i nanLegWeight(__m256i pivot) {
    const __m256i one = _mm256_set1_epi32(1);
    return _mm256_or_si256(_mm256_sub_epi32(pivot, one), one);
}

inline __m256i weight(std::uint32_t leg, __m256i pivot) {
    return leg != 0 ? _mm256_max_epu32(_mm256_set1_epi32(static_cast<int>(leg)), pivot)
                    : nanLegWeight(pivot);
}

inline __m256i load(const void* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store(void* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

inline __m256i rotateLeft(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, 1), _mm256_srli_epi32(x, 31));
}
inline __m256i rotateRight(__m256i x) {
    return _mm256_or_si256(_mm256_srli_epi32(x, 1), _mm256_slli_epi32(x, 31));
}

void encodeRow(Word* row, std::uint64_t* live, std::size_t n, float lower) {
    const __m256 lowerV = _mm256_set1_ps(lower);
    const __m256 zero = _mm256_setzero_ps();
    unsigned char* const liveBytes = reinterpret_cast<unsigned char*>(live);
    for (std::size_t j = 0; j < n; j += kLanes) {
        const __m256i lanes = laneMask(firstLanes(n - j));
        const __m256i bits = _mm256_maskload_epi32(ints(row + j), lanes);
        const __m256 v = _mm256_castsi256_ps(bits);
        const __m256i takesPart = _mm256_and_si256(
            lanes, _mm256_castps_si256(_mm256_or_ps(_mm256_cmp_ps(v, lowerV, _CMP_GT_OQ),
                                                    _mm256_cmp_ps(v, zero, _CMP_LT_OQ))));
        liveBytes[j / 8] =
            static_cast<unsigned char>(_mm256_movemask_ps(_mm256_castsi256_ps(takesPart)));
        _mm256_maskstore_epi32(ints(row + j), takesPart, rotateLeft(bits));
    }
}

void decodeRow(Word* row, const std::uint64_t* live, std::size_t n, float upper) {
    const __m256 upperV = _mm256_set1_ps(upper);
    const __m256i two = _mm256_set1_epi32(0x40000000);  // 2.0f
    for (std::size_t j = 0; j < n; j += kLanes) {
        const __m256i lanes = laneMask(firstLanes(n - j));
        const __m256i keys = _mm256_maskload_epi32(ints(row + j), lanes);
        const __m256i bits =
            _mm256_blendv_epi8(keys, rotateRight(keys), laneMask(liveBits(live, j)));
        const __m256i cut = _mm256_or_si256(
            _mm256_srai_epi32(bits, 31),
            _mm256_castps_si256(_mm256_cmp_ps(upperV, _mm256_castsi256_ps(bits), _CMP_LE_OQ)));
        _mm256_maskstore_epi32(ints(row + j), lanes, _mm256_blendv_epi8(bits, two, cut));
    }
}

void snapshot(std::uint32_t* legs, const std::uint32_t* keys, const Word* row,
              const std::uint64_t* live, std::size_t col, std::size_t count) {
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    // 0xff000000, the key of infinity, with the sign flipped for a signed compare.
    const __m256i infKey = _mm256_set1_epi32(0x7f000000);
    for (std::size_t j = 0; j < count; j += kLanes) {
        const __m256i lanes = laneMask(firstLanes(count - j));
        const __m256i doubled = _mm256_slli_epi32(_mm256_maskload_epi32(ints(row + col + j), lanes), 1);
        const __m256i nan = _mm256_cmpgt_epi32(_mm256_xor_si256(doubled, flip), infKey);
        const __m256i held = _mm256_andnot_si256(nan, _mm256_or_si256(doubled, one));
        const __m256i current = _mm256_or_si256(_mm256_maskload_epi32(ints(keys + j), lanes), one);
        _mm256_maskstore_epi32(
            ints(legs + j), lanes,
            _mm256_blendv_epi8(held, current, laneMask(liveBits(live, col + j))));
    }
}

void sweepRows(std::uint32_t* cells, std::size_t cellStride, int rows, int skipRow,
               const std::uint32_t* legs, std::size_t legStride, const std::uint32_t* pivot,
               std::size_t count) {
    std::size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        const __m256i p = load(pivot + j);
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            std::uint32_t* const c = cells + r * cellStride + j;
            store(c, _mm256_min_epu32(load(c), weight(legs[r * legStride], p)));
        }
    }
    if (j < count) {
        const __m256i lanes = laneMask(firstLanes(count - j));
        const __m256i p = _mm256_maskload_epi32(ints(pivot + j), lanes);
        for (int r = 0; r < rows; ++r) {
            if (r == skipRow) continue;
            int* const c = reinterpret_cast<int*>(cells + r * cellStride + j);
            _mm256_maskstore_epi32(
                c, lanes,
                _mm256_min_epu32(_mm256_maskload_epi32(c, lanes), weight(legs[r * legStride], p)));
        }
    }
}

void storeLive(Word* row, const std::uint32_t* keys, const std::uint64_t* live, std::size_t col,
               std::size_t count) {
    for (std::size_t j = 0; j < count; j += kLanes) {
        const unsigned bits = firstLanes(count - j) & liveBits(live, col + j);
        if (bits == 0) continue;
        const __m256i lanes = laneMask(bits);
        _mm256_maskstore_epi32(ints(row + col + j), lanes,
                               _mm256_maskload_epi32(ints(keys + j), lanes));
    }
}

// The rows' own columns [k0, k0 + sweeps), sweep by sweep; records each row's column-k legs.
void sweepOwnColumns(const SweepGroup& g) {
    const std::size_t kb = static_cast<std::size_t>(g.sweeps);
    const std::size_t vectors = (kb + kLanes - 1) / kLanes;
    for (int r = 0; r < g.rowCount; ++r) {
        for (std::size_t v = 0; v < vectors; ++v) {
            const __m256i lanes = laneMask(firstLanes(kb - v * kLanes));
            store(g.own + r * kBlock + v * kLanes,
                  _mm256_maskload_epi32(ints(g.rows[r] + g.k0 + v * kLanes), lanes));
        }
    }
    for (std::size_t s = 0; s < kb; ++s) {
        const std::size_t c = g.k0 + s;
        // Within the block the pivot rows are readable up to a whole vector past the last column.
        const std::uint32_t* const pivot = g.pivots + s * g.pivotStride + g.k0;
        for (int r = 0; r < g.rowCount; ++r) {
            std::uint32_t* const keys = g.own + r * kBlock;
            const std::uint32_t doubled = static_cast<std::uint32_t>(g.rows[r][c]) << 1;
            const std::uint32_t held = doubled > 0xff000000u ? 0u : doubled | 1u;
            const std::uint32_t leg = (g.live[r][c >> 6] >> (c & 63)) & 1u ? keys[s] | 1u : held;
            g.legs[r * kBlock + s] = leg;
            for (std::size_t v = 0; v < vectors; ++v) {
                std::uint32_t* const k = keys + v * kLanes;
                store(k, _mm256_min_epu32(load(k), weight(leg, load(pivot + v * kLanes))));
            }
        }
    }
    for (int r = 0; r < g.rowCount; ++r) storeLive(g.rows[r], g.own + r * kBlock, g.live[r], g.k0, kb);
}

// Applies every sweep of the block to rows [r0, r0 + Rows) of the group at columns
// [col, col + 8 * Vectors), the last vector limited to the lanes set in `lastLanes`.
template <int Rows, int Vectors, bool NaNLegs>
void sweepTile(const SweepGroup& g, int r0, std::size_t col, unsigned lastLanes) {
    const __m256i lastMask = laneMask(lastLanes);
    __m256i acc[Rows][Vectors];
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            Word* const p = g.rows[r0 + r] + col + v * kLanes;
            acc[r][v] = v == Vectors - 1 ? _mm256_maskload_epi32(ints(p), lastMask) : load(p);
        }
    }
    const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * kBlock;
    const std::uint32_t* pivot = g.pivots + col;
    for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
        __m256i p[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            p[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(pivot + v * kLanes));
        }
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t leg = legs[r * kBlock + s];
            if (NaNLegs && leg == 0) {
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm256_min_epu32(acc[r][v], nanLegWeight(p[v]));
                }
            } else {
                const __m256i a = _mm256_set1_epi32(static_cast<int>(leg));
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm256_min_epu32(_mm256_max_epu32(p[v], a), acc[r][v]);
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
            const std::size_t c = col + v * kLanes;
            unsigned bits = liveBits(g.live[r0 + r], c);
            if (v == Vectors - 1) bits &= lastLanes;
            _mm256_maskstore_epi32(ints(g.rows[r0 + r] + c), laneMask(bits), acc[r][v]);
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
        for (int s = 0; s < group.sweeps; ++s) anyNaNLeg |= group.legs[r * kBlock + s] == 0;
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
    static constexpr Kernels kernels{encodeRow, decodeRow, snapshot,
                                     sweepRows, storeLive, sweepGroup};
    return &kernels;
}

}  // namespace fwprune::cpu::weakest_link

#else  // not x86

namespace fwprune::cpu::weakest_link {
const Kernels* avx2Kernels() { return nullptr; }
}  // namespace fwprune::cpu::weakest_link

#endif
