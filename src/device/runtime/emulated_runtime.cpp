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
#include "device/runtime/device_runtime.h"
#include "device/runtime/launch_arguments.h"

namespace fwprune {
namespace {

constexpr unsigned int kMaxGrid[3] = {2147483647u, 65535u, 65535u};
constexpr unsigned int kMaxBlock[3] = {1024u, 1024u, 64u};
constexpr unsigned int kMaxThreadsPerBlock = 1024;
// Row strides of pitched allocations are rounded up as a GPU's are, so that code confusing the
// pitch with the row width fails on the stand-in as it would on a device.
constexpr std::size_t kPitchAlignment = 512;
// Guard bytes, as a device memory checker places them: every allocation lies between two runs of
// a known pattern, and the row padding of a pitched allocation holds it too. They are checked
// after every launch, at every synchronize and at release, so a kernel that writes one byte
// outside its matrix fails even where the result would come out right.
constexpr std::size_t kGuardBytes = 256;
constexpr unsigned char kGuardPattern = 0xfd;

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
    explicit EmulatedRuntime(int threads)
        : ownPool_(std::make_unique<ThreadPool>(threads)),
          pool_(*ownPool_),
          faults_(threadFaultPlan()) {}
    explicit EmulatedRuntime(ThreadPool& pool) : pool_(pool), faults_(threadFaultPlan()) {}

    std::string name() const override { return "CPU stand-in"; }

    void* allocate(std::size_t bytes) override { return allocateGuarded(bytes, bytes, bytes); }

    void* allocatePitch(std::size_t* pitch, std::size_t widthBytes, std::size_t height) override {
        const std::size_t stride =
            std::max<std::size_t>(1, (widthBytes + kPitchAlignment - 1) / kPitchAlignment) *
            kPitchAlignment;
        if (height != 0 && stride > static_cast<std::size_t>(-1) / height) {
            fail(Status::OutOfMemory,
                 "pitched allocation of " + std::to_string(height) + " rows is too large");
        }
        void* const pointer = allocateGuarded(stride * height, widthBytes, stride);
        *pitch = stride;
        return pointer;
    }

    // A broken guard found here cannot be thrown; the next call of any kind reports it, as a
    // device reports an error of earlier work.
    void release(void* pointer) noexcept override {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = allocations_.find(static_cast<unsigned char*>(pointer));
        if (found == allocations_.end()) return;
        if (pendingError_.empty()) {
            const std::string broken = brokenGuard(found->first, found->second);
            if (!broken.empty()) {
                pendingError_ =
                    "device memory outside an allocation was overwritten before its "
                    "release: " +
                    broken + " was changed";
            }
        }
        allocations_.erase(found);
    }

    void copy(void* destination, const void* source, std::size_t bytes, CopyKind kind) override {
        copy2D(destination, bytes, source, bytes, bytes, 1, kind);
    }

    void copy2D(void* destination, std::size_t destinationPitch, const void* source,
                std::size_t sourcePitch, std::size_t widthBytes, std::size_t height,
                CopyKind kind) override {
        reportPendingError();
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
        reportPendingError();
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
        checkGuards(std::string(kernelSignature(kernel).name) + " wrote outside its device memory");
    }

    void synchronize() override {
        reportPendingError();
        checkGuards("device memory outside an allocation was overwritten");
    }

  private:
    void injectedFault(StandInFault operation, Status status, const char* what) {
        if (faults_.fault != operation) return;
        if (faults_.afterCalls-- > 0) return;
        faults_.fault = StandInFault::None;
        fail(status, std::string("the CPU stand-in failed a ") + what + " (injected fault)");
    }

    // The user's bytes lie kGuardBytes into block, rows of rowBytes every pitch bytes (a linear
    // allocation is one row).
    struct Allocation {
        std::unique_ptr<unsigned char[]> block;
        std::size_t bytes;
        std::size_t rowBytes;
        std::size_t pitch;
    };

