// The kernels' own source compiled a second time, as host C++, for the CPU stand-in.
#include "device/emulated_grid.h"
#include "device/kernel_rules.h"
#include "device/kernel_table.h"

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

namespace {

template <typename... Parameters>
KernelSignature signatureOf(const char* name, void (*)(Parameters...)) {
    KernelSignature signature;
    signature.name = name;
    const std::size_t sizes[] = {sizeof(Parameters)...};
    std::size_t offset = 0;
    for (const std::size_t size : sizes) {
        offset = (offset + size - 1) / size * size;
        signature.sizes[signature.parameterCount] = size;
        signature.offsets[signature.parameterCount] = offset;
        ++signature.parameterCount;
        offset += size;
    }
    signature.totalSize = offset;
    return signature;
}

}  // namespace
}  // namespace fwprune::emulated

namespace fwprune {

const KernelSignature& kernelSignature(KernelId id) {
    using namespace emulated;
    static const KernelSignature signatures[kKernelCount] = {
        signatureOf("floydWarshall_AllPairsLongestPath_kernel",
                    &floydWarshall_AllPairsLongestPath_kernel),
        signatureOf("transitiveReduction_kernel", &transitiveReduction_kernel),
        signatureOf("floydWarshall_AllPairsWeakestLink_kernel",
                    &floydWarshall_AllPairsWeakestLink_kernel),
        signatureOf("transitiveReductionPlusThresholdPlusDecrementWeights_kernel",
                    &transitiveReductionPlusThresholdPlusDecrementWeights_kernel),
    };
    return signatures[static_cast<int>(id)];
}

bool runEmulatedKernel(KernelId id, LaunchShape grid, LaunchShape block, void* const* args,
                       ThreadPool& pool) {
    using namespace emulated;
    switch (id) {
        case KernelId::AllPairsLongestPath:
            return runGrid(&floydWarshall_AllPairsLongestPath_kernel, grid, block, args, pool);
        case KernelId::TransitiveReduction:
            return runGrid(&transitiveReduction_kernel, grid, block, args, pool);
        case KernelId::AllPairsWeakestLink:
            return runGrid(&floydWarshall_AllPairsWeakestLink_kernel, grid, block, args, pool);
        case KernelId::ThresholdPass:
            return runGrid(&transitiveReductionPlusThresholdPlusDecrementWeights_kernel, grid,
                           block, args, pool);
    }
    return false;
}

}  // namespace fwprune
