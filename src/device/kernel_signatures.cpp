// The kernels' parameter layouts, taken from their declarations, for every runtime that checks
// or passes their arguments (the CUDA runtime and the stand-in alike).
#include "device/kernel_table.h"

#if !defined(__CUDACC__)
#define __global__
#endif

namespace fwprune {
namespace declared {

#include "device/cuda_functions.h"

}  // namespace declared

namespace {

template <typename Function>
struct SignatureOf;

template <typename... Parameters>
struct SignatureOf<void(Parameters...)> {
    static KernelSignature make(const char* name) {
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
};

}  // namespace

const KernelSignature& kernelSignature(KernelId id) {
    static const KernelSignature signatures[kKernelCount] = {
#define FWPRUNE_KERNEL_SIGNATURE(id, kernel) SignatureOf<decltype(declared::kernel)>::make(#kernel),
        FWPRUNE_KERNELS(FWPRUNE_KERNEL_SIGNATURE)
#undef FWPRUNE_KERNEL_SIGNATURE
    };
    return signatures[static_cast<int>(id)];
}

}  // namespace fwprune
