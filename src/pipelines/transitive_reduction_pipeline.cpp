#include <algorithm>

#include "common/error.h"
#include "graph_files/edge_list.h"
#include "pipelines/launch_shapes.h"
#include "pipelines/phase_timer.h"
#include "pipelines/pipelines.h"

namespace fwprune {

void reduceTransitivelyOnDevice(DeviceRuntime& runtime, ByteAdjacencyMatrix& matrix,
                                const SweepProgress& progress) {
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
        launchKernel(runtime, KernelId::AllPairsLongestPath, sweepGrid, sweepBlock, deviceMatrix, k,
                     n);
        if (progress && sweepReportDue(k, n)) progress(double(k + 1) / n);
    }
    const unsigned int tiles = blocksToCover(n, kReductionTile);
    launchKernel(runtime, KernelId::TransitiveReduction, LaunchShape{tiles, tiles, 1},
                 LaunchShape{kReductionTile, kReductionTile, 1}, deviceMatrix, n);

    // The copy back waits for every launch queued before it.
    runtime.copy(matrix.cells.data(), deviceMatrix, bytes, CopyKind::DeviceToHost);
    runtime.synchronize();
}

void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options) {
    runJobPhases(
        options,
        [&](const ProgressFunction& progress) {
            return readEdgeList(inputPath, options.strict, options.threads, progress);
        },
        [&](ByteAdjacencyMatrix& matrix) { return reduceTransitively(matrix, options); },
        [&](const ByteAdjacencyMatrix& matrix, const ProgressFunction& progress) {
            writeEdgeList(matrix, outputPath, options.threads, progress);
        },
        [](const ByteAdjacencyMatrix& m) {
            return static_cast<long long>(m.cells.size() -
                                          std::count(m.cells.begin(), m.cells.end(), CELL_EMPTY));
        });
}

}  // namespace fwprune
