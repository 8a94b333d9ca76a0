// Float cells as their IEEE bit patterns, the form in which the weakest-link engines compare and
// rewrite them and the writer prints them: the answers are then those of IEEE comparisons whatever
// the thread's floating-point mode. With a clear sign bit, patterns are in the order of their
// values, and NaNs lie above infinity.
#pragma once

#include <cstdint>
#include <cstring>

namespace fwprune {

// A cell of the caller's float matrix, read or written in place as its bit pattern.
typedef std::uint32_t CellBits __attribute__((__may_alias__));

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kMagnitudeBits = 0x7fffffffu;
constexpr std::uint32_t kInfBits = 0x7f800000u;
constexpr std::uint32_t kAbsentBits = 0x40000000u;  // 2.0f, the weight of an absent pair

inline std::uint32_t magnitude(std::uint32_t bits) {
    return bits & kMagnitudeBits;
}

// True when a magnitude (sign bit clear) is a NaN's.
inline bool isNaN(std::uint32_t magnitude) {
    return magnitude > kInfBits;
}

inline std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float floatOf(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace fwprune
