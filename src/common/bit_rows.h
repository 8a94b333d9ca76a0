// Rows of bits: the form reachability, participation and answers take in the engines. One word
// type, one way to visit the set bits of a word, one owner of aligned rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/aligned_memory.h"

namespace fwprune {

using Word = std::uint64_t;
constexpr std::int64_t kWordBits = 64;
// Rows of BitRows are padded to whole 64-byte lines (8 words) and line-aligned, so vector
// kernels never need a tail loop and ranges of a row can be tracked in lines.
constexpr std::int64_t kLineWords = 8;

// a / b rounded up, for a >= 0 and b > 0.
template <typename T>
constexpr T divideCeil(T a, T b) {
    static_assert(std::is_integral<T>::value, "divideCeil takes integers");
    return (a + b - 1) / b;
}

constexpr std::int64_t wordsFor(std::int64_t bits) {
    return divideCeil(bits, kWordBits);
}

// Bit j of a row, j >= 0 (taken as unsigned, so the division is a shift).
inline bool testBit(const Word* row, std::uint64_t j) {
    return (row[j >> 6] >> (j & 63)) & 1u;
}
inline void setBit(Word* row, std::uint64_t j) {
    row[j >> 6] |= Word{1} << (j & 63);
}
inline void clearBit(Word* row, std::uint64_t j) {
    row[j >> 6] &= ~(Word{1} << (j & 63));
}

// reach |= source << distance, over the `words` words of a window of ranks: what a row that
// covers the ranks after node u takes from a successor `distance` ranks above u.
inline void orShifted(Word* reach, const Word* source, std::uint32_t words,
                      std::uint32_t distance) {
    const std::uint32_t whole = distance / kWordBits;
    const std::uint32_t part = distance % kWordBits;
    for (std::uint32_t w = words; w-- > whole;) {
        const std::uint32_t from = w - whole;
        Word bits = source[from] << part;
        if (part != 0 && from > 0) bits |= source[from - 1] >> (kWordBits - part);
        reach[w] |= bits;
    }
}

// Calls visit(first + b) for every set bit b of word, lowest first.
template <typename Visit>
inline void forEachSetBit(Word word, std::int64_t first, Visit&& visit) {
    for (; word != 0; word &= word - 1) visit(first + __builtin_ctzll(word));
}

// Calls visit(j) for every set bit j of the first `words` words of row, in ascending order.
template <typename Visit>
inline void forEachSetBit(const Word* row, std::int64_t words, Visit&& visit) {
    for (std::int64_t w = 0; w < words; ++w) forEachSetBit(row[w], w * kWordBits, visit);
}

// `rows` rows of bitsPerRow bits each, every row line-aligned and padded to whole lines; the
// contents start cleared unless asked not to be. Throws std::bad_alloc when memory is short.
class BitRows {
  public:
    BitRows(std::int64_t rows, std::int64_t bitsPerRow, bool zeroed = true)
        : words_(wordsFor(bitsPerRow)),
          stride_(divideCeil(words_, kLineWords) * kLineWords),
          data_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(stride_), zeroed) {}
    // Words holding the row's bits, and words from one row to the next (a whole number of lines).
    std::int64_t words() const { return words_; }
    std::int64_t stride() const { return stride_; }
    Word* row(std::int64_t i) { return data_.get() + i * stride_; }
    const Word* row(std::int64_t i) const { return data_.get() + i * stride_; }

  private:
    std::int64_t words_;
    std::int64_t stride_;
    AlignedArray<Word> data_;
};

}  // namespace fwprune
