// The kernels by id, with the layout of their parameters, for the runtimes that launch them.
#pragma once

#include <cstddef>

namespace fwprune {

class ThreadPool;

enum class KernelId : int {
    AllPairsLongestPath = 0,  // floydWarshall_AllPairsLongestPath_kernel
    TransitiveReduction,      // transitiveReduction_kernel
    AllPairsWeakestLink,      // floydWarshall_AllPairsWeakestLink_kernel
    ThresholdPass,            // transitiveReductionPlusThresholdPlusDecrementWeights_kernel
};
constexpr int kKernelCount = 4;

constexpr int kMaxKernelParameters = 8;

// The parameters a kernel takes, in order: their sizes, and their offsets in the argument
// buffer (each aligned to its size, as the CUDA runtime lays out kernel parameters).
struct KernelSignature {
    const char* name = "";
    int parameterCount = 0;
    std::size_t sizes[kMaxKernelParameters] = {};
    std::size_t offsets[kMaxKernelParameters] = {};
    std::size_t totalSize = 0;
};

const KernelSignature& kernelSignature(KernelId id);

// A launch shape: grid of blocks, or block of threads; unset extents are 1.
struct LaunchShape {
    unsigned int x = 1, y = 1, z = 1;
};

// Runs a kernel's host-compiled source over a grid on the stand-in, blocks in parallel on the
// pool. args[p] points to the value of parameter p. Returns false when the kernel broke the
// barrier rule the stand-in can run exactly (see emulation.h); its writes are then unreliable.
bool runEmulatedKernel(KernelId id, LaunchShape grid, LaunchShape block, void* const* args,
                       ThreadPool& pool);

#if defined(FWPRUNE_WITH_CUDA)
// The host address by which the CUDA runtime knows the kernel's registered device code.
const void* gpuKernelEntry(KernelId id);
#endif

}  // namespace fwprune
