// The two jobs' sweeps on a device: the launch loops over the kernels, on whichever runtime (the
// CUDA runtime or the stand-in) the caller opened.
#pragma once

#include "common/graphs.h"
#include "common/progress.h"
#include "device/runtime/device_runtime.h"

namespace fwprune {

// The n reachability sweeps and the reduction pass on a device, in place on the host matrix.
void reduceTransitivelyOnDevice(DeviceRuntime& runtime, ByteAdjacencyMatrix& matrix,
                                const ProgressFunction& progress = {});

// The n weakest-link sweeps and the threshold pass on a device, in place on the host matrix.
void pruneWeakestLinksOnDevice(DeviceRuntime& runtime, WeightMatrix& matrix, float lower_threshold,
                               float upper_threshold, const ProgressFunction& progress = {});

}  // namespace fwprune
