// The engines each plan runs: the native CPU engines, the GPU through the CUDA runtime, or the
// stand-in (the GPU kernels' own source on the CPU) when asked for.
#include "pipelines/engines.h"

#include <algorithm>

#include "common/cancel.h"
#include "common/error.h"
#include "cpu/cpu_engine.h"
#include "device/runtime/device_jobs.h"
#include "graph_files/edge_list.h"

namespace fwprune {
namespace {

std::unique_ptr<DeviceRuntime> openDevice(JobContext& job, Backend backend) {
    if (backend == Backend::Emulated) return openEmulatedRuntime(job.pool());
    std::unique_ptr<DeviceRuntime> runtime = openCudaRuntime();
    if (!runtime) fail(Status::Device, "no usable CUDA device (no driver, or no GPU)");
    return runtime;
}

// The CPU engines' scratch memory is the one allocation they make; running short of it is an
// out-of-memory error like any other.
template <typename Engine>
decltype(auto) onCpu(std::int64_t n, Engine&& engine) {
    return reportingOutOfMemory(
        [&] {
            return "not enough memory for the CPU engine's working copy of a " + std::to_string(n) +
                   "-node matrix";
        },
        engine);
}

// The cells of a matrix that are not `absent`.
long long presentCells(const std::vector<std::uint8_t>& cells) {
    return static_cast<long long>(cells.size()) -
           std::count(cells.begin(), cells.end(), CELL_EMPTY);
}

}  // namespace

Backend resolveBackend(Backend requested) {
    if (requested == Backend::Gpu && !cudaDeviceAvailable()) {
        fail(Status::Device, "the GPU backend was requested, but there is no usable CUDA device");
    }
    if (requested != Backend::Auto) return requested;
    return cudaDeviceAvailable() ? Backend::Gpu : Backend::Cpu;
}

std::vector<std::uint64_t> reduceOnPlan(JobContext& job, const JobPlan& plan, EdgeRecords& graph,
                                        const std::string& source) {
    RunStats* const stats = job.stats();
    if (stats) {
        stats->nodes = graph.n;
        stats->route = plan.route;
        stats->backend = plan.backend;
    }
    if (plan.backend != Backend::Cpu) {
        // The device sweeps work on the byte matrix.
        ByteAdjacencyMatrix matrix = adjacencyMatrixOf(graph, source);
        std::vector<std::uint64_t>().swap(graph.records);
        reduceByteMatrix(job, plan, matrix);
        std::vector<std::uint64_t> kept = edgeRecordsOf(matrix);
        if (stats) stats->edgesOut = static_cast<long long>(kept.size());
        return kept;
    }
    // Both CPU engines work on the records (the sweeps route builds its bit matrix straight from
    // them); a short allocation names the input and what it was for.
    const std::size_t edges = graph.records.size();
    cpu::ReducedEdges reduced = reportingOutOfMemory(
        [&] {
            return describeAt(source,
                              plan.route == Route::Sparse
                                  ? "not enough memory for the sparse reduction of " +
                                        std::to_string(edges) + " edges"
                                  : "not enough memory for the CPU engine's bit matrix of " +
                                        std::to_string(graph.n) + " nodes");
        },
        [&] {
            return plan.route == Route::Sparse
                       // The records become the sparse route's own memory.
                       ? cpu::reduceEdgeRecords(std::move(graph.records), job.pool(),
                                                job.engineProgress())
                       : cpu::reduceEdgeRecordsOnBits(graph.records, graph.n, job.pool(),
                                                      job.engineProgress());
        });
    if (stats) {
        stats->edgesIn = static_cast<long long>(reduced.distinct);
        stats->edgesOut = static_cast<long long>(reduced.kept.size());
    }
    return std::move(reduced.kept);
}

void reduceByteMatrix(JobContext& job, const JobPlan& plan, ByteAdjacencyMatrix& matrix) {
    RunStats* const stats = job.stats();
    if (stats) {
        stats->nodes = matrix.n;
        stats->route = plan.route;
        stats->backend = plan.backend;
        stats->edgesIn = presentCells(matrix.cells);
    }
    if (plan.backend == Backend::Cpu) {
        onCpu(matrix.n, [&] {
            cpu::reduceTransitively(matrix.cells.data(), matrix.n, job.pool(),
                                    job.engineProgress());
        });
    } else {
        reduceTransitivelyOnDevice(*openDevice(job, plan.backend), matrix, job.engineProgress());
    }
    if (stats) stats->edgesOut = presentCells(matrix.cells);
}

namespace {

// The present cells of a matrix seen in place.
long long presentCells(MatrixView<float> matrix) {
    long long count = 0;
    for (std::int64_t i = 0; i < matrix.n; ++i) {
        count += std::count_if(matrix.row(i), matrix.row(i) + matrix.n,
                               [](float v) { return !(v == WEIGHT_ABSENT); });
    }
    return count;
}

// The ordered route, on the CPU, in place; false when the matrix holds a NaN (it is then left as
// it was).
bool pruneInOrder(JobContext& job, MatrixView<float> matrix, float lower_threshold,
                  float upper_threshold) {
    return onCpu(matrix.n, [&] {
        return cpu::pruneWeakestLinksOrdered(matrix.data, matrix.n, matrix.rowStride,
                                             lower_threshold, upper_threshold, job.pool(),
                                             job.engineProgress());
    });
}

void pruneBySweeps(JobContext& job, const JobPlan& plan, WeightMatrix& matrix,
                   float lower_threshold, float upper_threshold) {
    if (plan.backend == Backend::Cpu) {
        onCpu(matrix.n, [&] {
            cpu::pruneWeakestLinks(matrix.cells.data(), matrix.n, std::size_t(matrix.n),
                                   lower_threshold, upper_threshold, job.pool(),
                                   job.engineProgress());
        });
    } else {
        pruneWeakestLinksOnDevice(*openDevice(job, plan.backend), matrix, lower_threshold,
                                  upper_threshold, job.engineProgress());
    }
}

// Runs the plan on the matrix seen in place: the ordered route there, the sweeps through
// sweepCells(plan), which hands them their matrix. Fills the statistics.
template <typename Sweep>
void pruneOnPlan(JobContext& job, MatrixView<float> matrix, float lower_threshold,
                 float upper_threshold, Sweep&& sweep) {
    RunStats* const stats = job.stats();
    if (stats) {
        stats->nodes = matrix.n;
        stats->edgesIn = presentCells(matrix);
    }
    const WeakestLinkPlans plans = planWeakestLink(job.options(), matrix.n);
    JobPlan plan = plans.plan;
    // A matrix with a NaN is declined untouched: its result depends on the sweeps' order.
    if (plan.route == Route::Ordered &&
        !pruneInOrder(job, matrix, lower_threshold, upper_threshold)) {
        plan = plans.ifNaN;
    }
    if (plan.route == Route::Sweeps) sweep(plan);
    if (stats) {
        stats->backend = plan.backend;
        stats->route = plan.route;
        stats->edgesOut = presentCells(matrix);
    }
}

}  // namespace

void pruneWeakestLinks(JobContext& job, WeightMatrix& matrix, float lower_threshold,
                       float upper_threshold) {
    const MatrixView<float> view{matrix.cells.data(), matrix.n, std::size_t(matrix.n)};
    pruneOnPlan(job, view, lower_threshold, upper_threshold, [&](const JobPlan& plan) {
        pruneBySweeps(job, plan, matrix, lower_threshold, upper_threshold);
    });
}

void pruneWeakestLinksInPlace(JobContext& job, MatrixView<float> matrix, float lower_threshold,
                              float upper_threshold) {
    pruneOnPlan(job, matrix, lower_threshold, upper_threshold, [&](const JobPlan& plan) {
        const auto n = static_cast<std::size_t>(matrix.n);
        WeightMatrix copy;
        copy.n = static_cast<std::int32_t>(matrix.n);
        onCpu(matrix.n, [&] { copy.cells.resize(n * n); });
        for (std::size_t i = 0; i < n; ++i) {
            std::copy(matrix.row(std::int64_t(i)), matrix.row(std::int64_t(i)) + n,
                      copy.cells.data() + i * n);
        }
        pruneBySweeps(job, plan, copy, lower_threshold, upper_threshold);
        // The last moment to stop: after this the caller's cells change.
        checkCancelled();
        for (std::size_t i = 0; i < n; ++i) {
            std::copy(copy.cells.data() + i * n, copy.cells.data() + (i + 1) * n,
                      matrix.row(std::int64_t(i)));
        }
    });
}

}  // namespace fwprune