    void* allocateGuarded(std::size_t bytes, std::size_t rowBytes, std::size_t pitch) {
        reportPendingError();
        injectedFault(StandInFault::Allocation, Status::OutOfMemory, "allocation");
        std::unique_ptr<unsigned char[]> block;
        if (bytes > static_cast<std::size_t>(-1) - 2 * kGuardBytes) {
            fail(Status::OutOfMemory, "the CPU stand-in cannot allocate " + std::to_string(bytes) +
                                          " bytes of device memory");
        }
        block = reportingOutOfMemory(
            [&] {
                return "the CPU stand-in cannot allocate " + std::to_string(bytes) +
                       " bytes of device memory";
            },
            [&] { return std::make_unique<unsigned char[]>(bytes + 2 * kGuardBytes); });
        unsigned char* const pointer = block.get() + kGuardBytes;
        std::memset(block.get(), kGuardPattern, kGuardBytes);
        std::memset(pointer + bytes, kGuardPattern, kGuardBytes);
        for (std::size_t row = 0; row * pitch < bytes; ++row) {
            std::memset(pointer + row * pitch + rowBytes, kGuardPattern, pitch - rowBytes);
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        allocations_.emplace(pointer, Allocation{std::move(block), bytes, rowBytes, pitch});
        return pointer;
    }

    // Where the first changed guard byte of an allocation is, or "" when all are intact.
    static std::string brokenGuard(const unsigned char* pointer, const Allocation& a) {
        const auto firstChanged = [](const unsigned char* from, std::size_t count) {
            return static_cast<std::size_t>(
                std::find_if(from, from + count,
                             [](unsigned char b) { return b != kGuardPattern; }) -
                from);
        };
        const std::string what = "a " + std::to_string(a.bytes) + "-byte allocation";
        const std::size_t before = firstChanged(pointer - kGuardBytes, kGuardBytes);
        if (before != kGuardBytes) {
            return "byte " + std::to_string(kGuardBytes - before) + " before the start of " + what;
        }
        const std::size_t after = firstChanged(pointer + a.bytes, kGuardBytes);
        if (after != kGuardBytes) {
            return "byte " + std::to_string(after) + " past the end of " + what;
        }
        for (std::size_t row = 0; a.rowBytes < a.pitch && row * a.pitch < a.bytes; ++row) {
            const std::size_t padding = a.pitch - a.rowBytes;
            const std::size_t changed = firstChanged(pointer + row * a.pitch + a.rowBytes, padding);
            if (changed != padding) {
                return "byte " + std::to_string(changed) + " past the end of row " +
                       std::to_string(row) + " (" + std::to_string(a.rowBytes) +
                       " bytes wide, rows " + std::to_string(a.pitch) + " bytes apart) of " + what;
            }
        }
        return "";
    }

    void checkGuards(const std::string& what) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [pointer, allocation] : allocations_) {
            const std::string broken = brokenGuard(pointer, allocation);
            if (!broken.empty()) fail(Status::Device, what + ": " + broken + " was changed");
        }
    }

    void reportPendingError() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (pendingError_.empty()) return;
        const std::string message = std::move(pendingError_);
        pendingError_.clear();
        fail(Status::Device, message);
    }

    // A copy must lie within the rows of one allocation, clear of its guards and row padding.
    void checkDeviceRange(const void* start, std::size_t pitch, std::size_t widthBytes,
                          std::size_t height) {
        const auto* begin = static_cast<const unsigned char*>(start);
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = allocations_.upper_bound(const_cast<unsigned char*>(begin));
        bool inside = it != allocations_.begin();
        if (inside) {
            --it;
            const Allocation& a = it->second;
            const std::size_t offset = static_cast<std::size_t>(begin - it->first);
            const std::size_t span = (height - 1) * pitch + widthBytes;
            inside = offset <= a.bytes && span <= a.bytes - offset;
            for (std::size_t row = 0; inside && a.rowBytes < a.pitch && row < height; ++row) {
                inside = (offset + row * pitch) % a.pitch + widthBytes <= a.rowBytes;
            }
        }
        if (!inside) fail(Status::Device, "copy touches memory outside any device allocation");
    }

    std::unique_ptr<ThreadPool> ownPool_;
    ThreadPool& pool_;
    FaultPlan faults_;
    std::mutex mutex_;
    std::map<unsigned char*, Allocation> allocations_;
    std::string pendingError_;  // a broken guard found at a release, for the next call
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

std::unique_ptr<DeviceRuntime> openEmulatedRuntime(ThreadPool& pool) {
    return std::make_unique<EmulatedRuntime>(pool);
}

}  // namespace fwprune
