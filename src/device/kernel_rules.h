// The arithmetic rules the kernels apply, as small functions that both the device and the host
// compile. The device kernels (cuda_functions.cu) and the CPU stand-in, which runs their source,
// call these functions. The native CPU engines apply the same rules in the forms their data take:
//   - transitive_reduction.cpp: connectsThrough and isImplied on bit rows (a cell is implied when
//     its bit lies in the OR of the reachability rows of its row's successors);
//     sparse_reduction.cpp answers the same question by searches over edge records;
//   - weakest_link.cpp and its vector kernels: takesPart as the same comparison, kept as a bitmap;
//     weakestLink and pathBeats as unsigned max and min of magnitude bit patterns, NaN legs
//     skipped; marksAbsent as the sign bit or upper_threshold <= value;
//   - weakest_link_ordered*.cpp: takesPart and marksAbsent as ranges of bit patterns
//     (weakest_link_ordered_shared.h), and the sweeps' outcome from reachability among lighter legs
//     (matrices without NaN only).
// tests/engine_agreement_test.cpp ties each native engine to the stand-in byte for byte on random
// inputs with every special value; the engines' own tests tie each instruction set to a plain
// reference.
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
