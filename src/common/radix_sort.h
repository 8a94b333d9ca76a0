// Least-significant-digit radix sort of 64-bit keys on a range of their bits, 11 bits a pass,
// stable; a digit that is the same in every key costs one counting pass and no move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/parallel.h"

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

// The same on the pool's threads, with the same result: each thread counts the digits of its own
// slice of the keys, and places them after the same digit's keys of the slices before it, so the
// sort stays stable. poll() is called on the calling thread only.
template <typename Poll>
void radixSort(std::uint64_t* keys, std::size_t count, int lowBit, int highBit,
               std::uint64_t* scratch, ThreadPool& pool, Poll&& poll) {
    constexpr int kDigitBits = 11;
    constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
    constexpr std::size_t kPollEvery = std::size_t{1} << 16;
    if (count < 2) return;
    const auto parts = static_cast<std::size_t>(pool.size());
    if (parts == 1) {
        radixSort(keys, count, lowBit, highBit, scratch, poll);
        return;
    }
    std::uint64_t* from = keys;
    std::uint64_t* to = scratch;
    std::vector<std::size_t> counts(parts * kDigits);
    // Each thread goes over slice p; worker 0, the calling thread, polls.
    const auto forEachSlice = [&](auto&& body) {
        pool.parallelFor(0, static_cast<std::int64_t>(parts),
                         [&](std::int64_t begin, std::int64_t end, int worker) {
                             for (auto p = static_cast<std::size_t>(begin);
                                  p < static_cast<std::size_t>(end); ++p) {
                                 const std::size_t lo = count * p / parts;
                                 const std::size_t hi = count * (p + 1) / parts;
                                 for (std::size_t x0 = lo; x0 < hi; x0 += kPollEvery) {
                                     if (worker == 0) poll();
                                     body(p, x0, std::min(hi, x0 + kPollEvery));
                                 }
                             }
                         });
    };
    for (int low = lowBit; low < highBit; low += kDigitBits) {
        const int width = std::min(kDigitBits, highBit - low);
        const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
        std::fill(counts.begin(), counts.end(), std::size_t{0});
        forEachSlice([&](std::size_t p, std::size_t x0, std::size_t x1) {
            std::size_t* const c = counts.data() + p * kDigits;
            for (std::size_t x = x0; x < x1; ++x) ++c[(from[x] >> low) & mask];
        });
        std::size_t at = 0;
        bool moves = true;
        for (std::uint64_t d = 0; d <= mask; ++d) {
            std::size_t inDigit = 0;
            for (std::size_t p = 0; p < parts; ++p) {
                inDigit += counts[p * kDigits + d];
                at += std::exchange(counts[p * kDigits + d], at);
            }
            if (inDigit == count) moves = false;
        }
        if (!moves) continue;
        forEachSlice([&](std::size_t p, std::size_t x0, std::size_t x1) {
            std::size_t* const c = counts.data() + p * kDigits;
            for (std::size_t x = x0; x < x1; ++x) to[c[(from[x] >> low) & mask]++] = from[x];
        });
        std::swap(from, to);
    }
    if (from != keys) {
        pool.parallelFor(0, static_cast<std::int64_t>(count),
                         [&](std::int64_t begin, std::int64_t end, int) {
                             std::copy(from + begin, from + end, keys + begin);
                         });
    }
}

inline void radixSort(std::vector<std::uint64_t>& keys, int lowBit, int highBit) {
    std::vector<std::uint64_t> scratch;
    radixSort(keys.data(), keys.size(), lowBit, highBit, scratch);
}

}  // namespace fwprune
