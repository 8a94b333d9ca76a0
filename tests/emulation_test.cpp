// The CPU stand-in: its execution model, the barrier rule it guards, and the checks its runtime
// applies to memory, launch shapes and arguments.
#include <gtest/gtest.h>

#include <numeric>

#include "common/error.h"
#include "common/parallel.h"
#include "device/runtime/device_runtime.h"
#include "device/stand_in/grid.h"

// Test kernels, written as kernels and compiled through the same compatibility header.
namespace fwprune::emulated {

__global__ void recordCoordinates_kernel(unsigned int* out) {
    const unsigned int block = (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    const unsigned int thread = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    const unsigned int perBlock = blockDim.x * blockDim.y * blockDim.z;
    out[block * perBlock + thread] += block * 1000 + thread + 1;
}

// Thread 0 fills a shared value that every thread reads after the barrier.
__global__ void broadcastFromThreadZero_kernel(int* out) {
    __shared__ int value;
    if (threadIdx.x == 0) value = static_cast<int>(blockIdx.x) * 10;
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = value + static_cast<int>(threadIdx.x);
}

__global__ void twoBarriers_kernel(int* out) {
    __syncthreads();
    out[threadIdx.x] = 1;
    __syncthreads();
}

__global__ void divergentBarrier_kernel(int* out) {
    if (threadIdx.x == 0) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

}  // namespace fwprune::emulated

namespace fwprune {
namespace {

template <typename T>
bool run(void (*kernel)(T*), LaunchShape grid, LaunchShape block, T* data, int threads = 2) {
    ThreadPool pool(threads);
    void* args[] = {&data};
    return emulated::runGrid(kernel, grid, block, args, pool);
}

TEST(StandInGrid, RunsEveryThreadOfEveryBlockOnce) {
    const LaunchShape grid{3, 2, 2}, block{4, 3, 2};
    std::vector<unsigned int> out(3 * 2 * 2 * 4 * 3 * 2, 0);
    ASSERT_TRUE(run(&emulated::recordCoordinates_kernel, grid, block, out.data()));
    for (unsigned int b = 0; b < 12; ++b) {
        for (unsigned int t = 0; t < 24; ++t) EXPECT_EQ(out[b * 24 + t], b * 1000 + t + 1);
    }
}

TEST(StandInGrid, SharedValueIsPerBlockAndVisibleAfterTheBarrier) {
    for (const int threads : {1, 2, 4}) {
        std::vector<int> out(64 * 32, -1);
        ASSERT_TRUE(run(&emulated::broadcastFromThreadZero_kernel, LaunchShape{64}, LaunchShape{32},
                        out.data(), threads));
        for (int b = 0; b < 64; ++b) {
            for (int t = 0; t < 32; ++t) ASSERT_EQ(out[b * 32 + t], b * 10 + t);
        }
    }
}

TEST(StandInGrid, RefusesBarrierUseItCannotRunExactly) {
    std::vector<int> out(8, 0);
    EXPECT_FALSE(run(&emulated::twoBarriers_kernel, LaunchShape{1}, LaunchShape{8}, out.data()));
    EXPECT_FALSE(
        run(&emulated::divergentBarrier_kernel, LaunchShape{2}, LaunchShape{8}, out.data()));
}

TEST(StandInRuntime, PitchIsRoundedUpLikeADevicePitch) {
    const auto runtime = openEmulatedRuntime(1);
    for (const std::size_t width :
         {std::size_t{4}, std::size_t{512}, std::size_t{513}, std::size_t{4 * 300}}) {
        std::size_t pitch = 0;
        DeviceBuffer buffer(*runtime, runtime->allocatePitch(&pitch, width, 3));
        EXPECT_GE(pitch, width);
        EXPECT_EQ(pitch % 512, 0u);
    }
}

TEST(StandInRuntime, TwoDimensionalCopiesKeepRowsApartByThePitch) {
    const auto runtime = openEmulatedRuntime(1);
    const std::size_t width = 12, height = 5;
    std::size_t pitch = 0;
    DeviceBuffer device(*runtime, runtime->allocatePitch(&pitch, width, height));
    std::vector<unsigned char> host(width * height), back(width * height, 0);
    std::iota(host.begin(), host.end(), 1);
    runtime->copy2D(device.get(), pitch, host.data(), width, width, height, CopyKind::HostToDevice);
    const auto* rows = static_cast<const unsigned char*>(device.get());
    EXPECT_EQ(rows[pitch], host[width]);  // row 1 starts one pitch in
    runtime->copy2D(back.data(), width, device.get(), pitch, width, height, CopyKind::DeviceToHost);
    EXPECT_EQ(back, host);
}

TEST(StandInRuntime, RejectsCopiesOutsideItsAllocations) {
    const auto runtime = openEmulatedRuntime(1);
    std::vector<unsigned char> host(4096);
    DeviceBuffer device(*runtime, runtime->allocate(100));
    EXPECT_THROW(runtime->copy(device.get(), host.data(), 101, CopyKind::HostToDevice), Error);
    EXPECT_THROW(runtime->copy(host.data(), host.data(), 10, CopyKind::DeviceToHost), Error);
    std::size_t pitch = 0;
    DeviceBuffer pitched(*runtime, runtime->allocatePitch(&pitch, 40, 4));
    // A device stride larger than the allocation's pitch runs past its end.
    EXPECT_THROW(
        runtime->copy2D(pitched.get(), 2 * pitch, host.data(), 40, 40, 4, CopyKind::HostToDevice),
        Error);
    EXPECT_THROW(runtime->copy2D(pitched.get(), 20, host.data(), 40, 40, 4, CopyKind::HostToDevice),
                 Error);
}

// Expects the call to fail with a Device error whose message contains every fragment.
template <typename Call>
void expectDeviceError(Call&& call, std::initializer_list<const char*> fragments) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::Device);
        for (const char* fragment : fragments) {
            EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos)
                << error.what() << " lacks " << fragment;
        }
    }
}

