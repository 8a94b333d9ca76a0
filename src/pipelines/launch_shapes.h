// Grid sizes of the finishing passes, formed as the original host code formed them: the quotient
// as a single-precision float, rounded up. For every n below 2^24 this is ceil(n / width).
#pragma once

#include <cmath>

#include "device/kernel_table.h"

namespace fwprune {

inline unsigned int blocksToCover(int n, unsigned int blockWidth) {
    return static_cast<unsigned int>(
        std::ceil(static_cast<float>(n) / static_cast<float>(blockWidth)));
}

constexpr unsigned int kSweepBlockWidth = 256;
constexpr unsigned int kReductionTile = 16;
constexpr unsigned int kThresholdBlockWidth = 512;

}  // namespace fwprune
