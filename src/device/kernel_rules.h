// The arithmetic rules the kernels apply, as small functions that both the device and the host
// compile, so every engine applies literally the same rule.
#pragma once

#include "common/cell_values.h"
#include "device/stand_in/emulation.h"

#if !defined(__CUDACC__)
#include <cmath>
#endif

namespace fwprune::rules {

// A reachability sweep through k connects i to j when both legs are non-empty.
__host__ __device__ inline bool connectsThrough(unsigned char cellIK, unsigned char cellKJ) {
    return cellIK != CELL_EMPTY && cellKJ != CELL_EMPTY;
}

// The reduction clears exactly the cells that the sweeps marked as implied.
__host__ __device__ inline bool isImplied(unsigned char cell) {
    return cell == CELL_IMPLIED;
}

// A weight takes part in the weakest-link sweeps when it is above the lower threshold or negative
// (already replaced, or negative on input). Weights in [0, lower_threshold] and NaNs are held.
__host__ __device__ inline bool takesPart(float value, float lower_threshold) {
    return value > lower_threshold || value < 0.0f;
}

// The weakest link of the path i -> k -> j: the larger magnitude of its two legs. fmaxf returns
// the other operand when one is NaN, so a NaN leg never blocks a path on its own.
__host__ __device__ inline float weakestLink(float absIK, float absKJ) {
#if defined(__CUDA_ARCH__)
    return fmaxf(absIK, absKJ);
#else
    // The device's fmaxf returns the other operand for a NaN of either kind; the C library's
    // turns a signalling NaN into a NaN result, so the host spells the device's rule out.
    if (absIK != absIK) return absKJ;
    if (absKJ != absKJ) return absIK;
    return absIK > absKJ ? absIK : absKJ;
#endif
}

// A cell is replaced when the path's weakest link is smaller than its own magnitude; the
// replacement is stored negated so that the threshold pass can recognise it.
__host__ __device__ inline bool pathBeats(float weakest, float value) {
    return weakest < fabsf(value);
}

// The threshold pass marks absent every cell whose sign bit is set (replaced, or negative on
// input; -0.0 included) and every cell at or above the upper threshold.
__host__ __device__ inline bool marksAbsent(float value, float upper_threshold) {
#if defined(__CUDA_ARCH__)
    return signbit(value) || upper_threshold <= value;
#else
    return std::signbit(value) || upper_threshold <= value;
#endif
}

}  // namespace fwprune::rules
