// Host addresses of the nvcc-built kernels, for launching them by id.
#include "device/cuda_functions.h"
#include "device/kernel_table.h"

namespace fwprune {

const void* gpuKernelEntry(KernelId id) {
    static const void* const entries[kKernelCount] = {
#define FWPRUNE_KERNEL_ENTRY(id, kernel) reinterpret_cast<const void*>(&kernel),
        FWPRUNE_KERNELS(FWPRUNE_KERNEL_ENTRY)
#undef FWPRUNE_KERNEL_ENTRY
    };
    return entries[static_cast<int>(id)];
}

}  // namespace fwprune
