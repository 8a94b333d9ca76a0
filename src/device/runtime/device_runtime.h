// What the pipelines ask of a device: allocation (linear and pitched), copies each way (1D and
// 2D), kernel launches configured call by call, and release. Two implementations: the CUDA
// runtime, and a CPU stand-in that runs the kernels' own source. Every call is checked; a failure
// throws an Error with status Device (or OutOfMemory), so no launch is ever skipped silently.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "device/kernel_table.h"

namespace fwprune {

enum class CopyKind { HostToDevice = 1, DeviceToHost = 2 };

class DeviceRuntime {
  public:
    virtual ~DeviceRuntime() = default;

    // A short name for messages: "GPU 0 (name)" or "CPU stand-in".
    virtual std::string name() const = 0;

    virtual void* allocate(std::size_t bytes) = 0;
    // Rows of widthBytes, height of them; *pitch receives the row stride chosen by the device.
    virtual void* allocatePitch(std::size_t* pitch, std::size_t widthBytes, std::size_t height) = 0;
    virtual void release(void* pointer) noexcept = 0;

    virtual void copy(void* destination, const void* source, std::size_t bytes, CopyKind kind) = 0;
    virtual void copy2D(void* destination, std::size_t destinationPitch, const void* source,
                        std::size_t sourcePitch, std::size_t widthBytes, std::size_t height,
                        CopyKind kind) = 0;

    // A launch is three steps: configure the shape, push each argument at its offset, launch.
    // configureCall rejects shapes beyond the device's limits; setupArgument rejects arguments
    // beyond the parameter space; launch checks the pushed arguments against the kernel's
    // parameters and reports any launch failure.
    virtual void configureCall(LaunchShape grid, LaunchShape block) = 0;
    virtual void setupArgument(const void* argument, std::size_t size, std::size_t offset) = 0;
    virtual void launch(KernelId kernel) = 0;

    // Waits for every queued launch and reports any failure that happened on the way.
    virtual void synchronize() = 0;
};

// The device buffer of one pipeline call, released when the call ends however it ends.
class DeviceBuffer {
  public:
    DeviceBuffer(DeviceRuntime& runtime, void* pointer) : runtime_(runtime), pointer_(pointer) {}
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { runtime_.release(pointer_); }
    void* get() const { return pointer_; }

  private:
    DeviceRuntime& runtime_;
    void* pointer_;
};

// Configures and launches a kernel with its arguments in parameter order, each at an offset
// aligned to its size.
template <typename... Arguments>
void launchKernel(DeviceRuntime& runtime, KernelId kernel, LaunchShape grid, LaunchShape block,
                  const Arguments&... arguments) {
    runtime.configureCall(grid, block);
    std::size_t offset = 0;
    const auto push = [&](const void* argument, std::size_t size) {
        offset = (offset + size - 1) / size * size;
        runtime.setupArgument(argument, size, offset);
        offset += size;
    };
    (push(&arguments, sizeof(Arguments)), ...);
    runtime.launch(kernel);
}

// The CPU stand-in, running blocks on a job's pool, or on a pool of its own of `threads` workers
// (0 for the default count).
class ThreadPool;
std::unique_ptr<DeviceRuntime> openEmulatedRuntime(ThreadPool& pool);
std::unique_ptr<DeviceRuntime> openEmulatedRuntime(int threads);

// Test-only switch: stand-ins opened afterwards on the calling thread fail the chosen operation
// on its (afterCalls + 1)-th use, as a device would (an allocation out of memory, a copy error, a
// launch shape or argument refused, a launch failure). StandInFault::None turns it off.
enum class StandInFault { None, Allocation, Copy, Configure, Argument, Launch };
void injectStandInFault(StandInFault fault, int afterCalls = 0);

// The CUDA runtime on its default device, or nullptr when there is no usable device (no driver,
// a driver too old, no device, or a library built without CUDA).
std::unique_ptr<DeviceRuntime> openCudaRuntime();

// Whether openCudaRuntime would find a device; probed once per process.
bool cudaDeviceAvailable();

}  // namespace fwprune
