// AVX-512 kernels of the weakest-link engine. Built for AVX-512F through a target pragma, so the
// file needs no extra compiler flags; the engine calls it only when instructionSetSupported says
// so.
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

#include "cpu/weakest_link_vector_kernels.h"

namespace fwprune::cpu::weakest_link {
namespace {

// Sixteen lanes, with mask registers for every masked operation.
struct Avx512 {
    using Float = __m512;
    using Int = __m512i;
    using Mask = __mmask16;
    using TakesPartBits = std::uint16_t;
    static constexpr std::size_t kLanes = 16;
    // 32 vector registers hold a 4 x 4 tile with its legs and pivots.
    static constexpr int kTileRows = 4;
    static constexpr int kTileVectors = 4;

    static Mask firstLanes(std::size_t count) {
        return count >= kLanes ? Mask(0xffff) : Mask((1u << count) - 1u);
    }
    static Mask takingPartLanes(const std::uint64_t* takingPartBits, std::size_t col) {
        std::uint16_t bits;
        std::memcpy(&bits, reinterpret_cast<const unsigned char*>(takingPartBits) + col / 8,
                    sizeof bits);
        return bits;
    }
    static TakesPartBits bitsOf(Mask mask) { return mask; }

    static Int load(const void* p) { return _mm512_loadu_si512(p); }
    static void store(void* p, Int v) { _mm512_storeu_si512(p, v); }
    static Int loadMasked(const void* p, Mask mask) { return _mm512_maskz_loadu_epi32(mask, p); }
    static void storeMasked(void* p, Mask mask, Int v) { _mm512_mask_storeu_epi32(p, mask, v); }
    static Float loadFloats(const std::uint32_t* p) {
        return _mm512_load_ps(reinterpret_cast<const float*>(p));
    }
    static void storeFloats(std::uint32_t* p, Float v) {
        _mm512_store_ps(reinterpret_cast<float*>(p), v);
    }

    static Float asFloat(Int v) { return _mm512_castsi512_ps(v); }
    static Int asInt(Float v) { return _mm512_castps_si512(v); }
    static Int broadcastInt(std::uint32_t bits) {
        return _mm512_set1_epi32(static_cast<int>(bits));
    }
    static Float broadcast(std::uint32_t bits) { return asFloat(broadcastInt(bits)); }
    static Float magnitudes(Int bits) {
        return asFloat(_mm512_and_si512(bits, _mm512_set1_epi32(0x7fffffff)));
    }
    static Int select(Mask mask, Int clear, Int set) {
        return _mm512_mask_mov_epi32(clear, mask, set);
    }

    // One sweep step on magnitudes; see the AVX2 variant for the NaN cases.
    static Float step(Float cell, Float pivot, Float leg) {
        return _mm512_min_ps(_mm512_max_ps(pivot, leg), cell);
    }
    static Float stepNaNLeg(Float cell, Float pivot) { return _mm512_min_ps(pivot, cell); }

    // The stored form of a cell taking part whose magnitude went from |old| to mag: negative if it
    // started negative or has been replaced.
    static Int merged(Int old, Float mag) {
        const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
        const __m512i m = asInt(mag);
        const __mmask16 replaced = _mm512_cmplt_epu32_mask(m, _mm512_andnot_si512(sign, old));
        const __m512i kept = _mm512_ternarylogic_epi32(m, old, sign, 0xf8);  // m | (old & sign)
        return _mm512_mask_or_epi32(kept, replaced, kept, sign);
    }

    static Mask takesPart(Float v, float lower) {
        return _mm512_cmp_ps_mask(v, _mm512_set1_ps(lower), _CMP_GT_OQ) |
               _mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_LT_OQ);
    }
    static Mask cutLanes(Int bits, float upper) {
        return _mm512_cmplt_epi32_mask(bits, _mm512_setzero_si512()) |
               _mm512_cmp_ps_mask(_mm512_set1_ps(upper), asFloat(bits), _CMP_LE_OQ);
    }

    // Without this GCC copies every result of the tile back to memory.
    static void pin(Float& v) { __asm__("" : "+v"(v)); }
};

using Kernels512 = VectorKernels<Avx512>;

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
    static constexpr Kernels kernels{Kernels512::markTakingPart,  Kernels512::threshold,
                                     Kernels512::snapshot,        Kernels512::sweepRows,
                                     Kernels512::storeTakingPart, Kernels512::sweepGroup};
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
