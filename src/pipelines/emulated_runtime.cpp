// The CPU stand-in for the device runtime: "device memory" is host memory it tracks, copies are
// checked against its allocations, and launches run the kernels' own source through the grid
// runner. It applies the limits of a current GPU so that a shape a GPU would refuse fails here
// too.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/error.h"
#include "common/parallel.h"
#include "pipelines/device_runtime.h"
#include "pipelines/launch_arguments.h"

namespace fwprune {
namespace {

constexpr unsigned int kMaxGrid[3] = {2147483647u, 65535u, 65535u};
constexpr unsigned int kMaxBlock[3] = {1024u, 1024u, 64u};
constexpr unsigned int kMaxThreadsPerBlock = 1024;
// Row strides of pitched allocations are rounded up as a GPU's are, so that code confusing the
// pitch with the row width fails on the stand-in as it would on a device.
constexpr std::size_t kPitchAlignment = 512;

std::string shapeText(LaunchShape s) {
    return "(" + std::to_string(s.x) + ", " + std::to_string(s.y) + ", " + std::to_string(s.z) +
           ")";
}

struct FaultPlan {
    StandInFault fault = StandInFault::None;
    int afterCalls = 0;
};

FaultPlan& threadFaultPlan() {
    static thread_local FaultPlan plan;
    return plan;
}

class EmulatedRuntime final : public DeviceRuntime {
  public:
    explicit EmulatedRuntime(int threads) : pool_(threads), faults_(threadFaultPlan()) {}

    std::string name() const override { return "CPU stand-in"; }

    void* allocate(std::size_t bytes) override {
        injectedFault(StandInFault::Allocation, Status::OutOfMemory, "allocation");
        std::unique_ptr<unsigned char[]> block;
        try {
            // Never zero-sized, so every allocation has a distinct address.
            block = std::make_unique<unsigned char[]>(std::max<std::size_t>(bytes, 1));
        } catch (const std::bad_alloc&) {
            fail(Status::OutOfMemory, "the CPU stand-in cannot allocate " + std::to_string(bytes) +
                                          " bytes of device memory");
        }
        void* const pointer = block.get();
        const std::lock_guard<std::mutex> lock(mutex_);
        allocations_.emplace(static_cast<unsigned char*>(pointer),
                             Allocation{std::move(block), bytes});
        return pointer;
    }

    void* allocatePitch(std::size_t* pitch, std::size_t widthBytes, std::size_t height) override {
        const std::size_t stride =
            std::max<std::size_t>(1, (widthBytes + kPitchAlignment - 1) / kPitchAlignment) *
            kPitchAlignment;
        if (height != 0 && stride > static_cast<std::size_t>(-1) / height) {
            fail(Status::OutOfMemory,
                 "pitched allocation of " + std::to_string(height) + " rows is too large");
        }
        void* const pointer = allocate(stride * height);
        *pitch = stride;
        return pointer;
    }

    void release(void* pointer) noexcept override {
        const std::lock_guard<std::mutex> lock(mutex_);
        allocations_.erase(static_cast<unsigned char*>(pointer));
    }

    void copy(void* destination, const void* source, std::size_t bytes, CopyKind kind) override {
        copy2D(destination, bytes, source, bytes, bytes, 1, kind);
    }

    void copy2D(void* destination, std::size_t destinationPitch, const void* source,
                std::size_t sourcePitch, std::size_t widthBytes, std::size_t height,
                CopyKind kind) override {
        injectedFault(StandInFault::Copy, Status::Device, "copy");
        if (widthBytes > destinationPitch || widthBytes > sourcePitch) {
            fail(Status::Device, "2D copy of rows " + std::to_string(widthBytes) +
                                     " bytes wide exceeds a row pitch");
        }
        if (height == 0 || widthBytes == 0) return;
        const bool toDevice = kind == CopyKind::HostToDevice;
        checkDeviceRange(toDevice ? destination : source, toDevice ? destinationPitch : sourcePitch,
                         widthBytes, height);
        auto* out = static_cast<unsigned char*>(destination);
        const auto* in = static_cast<const unsigned char*>(source);
        for (std::size_t row = 0; row < height; ++row) {
            std::memcpy(out + row * destinationPitch, in + row * sourcePitch, widthBytes);
        }
    }

    void configureCall(LaunchShape grid, LaunchShape block) override {
        injectedFault(StandInFault::Configure, Status::Device, "launch configuration");
        const unsigned int g[3] = {grid.x, grid.y, grid.z};
        const unsigned int b[3] = {block.x, block.y, block.z};
        for (int d = 0; d < 3; ++d) {
            if (g[d] == 0 || g[d] > kMaxGrid[d] || b[d] == 0 || b[d] > kMaxBlock[d]) {
                fail(Status::Device, "cannot configure a launch with grid " + shapeText(grid) +
                                         " and block " + shapeText(block) +
                                         ": beyond the device's limits");
            }
        }
        if (std::uint64_t{block.x} * block.y * block.z > kMaxThreadsPerBlock) {
            fail(Status::Device, "cannot configure a launch with block " + shapeText(block) +
                                     ": more than 1024 threads per block");
        }
        grid_ = grid;
        block_ = block;
        arguments_.begin();
    }

    void setupArgument(const void* argument, std::size_t size, std::size_t offset) override {
        injectedFault(StandInFault::Argument, Status::Device, "kernel argument");
        arguments_.push(argument, size, offset);
    }

    void launch(KernelId kernel) override {
        void* args[kMaxKernelParameters];
        arguments_.finish(kernel, args);
        injectedFault(StandInFault::Launch, Status::Device, "launch");
        if (!runEmulatedKernel(kernel, grid_, block_, args, pool_)) {
            fail(Status::Internal,
                 std::string(kernelSignature(kernel).name) +
                     " uses barriers in a way the CPU stand-in cannot run exactly");
        }
    }

    void synchronize() override {}

  private:
    void injectedFault(StandInFault operation, Status status, const char* what) {
        if (faults_.fault != operation) return;
        if (faults_.afterCalls-- > 0) return;
        faults_.fault = StandInFault::None;
        fail(status, std::string("the CPU stand-in failed a ") + what + " (injected fault)");
    }

    struct Allocation {
        std::unique_ptr<unsigned char[]> block;
        std::size_t bytes;
    };

    void checkDeviceRange(const void* start, std::size_t pitch, std::size_t widthBytes,
                          std::size_t height) {
        const auto* begin = static_cast<const unsigned char*>(start);
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = allocations_.upper_bound(const_cast<unsigned char*>(begin));
        bool inside = it != allocations_.begin();
        if (inside) {
            --it;
            const std::size_t offset = static_cast<std::size_t>(begin - it->first);
            const std::size_t span = (height - 1) * pitch + widthBytes;
            inside = offset <= it->second.bytes && span <= it->second.bytes - offset;
        }
        if (!inside) fail(Status::Device, "copy touches memory outside any device allocation");
    }

    ThreadPool pool_;
    FaultPlan faults_;
    std::mutex mutex_;
    std::map<unsigned char*, Allocation> allocations_;
    LaunchShape grid_;
    LaunchShape block_;
    LaunchArguments arguments_;
};

}  // namespace

void injectStandInFault(StandInFault fault, int afterCalls) {
    threadFaultPlan() = FaultPlan{fault, afterCalls};
}

std::unique_ptr<DeviceRuntime> openEmulatedRuntime(int threads) {
    return std::make_unique<EmulatedRuntime>(threads);
}

}  // namespace fwprune
