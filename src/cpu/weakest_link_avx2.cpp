// AVX2 kernels of the weakest-link engine. Built for AVX2 through a target pragma, so the file
// needs no extra compiler flags; the engine calls it only when instructionSetSupported says so.
#include "cpu/weakest_link_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "cpu/weakest_link_vector_kernels.h"

namespace fwprune::cpu::weakest_link {
namespace {

// Eight lanes. AVX2 has no mask registers: masks are kept as lane bits and widened to vectors
// for the masked loads and stores.
struct Avx2 {
    using Float = __m256;
    using Int = __m256i;
    using Mask = unsigned;
    using TakesPartBits = std::uint8_t;
    static constexpr std::size_t kLanes = 8;
    // 16 vector registers: the tile, one broadcast leg per row and the pivot vectors fit in them.
    static constexpr int kTileRows = 4;
    static constexpr int kTileVectors = 2;

    static Mask firstLanes(std::size_t count) {
        return count >= kLanes ? 0xffu : (1u << count) - 1u;
    }
    static Mask takingPartLanes(const std::uint64_t* takingPartBits, std::size_t col) {
        return reinterpret_cast<const unsigned char*>(takingPartBits)[col / 8];
    }
    static TakesPartBits bitsOf(Mask mask) { return static_cast<TakesPartBits>(mask); }
    // All-ones in lane l when bit l of the mask is set.
    static Int widen(Mask mask) {
        const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        return _mm256_cmpeq_epi32(
            _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), lanes), lanes);
    }

    static Int load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static void store(void* p, Int v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    static Int loadMasked(const void* p, Mask mask) {
        return _mm256_maskload_epi32(static_cast<const int*>(p), widen(mask));
    }
    static void storeMasked(void* p, Mask mask, Int v) {
        _mm256_maskstore_epi32(static_cast<int*>(p), widen(mask), v);
    }
    static Float loadFloats(const std::uint32_t* p) {
        return _mm256_load_ps(reinterpret_cast<const float*>(p));
    }
    static void storeFloats(std::uint32_t* p, Float v) {
        _mm256_store_ps(reinterpret_cast<float*>(p), v);
    }

    static Float asFloat(Int v) { return _mm256_castsi256_ps(v); }
    static Int asInt(Float v) { return _mm256_castps_si256(v); }
    static Int broadcastInt(std::uint32_t bits) {
        return _mm256_set1_epi32(static_cast<int>(bits));
    }
    static Float broadcast(std::uint32_t bits) { return asFloat(broadcastInt(bits)); }
    static Float magnitudes(Int bits) {
        return asFloat(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffffff)));
    }
    static Int select(Mask mask, Int clear, Int set) {
        return _mm256_blendv_epi8(clear, set, widen(mask));
    }

    // One sweep step on magnitudes. vmaxps returns its second operand when either is NaN, so a
    // NaN pivot leg yields the row's leg, as fmaxf does; vminps likewise keeps the cell when w is
    // NaN, which happens only when both legs are NaN. A NaN row leg takes stepNaNLeg.
    static Float step(Float cell, Float pivot, Float leg) {
        return _mm256_min_ps(_mm256_max_ps(pivot, leg), cell);
    }
    static Float stepNaNLeg(Float cell, Float pivot) { return _mm256_min_ps(pivot, cell); }

    // The stored form of a cell taking part whose magnitude went from |old| to mag: negative if it
    // started negative or has been replaced. Both magnitudes are below 2^31, so a signed compare
    // orders them.
    static Int merged(Int old, Float mag) {
        const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
        const __m256i m = asInt(mag);
        const __m256i replaced = _mm256_cmpgt_epi32(_mm256_andnot_si256(sign, old), m);
        return _mm256_or_si256(m, _mm256_and_si256(_mm256_or_si256(old, replaced), sign));
    }

    static Mask takesPart(Float v, float lower) {
        return static_cast<Mask>(
            _mm256_movemask_ps(_mm256_or_ps(_mm256_cmp_ps(v, _mm256_set1_ps(lower), _CMP_GT_OQ),
                                            _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_LT_OQ))));
    }
    static Mask cutLanes(Int bits, float upper) {
        return static_cast<Mask>(_mm256_movemask_ps(
            _mm256_or_ps(asFloat(_mm256_srai_epi32(bits, 31)),
                         _mm256_cmp_ps(_mm256_set1_ps(upper), asFloat(bits), _CMP_LE_OQ))));
    }

    // Without this GCC spills part of the tile every sweep.
    static void pin(Float& v) { __asm__("" : "+x"(v)); }
};

using Kernels256 = VectorKernels<Avx2>;

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
    static constexpr Kernels kernels{Kernels256::markTakingPart,  Kernels256::threshold,
                                     Kernels256::snapshot,        Kernels256::sweepRows,
                                     Kernels256::storeTakingPart, Kernels256::sweepGroup};
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
