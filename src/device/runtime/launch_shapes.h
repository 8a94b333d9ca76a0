// Grid sizes of the finishing passes: the quotient n / width as a single-precision float, rounded
// up, which is the launch shape the kernels are written for. For every n below 2^24 this is
// ceil(n / width); above it the float's rounding decides, and the shape says so exactly.
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
