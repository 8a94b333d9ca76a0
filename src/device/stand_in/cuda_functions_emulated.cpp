// The kernels' own source compiled a second time, as host C++, for the CPU stand-in.
#include "device/kernel_rules.h"
#include "device/kernel_table.h"
#include "device/stand_in/grid.h"

namespace fwprune::emulated {

#include "device/cuda_functions.cu"

thread_local Index3 threadIdx;
thread_local Index3 blockIdx;
thread_local Extent3 blockDim;
thread_local Extent3 gridDim;

int& barriersPassedByThisThread() {
    static thread_local int passed = 0;
    return passed;
}

void __syncthreads() {
    ++barriersPassedByThisThread();
}

}  // namespace fwprune::emulated

namespace fwprune {

bool runEmulatedKernel(KernelId id, LaunchShape grid, LaunchShape block, void* const* args,
                       ThreadPool& pool) {
    using namespace emulated;
    switch (id) {
#define FWPRUNE_KERNEL_LAUNCH(id, kernel) \
    case KernelId::id:                    \
        return runGrid(&kernel, grid, block, args, pool);
        FWPRUNE_KERNELS(FWPRUNE_KERNEL_LAUNCH)
#undef FWPRUNE_KERNEL_LAUNCH
    }
    return false;
}

}  // namespace fwprune
