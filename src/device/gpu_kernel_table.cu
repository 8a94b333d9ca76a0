// Host addresses of the nvcc-built kernels, for launching them by id.
#include "device/cuda_functions.h"
#include "device/kernel_table.h"

namespace fwprune {

const void* gpuKernelEntry(KernelId id) {
    static const void* const entries[kKernelCount] = {
        reinterpret_cast<const void*>(&floydWarshall_AllPairsLongestPath_kernel),
        reinterpret_cast<const void*>(&transitiveReduction_kernel),
        reinterpret_cast<const void*>(&floydWarshall_AllPairsWeakestLink_kernel),
        reinterpret_cast<const void*>(&transitiveReductionPlusThresholdPlusDecrementWeights_kernel),
    };
    return entries[static_cast<int>(id)];
}

}  // namespace fwprune
