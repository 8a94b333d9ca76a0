#include "device/runtime/device_jobs.h"

#include <limits>
#include <string>

#include "common/cancel.h"
#include "common/error.h"
#include "device/runtime/launch_shapes.h"

namespace fwprune {
namespace {

// How often sweep progress is reported: about a hundred times per job.
bool sweepReportDue(int k, int n) {
    return n >= 100 ? (k + 1) % (n / 100) == 0 : true;
}

}  // namespace

void reduceTransitivelyOnDevice(DeviceRuntime& runtime, ByteAdjacencyMatrix& matrix,
                                const ProgressFunction& progress) {
    const int n = matrix.n;
    // With no node there is nothing to sweep, and a grid of zero blocks cannot be launched.
    if (n == 0) return;
    const std::size_t bytes = matrix.cells.size();
    DeviceBuffer device(runtime, runtime.allocate(bytes));
    auto* const deviceMatrix = static_cast<unsigned char*>(device.get());
    runtime.copy(deviceMatrix, matrix.cells.data(), bytes, CopyKind::HostToDevice);

    // One block per row; the sweeps must run in ascending k, which launches on one queue do.
    const LaunchShape sweepGrid{static_cast<unsigned int>(n), 1, 1};
    const LaunchShape sweepBlock{kSweepBlockWidth, 1, 1};
    for (int k = 0; k < n; ++k) {
        launchKernel(runtime, KernelId::ReachabilitySweep, sweepGrid, sweepBlock, deviceMatrix, k,
                     n);
        if (progress && sweepReportDue(k, n)) progress(double(k + 1) / n);
        pollCancelled();
    }
    const unsigned int tiles = blocksToCover(n, kReductionTile);
    launchKernel(runtime, KernelId::ReductionPass, LaunchShape{tiles, tiles, 1},
                 LaunchShape{kReductionTile, kReductionTile, 1}, deviceMatrix, n);

    // The copy back waits for every launch queued before it.
    runtime.copy(matrix.cells.data(), deviceMatrix, bytes, CopyKind::DeviceToHost);
    runtime.synchronize();
}

void pruneWeakestLinksOnDevice(DeviceRuntime& runtime, WeightMatrix& matrix, float lower_threshold,
                               float upper_threshold, const ProgressFunction& progress) {
    const int n = matrix.n;
    if (n == 0) return;
    const std::size_t rowBytes = sizeof(float) * static_cast<std::size_t>(n);
    std::size_t pitch = 0;
    DeviceBuffer device(runtime,
                        runtime.allocatePitch(&pitch, rowBytes, static_cast<std::size_t>(n)));
    if (pitch < rowBytes || pitch > std::numeric_limits<unsigned int>::max()) {
        fail(Status::Device, runtime.name() + " returned an unusable row pitch of " +
                                 std::to_string(pitch) + " bytes");
    }
    auto* const deviceMatrix = static_cast<float*>(device.get());
    const auto devicePitch = static_cast<unsigned int>(pitch);
    runtime.copy2D(deviceMatrix, pitch, matrix.cells.data(), rowBytes, rowBytes,
                   static_cast<std::size_t>(n), CopyKind::HostToDevice);

    const LaunchShape sweepGrid{static_cast<unsigned int>(n), 1, 1};
    const LaunchShape sweepBlock{kSweepBlockWidth, 1, 1};
    for (int k = 0; k < n; ++k) {
        launchKernel(runtime, KernelId::WeakestLinkSweep, sweepGrid, sweepBlock, deviceMatrix, k, n,
                     devicePitch, lower_threshold);
        if (progress && sweepReportDue(k, n)) progress(double(k + 1) / n);
        pollCancelled();
    }
    launchKernel(
        runtime, KernelId::ThresholdPass,
        LaunchShape{blocksToCover(n, kThresholdBlockWidth), static_cast<unsigned int>(n), 1},
        LaunchShape{kThresholdBlockWidth, 1, 1}, deviceMatrix, n, devicePitch, upper_threshold);

    runtime.copy2D(matrix.cells.data(), rowBytes, deviceMatrix, pitch, rowBytes,
                   static_cast<std::size_t>(n), CopyKind::DeviceToHost);
    runtime.synchronize();
}

}  // namespace fwprune
