// The bit-row kernels, portable and per instruction set (chosen at run time, never assumed).
#include "cpu/bit_row_kernels.h"

#if FWPRUNE_X86
#include <immintrin.h>
#endif

#include <cstring>
#include <stdexcept>

namespace fwprune::cpu {
namespace {

// Eight bytes to eight bits, bit b set when byte b is non-zero.
Word nonZeroBytes(Word x) {
    constexpr Word kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const Word high = (((x & kLow7) + kLow7) | x) & ~kLow7;
    // Each byte's top bit lands on bit 56 + b; the partial products never overlap.
    return (high * 0x0002040810204081ULL) >> 56;
}

void packTail(const std::uint8_t* bytes, std::int64_t from, std::int64_t n, Word* out,
              std::int64_t words) {
    for (std::int64_t w = from / kWordBits; w < words; ++w) out[w] = 0;
    for (std::int64_t j = from; j < n; ++j)
        if (bytes[j] != 0) setBit(out, j);
}

void orManyPortable(Word* dst, const Word* const* srcs, std::int64_t sources, std::int64_t words) {
    for (std::int64_t w = 0; w < words; w += kLineWords) {
        Word acc[kLineWords];
        for (std::int64_t l = 0; l < kLineWords; ++l) acc[l] = dst[w + l];
        for (std::int64_t s = 0; s < sources; ++s)
            for (std::int64_t l = 0; l < kLineWords; ++l) acc[l] |= srcs[s][w + l];
        for (std::int64_t l = 0; l < kLineWords; ++l) dst[w + l] = acc[l];
    }
}

void packPortable(const std::uint8_t* bytes, std::int64_t n, Word* out, std::int64_t words) {
    const std::int64_t full = n / kWordBits;
    for (std::int64_t w = 0; w < full; ++w) {
        Word bits = 0;
        for (int b = 0; b < 8; ++b) {
            Word chunk;
            std::memcpy(&chunk, bytes + w * kWordBits + 8 * b, sizeof chunk);
            bits |= nonZeroBytes(chunk) << (8 * b);
        }
        out[w] = bits;
    }
    packTail(bytes, full * kWordBits, n, out, words);
}

void unpackPortable(const Word* bits, std::int64_t n, std::uint8_t* bytes) {
    for (std::int64_t j = 0; j < n; ++j)
        bytes[j] = static_cast<std::uint8_t>((bits[j / kWordBits] >> (j % kWordBits)) & 1u);
}

#if FWPRUNE_X86
__attribute__((target("avx2"))) void orManyAvx2(Word* dst, const Word* const* srcs,
                                                std::int64_t sources, std::int64_t words) {
    std::int64_t w = 0;
    for (; w + 32 <= words; w += 32) {
        __m256i a[8];
        for (int l = 0; l < 8; ++l)
            a[l] = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w) + l);
        for (std::int64_t s = 0; s < sources; ++s) {
            const auto* src = reinterpret_cast<const __m256i*>(srcs[s] + w);
            for (int l = 0; l < 8; ++l) a[l] = _mm256_or_si256(a[l], _mm256_load_si256(src + l));
        }
        for (int l = 0; l < 8; ++l)
            _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w) + l, a[l]);
    }
    for (; w < words; w += kLineWords) {
        __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w));
        __m256i a1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w) + 1);
        for (std::int64_t s = 0; s < sources; ++s) {
            const auto* src = reinterpret_cast<const __m256i*>(srcs[s] + w);
            a0 = _mm256_or_si256(a0, _mm256_load_si256(src));
            a1 = _mm256_or_si256(a1, _mm256_load_si256(src + 1));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w), a0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w) + 1, a1);
    }
}

__attribute__((target("avx2"))) void packAvx2(const std::uint8_t* bytes, std::int64_t n, Word* out,
                                              std::int64_t words) {
    const std::int64_t full = n / kWordBits;
    const __m256i zero = _mm256_setzero_si256();
    for (std::int64_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(bytes + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), zero)));
        const auto hi = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), zero)));
        out[w] = ~(Word{lo} | (Word{hi} << 32));
    }
    packTail(bytes, full * kWordBits, n, out, words);
}

