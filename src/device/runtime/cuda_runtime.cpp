// The device runtime on the CUDA runtime API (linked statically, so the library starts on
// machines without CUDA; with no driver every call fails at once and we report "no device").
#include <cuda_runtime.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "common/error.h"
#include "device/runtime/device_runtime.h"
#include "device/runtime/launch_arguments.h"

namespace fwprune {
namespace {

void check(cudaError_t result, const std::string& what) {
    if (result == cudaSuccess) return;
    cudaGetLastError();  // clear the sticky-free error so the next call starts clean
    fail(result == cudaErrorMemoryAllocation ? Status::OutOfMemory : Status::Device,
         what + ": " + cudaGetErrorString(result));
}

class CudaRuntime final : public DeviceRuntime {
  public:
    CudaRuntime() {
        check(cudaGetDevice(&device_), "cannot select the CUDA device");
        check(cudaGetDeviceProperties(&properties_, device_), "cannot query the CUDA device");
    }

    std::string name() const override {
        return "GPU " + std::to_string(device_) + " (" + properties_.name + ")";
    }

    void* allocate(std::size_t bytes) override {
        void* pointer = nullptr;
        check(cudaMalloc(&pointer, bytes),
              "cannot allocate " + std::to_string(bytes) + " bytes on " + name());
        return pointer;
    }

    void* allocatePitch(std::size_t* pitch, std::size_t widthBytes, std::size_t height) override {
        void* pointer = nullptr;
        check(
            cudaMallocPitch(&pointer, pitch, widthBytes, height),
            "cannot allocate a pitched matrix of " + std::to_string(height) + " rows on " + name());
        return pointer;
    }

    void release(void* pointer) noexcept override { cudaFree(pointer); }

    void copy(void* destination, const void* source, std::size_t bytes, CopyKind kind) override {
        check(cudaMemcpy(destination, source, bytes, toCuda(kind)),
              "copy to or from " + name() + " failed");
    }

    void copy2D(void* destination, std::size_t destinationPitch, const void* source,
                std::size_t sourcePitch, std::size_t widthBytes, std::size_t height,
                CopyKind kind) override {
        check(cudaMemcpy2D(destination, destinationPitch, source, sourcePitch, widthBytes, height,
                           toCuda(kind)),
              "2D copy to or from " + name() + " failed");
    }

    void configureCall(LaunchShape grid, LaunchShape block) override {
        const unsigned int g[3] = {grid.x, grid.y, grid.z};
        const unsigned int b[3] = {block.x, block.y, block.z};
        for (int d = 0; d < 3; ++d) {
            if (g[d] == 0 || g[d] > static_cast<unsigned int>(properties_.maxGridSize[d]) ||
                b[d] == 0 || b[d] > static_cast<unsigned int>(properties_.maxThreadsDim[d])) {
                fail(Status::Device, "cannot configure a launch on " + name() +
                                         ": the grid or block shape exceeds the device's limits");
            }
        }
        if (std::uint64_t{block.x} * block.y * block.z >
            static_cast<std::uint64_t>(properties_.maxThreadsPerBlock)) {
            fail(Status::Device,
                 "cannot configure a launch on " + name() + ": too many threads per block");
        }
        grid_ = dim3(grid.x, grid.y, grid.z);
        block_ = dim3(block.x, block.y, block.z);
        arguments_.begin();
    }

    void setupArgument(const void* argument, std::size_t size, std::size_t offset) override {
        arguments_.push(argument, size, offset);
    }

    void launch(KernelId kernel) override {
        void* args[kMaxKernelParameters];
        arguments_.finish(kernel, args);
        check(
            cudaLaunchKernel(gpuKernelEntry(kernel), grid_, block_, args, 0, nullptr),
            std::string("launch of ") + kernelSignature(kernel).name + " on " + name() + " failed");
    }

    void synchronize() override {
        check(cudaDeviceSynchronize(), "a kernel on " + name() + " failed");
    }

  private:
    static cudaMemcpyKind toCuda(CopyKind kind) {
        return kind == CopyKind::HostToDevice ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost;
    }

    int device_ = 0;
    cudaDeviceProp properties_{};
    dim3 grid_;
    dim3 block_;
    LaunchArguments arguments_;
};

}  // namespace

bool cudaDeviceAvailable() {
    static const bool available = [] {
        int count = 0;
        // Without a driver this answers an error at once; any error means no device.
        const cudaError_t result = cudaGetDeviceCount(&count);
        if (result != cudaSuccess) {
            cudaGetLastError();
            return false;
        }
        return count > 0;
    }();
    return available;
}

std::unique_ptr<DeviceRuntime> openCudaRuntime() {
    if (!cudaDeviceAvailable()) return nullptr;
    return std::make_unique<CudaRuntime>();
}

}  // namespace fwprune
