// Least-significant-digit radix sort of 64-bit keys on a range of their bits, 11 bits a pass,
// stable; a digit that is the same in every key costs one counting pass and no move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fwprune {

// Sorts keys[0, count) by bits [lowBit, highBit) of each key, keeping the order of keys equal in
// those bits, with room for count keys at scratch. poll() is called every 64 Ki keys of every
// pass, so that a long sort can be stopped by an exception thrown from it.
template <typename Poll>
void radixSort(std::uint64_t* keys, std::size_t count, int lowBit, int highBit,
               std::uint64_t* scratch, Poll&& poll) {
    constexpr int kDigitBits = 11;
    constexpr std::size_t kPollEvery = std::size_t{1} << 16;
    if (count < 2) return;
    std::uint64_t* from = keys;
    std::uint64_t* to = scratch;
    std::size_t counts[std::size_t{1} << kDigitBits];
    for (int low = lowBit; low < highBit; low += kDigitBits) {
        const int width = std::min(kDigitBits, highBit - low);
        const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
        std::fill(counts, counts + mask + 1, std::size_t{0});
        for (std::size_t x0 = 0; x0 < count; x0 += kPollEvery) {
            poll();
            const std::size_t x1 = std::min(count, x0 + kPollEvery);
            for (std::size_t x = x0; x < x1; ++x) ++counts[(from[x] >> low) & mask];
        }
        if (*std::max_element(counts, counts + mask + 1) == count) continue;
        std::size_t at = 0;
        for (std::uint64_t d = 0; d <= mask; ++d) at += std::exchange(counts[d], at);
        for (std::size_t x0 = 0; x0 < count; x0 += kPollEvery) {
            poll();
            const std::size_t x1 = std::min(count, x0 + kPollEvery);
            for (std::size_t x = x0; x < x1; ++x) to[counts[(from[x] >> low) & mask]++] = from[x];
        }
        std::swap(from, to);
    }
    if (from != keys) std::copy(from, from + count, keys);
}

// The same, with scratch grown to count keys (it may be reused across calls).
template <typename Poll>
void radixSort(std::uint64_t* keys, std::size_t count, int lowBit, int highBit,
               std::vector<std::uint64_t>& scratch, Poll&& poll) {
    if (scratch.size() < count) scratch.resize(count);
    radixSort(keys, count, lowBit, highBit, scratch.data(), poll);
}

inline void radixSort(std::uint64_t* keys, std::size_t count, int lowBit, int highBit,
                      std::vector<std::uint64_t>& scratch) {
    radixSort(keys, count, lowBit, highBit, scratch, [] {});
}

inline void radixSort(std::vector<std::uint64_t>& keys, int lowBit, int highBit) {
    std::vector<std::uint64_t> scratch;
    radixSort(keys.data(), keys.size(), lowBit, highBit, scratch);
}

}  // namespace fwprune