__attribute__((target("avx2"))) void unpackAvx2(const Word* bits, std::int64_t n,
                                                std::uint8_t* bytes) {
    // Byte b of the output takes bit b % 8 of source byte b / 8.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2,
                                            2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i one = _mm256_set1_epi8(1);
    const std::int64_t full = n / 32;
    for (std::int64_t h = 0; h < full; ++h) {
        const auto half = static_cast<std::uint32_t>(bits[h / 2] >> (32 * (h % 2)));
        __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(half)), spread);
        v = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, select), select), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + 32 * h), v);
    }
    for (std::int64_t j = full * 32; j < n; ++j)
        bytes[j] = static_cast<std::uint8_t>((bits[j / kWordBits] >> (j % kWordBits)) & 1u);
}

__attribute__((target("avx512f"))) void orManyAvx512(Word* dst, const Word* const* srcs,
                                                     std::int64_t sources, std::int64_t words) {
    std::int64_t w = 0;
    for (; w + 64 <= words; w += 64) {
        __m512i a[8];
        for (int l = 0; l < 8; ++l) a[l] = _mm512_load_si512(dst + w + 8 * l);
        for (std::int64_t s = 0; s < sources; ++s) {
            const Word* src = srcs[s] + w;
            for (int l = 0; l < 8; ++l)
                a[l] = _mm512_or_si512(a[l], _mm512_load_si512(src + 8 * l));
        }
        for (int l = 0; l < 8; ++l) _mm512_store_si512(dst + w + 8 * l, a[l]);
    }
    for (; w < words; w += kLineWords) {
        __m512i a = _mm512_load_si512(dst + w);
        for (std::int64_t s = 0; s < sources; ++s)
            a = _mm512_or_si512(a, _mm512_load_si512(srcs[s] + w));
        _mm512_store_si512(dst + w, a);
    }
}

__attribute__((target("avx512f,avx512bw"))) void packAvx512(const std::uint8_t* bytes,
                                                            std::int64_t n, Word* out,
                                                            std::int64_t words) {
    const std::int64_t used = wordsFor(n);
    for (std::int64_t w = 0; w < used; ++w) {
        const std::int64_t left = n - w * kWordBits;
        const __mmask64 inRange = left >= kWordBits ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
        const __m512i v = _mm512_maskz_loadu_epi8(inRange, bytes + w * kWordBits);
        out[w] = _mm512_test_epi8_mask(v, v);
    }
    for (std::int64_t w = used; w < words; ++w) out[w] = 0;
}

__attribute__((target("avx512f,avx512bw"))) void unpackAvx512(const Word* bits, std::int64_t n,
                                                              std::uint8_t* bytes) {
    const __m512i one = _mm512_set1_epi8(1);
    const std::int64_t used = wordsFor(n);
    for (std::int64_t w = 0; w < used; ++w) {
        const std::int64_t left = n - w * kWordBits;
        const __mmask64 inRange = left >= kWordBits ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
        _mm512_mask_storeu_epi8(bytes + w * kWordBits, inRange,
                                _mm512_maskz_mov_epi8(bits[w], one));
    }
}

#endif  // FWPRUNE_X86

}  // namespace

BitRowKernels bitRowKernelsFor(InstructionSet isa) {
    if (!instructionSetSupported(isa))
        throw std::invalid_argument(
            "reduceTransitively: instruction set not supported by this CPU");
    switch (isa) {
#if FWPRUNE_X86
        case InstructionSet::Avx512:
            return {orManyAvx512, packAvx512, unpackAvx512};
        case InstructionSet::Avx2:
            return {orManyAvx2, packAvx2, unpackAvx2};
#endif
        default:
            return {orManyPortable, packPortable, unpackPortable};
    }
}

}  // namespace fwprune::cpu
