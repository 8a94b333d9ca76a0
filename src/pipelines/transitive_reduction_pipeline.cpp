#include <algorithm>

#include "common/error.h"
#include "cpu/cpu_engine.h"
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

namespace {

cpu::ReducedEdges reduceEdgeRecordsOnCpu(const std::vector<std::uint64_t>& records,
                                         const RunOptions& options) {
    try {
        return cpu::reduceEdgeRecords(records, sweepProgressOf(options));
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory, "not enough memory for the sparse reduction of " +
                                      std::to_string(records.size()) + " edges");
    }
}

}  // namespace

void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options) {
    PhaseTimer reading(options, Phase::Read);
    EdgeRecords graph = readEdgeRecords(inputPath, options.strict, options.threads);
    reading.done();
    const Route route = chooseReductionRoute(options, graph.n, graph.records.size());
    if (options.stats) {
        options.stats->nodes = graph.n;
        options.stats->route = route;
    }

    if (route == Route::Sparse) {
        PhaseTimer sweeps(options, Phase::Sweeps);
        const cpu::ReducedEdges reduced = reduceEdgeRecordsOnCpu(graph.records, options);
        sweeps.done();
        if (options.stats) {
            options.stats->backend = Backend::Cpu;
            options.stats->edgesIn = static_cast<long long>(reduced.distinct);
            options.stats->edgesOut = static_cast<long long>(reduced.kept.size());
        }
        std::vector<std::uint64_t>().swap(graph.records);
        PhaseTimer writing(options, Phase::Write);
        writeSortedEdges(reduced.kept, outputPath, options.threads);
        writing.done();
        return;
    }

    ByteAdjacencyMatrix matrix = adjacencyMatrixOf(graph, inputPath);
    std::vector<std::uint64_t>().swap(graph.records);
    const auto edges = [&] {
        return static_cast<long long>(matrix.cells.size() - std::count(matrix.cells.begin(),
                                                                       matrix.cells.end(),
                                                                       CELL_EMPTY));
    };
    if (options.stats) options.stats->edgesIn = edges();
    PhaseTimer sweeps(options, Phase::Sweeps);
    const Backend backend = reduceTransitively(matrix, options);
    sweeps.done();
    if (options.stats) {
        options.stats->backend = backend;
        options.stats->edgesOut = edges();
    }
    PhaseTimer writing(options, Phase::Write);
    writeEdgeList(matrix, outputPath, options.threads);
    writing.done();
}

}  // namespace fwprune
