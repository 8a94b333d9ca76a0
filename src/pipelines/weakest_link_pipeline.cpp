#include <algorithm>
#include <limits>

#include "common/cancel.h"
#include "common/error.h"
#include "graph_files/file_io.h"
#include "graph_files/weight_matrix.h"
#include "pipelines/launch_shapes.h"
#include "pipelines/phase_timer.h"
#include "pipelines/pipelines.h"

namespace fwprune {

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
        launchKernel(runtime, KernelId::AllPairsWeakestLink, sweepGrid, sweepBlock, deviceMatrix, k,
                     n, devicePitch, lower_threshold);
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

void runWeakestLinkPipeline(const std::string& inputPath, const std::string& edgeListPath,
                            const std::string& matrixPath, float lower_threshold,
                            float upper_threshold, const RunOptions& options) {
    runJobPhases(
        options,
        [&](const ProgressFunction& progress) {
            return readWeightMatrix(inputPath, options.strict, options.threads, progress);
        },
        [&](WeightMatrix& matrix) {
            return pruneWeakestLinks(matrix, lower_threshold, upper_threshold, options);
        },
        [&](const WeightMatrix& matrix, const ProgressFunction& progress) {
            // Both outputs are written completely before either replaces its target, and then
            // both replace their targets or neither does. The matrix is committed first: when
            // both paths name one file, it ends holding the edge list.
            OutputFile matrixFile(matrixPath);
            OutputFile edgeFile(edgeListPath);
            // The matrix text is several times the edge list's, and takes most of the time.
            writeWeightMatrix(matrix, matrixFile, options.threads, progressPart(progress, 0, 0.8));
            writeWeightEdgeList(matrix, edgeFile, options.threads, progressPart(progress, 0.8, 1));
            commitTogether(matrixFile, edgeFile);
        },
        [](const WeightMatrix& m) {
            return static_cast<long long>(std::count_if(
                m.cells.begin(), m.cells.end(), [](float v) { return !(v == WEIGHT_ABSENT); }));
        });
}

}  // namespace fwprune