// Real kernels given a matrix one cell larger than their memory: each writes one cell out of
// bounds, which no result shows, and the launch fails naming the kernel and the byte.
TEST(StandInRuntime, KernelWritingOneByteOutsideItsMemoryFailsTheLaunch) {
    const auto runtime = openEmulatedRuntime(1);
    // A 4-node reachability matrix in 15 bytes: the sweep through node 0 marks cell (3, 3).
    DeviceBuffer bytes(*runtime, runtime->allocate(15));
    const std::vector<unsigned char> ones(15, 1);
    runtime->copy(bytes.get(), ones.data(), 15, CopyKind::HostToDevice);
    expectDeviceError(
        [&] {
            launchKernel(*runtime, KernelId::ReachabilitySweep, LaunchShape{4}, LaunchShape{32},
                         static_cast<unsigned char*>(bytes.get()), 0, 4);
        },
        {"floydWarshall_AllPairsLongestPath_kernel wrote outside its device memory",
         "byte 0 past the end of a 15-byte allocation"});

    // Rows of 3 floats in a pitched allocation, thresholded as rows of 4: the cell past each row
    // lands in the row padding, inside the allocation.
    const auto pitchedRuntime = openEmulatedRuntime(2);
    std::size_t pitch = 0;
    DeviceBuffer rows(*pitchedRuntime, pitchedRuntime->allocatePitch(&pitch, 12, 2));
    const std::vector<float> zeros(6, 0.0f);
    pitchedRuntime->copy2D(rows.get(), pitch, zeros.data(), 12, 12, 2, CopyKind::HostToDevice);
    expectDeviceError(
        [&] {
            launchKernel(*pitchedRuntime, KernelId::ThresholdPass, LaunchShape{1, 2},
                         LaunchShape{32}, static_cast<float*>(rows.get()), 4,
                         static_cast<unsigned int>(pitch), 0.5f);
        },
        {"byte 0 past the end of row 0 (12 bytes wide"});
}

TEST(StandInRuntime, HostWritesOutsideAnAllocationAreReportedAtTheNextCall) {
    const auto runtime = openEmulatedRuntime(1);
    void* const first = runtime->allocate(100);
    static_cast<unsigned char*>(first)[100] ^= 1;
    expectDeviceError([&] { runtime->synchronize(); }, {"byte 0 past the end"});
    static_cast<unsigned char*>(first)[100] ^= 1;
    runtime->release(first);

    void* const second = runtime->allocate(100);
    static_cast<unsigned char*>(second)[-3] ^= 1;
    runtime->release(second);
    std::vector<unsigned char> host(8);
    expectDeviceError([&] { runtime->allocate(8); },
                      {"before its release", "byte 3 before the start of a 100-byte allocation"});
    // Reported once; the runtime works on.
    DeviceBuffer third(*runtime, runtime->allocate(8));
    runtime->copy(third.get(), host.data(), 8, CopyKind::HostToDevice);
    runtime->synchronize();
}

TEST(StandInRuntime, RejectsShapesAndArgumentsADeviceWouldRefuse) {
    const auto runtime = openEmulatedRuntime(1);
    EXPECT_THROW(runtime->configureCall(LaunchShape{0}, LaunchShape{256}), Error);
    EXPECT_THROW(runtime->configureCall(LaunchShape{1, 65536}, LaunchShape{256}), Error);
    EXPECT_THROW(runtime->configureCall(LaunchShape{1}, LaunchShape{1025}), Error);
    EXPECT_THROW(runtime->configureCall(LaunchShape{1}, LaunchShape{64, 32}), Error);
    // A launch that was never configured, or configured once and launched twice.
    EXPECT_THROW(runtime->launch(KernelId::ReductionPass), Error);

    DeviceBuffer device(*runtime, runtime->allocate(16));
    auto* matrix = static_cast<unsigned char*>(device.get());
    const int n = 4;
    launchKernel(*runtime, KernelId::ReductionPass, LaunchShape{1, 1}, LaunchShape{16, 16}, matrix,
                 n);
    EXPECT_THROW(runtime->launch(KernelId::ReductionPass), Error);
    // Arguments of the wrong kind or number for the kernel.
    EXPECT_THROW(launchKernel(*runtime, KernelId::ReductionPass, LaunchShape{1, 1},
                              LaunchShape{16, 16}, matrix, std::int64_t{n}),
                 Error);
    EXPECT_THROW(launchKernel(*runtime, KernelId::ReachabilitySweep, LaunchShape{4},
                              LaunchShape{256}, matrix, n),
                 Error);
    runtime->configureCall(LaunchShape{1}, LaunchShape{1});
    EXPECT_THROW(runtime->setupArgument(&n, sizeof n, 4094), Error);
}

}  // namespace
}  // namespace fwprune
