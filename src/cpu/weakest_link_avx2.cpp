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
constexpr int kTileRows = 3;
constexpr int kTileVectors = 4;

inline int* ints(Word* p) { return reinterpret_cast<int*>(p); }
inline const int* ints(const std::uint32_t* p) { return reinterpret_cast<const int*>(p); }

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

inline __m256i weight(__m256i leg, __m256i pivot, bool nanLeg) {
    return nanLeg ? nanLegWeight(pivot) : _mm256_max_epu32(leg, pivot);
}

void sweepRow(std::uint32_t* cells, const std::uint32_t* pivot, std::size_t count,
              std::uint32_t leg) {
    const __m256i a = _mm256_set1_epi32(static_cast<int>(leg));
    const bool nanLeg = leg == 0;
    std::size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        const __m256i keys = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cells + j));
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pivot + j));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cells + j),
                            _mm256_min_epu32(keys, weight(a, p, nanLeg)));
    }
    if (j < count) {
        const __m256i lanes = laneMask(firstLanes(count - j));
        const __m256i keys = _mm256_maskload_epi32(ints(cells + j), lanes);
        const __m256i p = _mm256_maskload_epi32(ints(pivot + j), lanes);
        _mm256_maskstore_epi32(reinterpret_cast<int*>(cells + j), lanes,
                               _mm256_min_epu32(keys, weight(a, p, nanLeg)));
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
            acc[r][v] = v == Vectors - 1 ? _mm256_maskload_epi32(ints(p), lastMask)
                                         : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        }
    }
    const std::uint32_t* const legs = g.legs + static_cast<std::size_t>(r0) * g.legStride;
    const std::uint32_t* pivot = g.pivots + col;
    for (int s = 0; s < g.sweeps; ++s, pivot += g.pivotStride) {
        __m256i p[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            p[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(pivot + v * kLanes));
        }
#pragma GCC unroll 8
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t leg = legs[r * g.legStride + s];
            if (NaNLegs && leg == 0) {
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm256_min_epu32(acc[r][v], nanLegWeight(p[v]));
                }
            } else {
                const __m256i a = _mm256_set1_epi32(static_cast<int>(leg));
#pragma GCC unroll 8
                for (int v = 0; v < Vectors; ++v) {
                    acc[r][v] = _mm256_min_epu32(acc[r][v], _mm256_max_epu32(a, p[v]));
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

namespace fwprune::cpu::weakest_link {

// Outside the AVX2 region: callers reach this before they know what the CPU supports.
const Kernels* avx2Kernels() {
    static constexpr Kernels kernels{sweepRow, storeLive, sweepGroup};
    return &kernels;
}

}  // namespace fwprune::cpu::weakest_link

#else  // not x86

namespace fwprune::cpu::weakest_link {
const Kernels* avx2Kernels() { return nullptr; }
}  // namespace fwprune::cpu::weakest_link

#endif
