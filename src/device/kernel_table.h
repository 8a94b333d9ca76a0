// The kernels by id, with the layout of their parameters, for the runtimes that launch them.
#pragma once

#include <cstddef>

namespace fwprune {

class ThreadPool;

// The one list of kernels: X(id, kernel function) for each, in id order. Everything that names
// the kernels one by one (ids, signatures, the stand-in's launches, the GPU's entry points) is
// generated from it, so they cannot fall out of step.
//
// The kernel functions' names are fixed by the interface the library keeps with existing device
// code and tools (they are the exported symbols in the PTX), and some no longer say what the
// kernels do; the ids do: a reachability sweep, the pass that keeps only unimplied edges, a
// weakest-link sweep, and the threshold pass.
#define FWPRUNE_KERNELS(X)                                         \
    X(ReachabilitySweep, floydWarshall_AllPairsLongestPath_kernel) \
    X(ReductionPass, transitiveReduction_kernel)                   \
    X(WeakestLinkSweep, floydWarshall_AllPairsWeakestLink_kernel)  \
    X(ThresholdPass, transitiveReductionPlusThresholdPlusDecrementWeights_kernel)

enum class KernelId : int {
#define FWPRUNE_KERNEL_ID(id, kernel) id,
    FWPRUNE_KERNELS(FWPRUNE_KERNEL_ID)
#undef FWPRUNE_KERNEL_ID
};
#define FWPRUNE_COUNT_KERNEL(id, kernel) +1
constexpr int kKernelCount = 0 FWPRUNE_KERNELS(FWPRUNE_COUNT_KERNEL);
#undef FWPRUNE_COUNT_KERNEL

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
// barrier rule the stand-in can run exactly (see stand_in/emulation.h); its writes are then
// unreliable.
bool runEmulatedKernel(KernelId id, LaunchShape grid, LaunchShape block, void* const* args,
                       ThreadPool& pool);

#if defined(FWPRUNE_WITH_CUDA)
// The host address by which the CUDA runtime knows the kernel's registered device code.
const void* gpuKernelEntry(KernelId id);
#endif

}  // namespace fwprune
