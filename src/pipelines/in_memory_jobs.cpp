// The jobs on the caller's arrays. Each works on a packed copy, so the caller's memory is written
// only once the job has succeeded (and may then serve as the output).
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/cancel.h"
#include "common/edge_record.h"
#include "graph_files/file_io.h"
#include "pipelines/engines.h"
#include "pipelines/job.h"
#include "pipelines/pipelines.h"
#include "pipelines/reduction_cycles.h"
#include "pipelines/removed_cells.h"

namespace fwprune {
namespace {

constexpr const char* kAdjacencySource = "the adjacency matrix";
constexpr const char* kEdgeArraysSource = "the edge arrays";

// Runs the compute phase of an in-memory job, timed and reported; the result is handed back only
// when the caller has not cancelled meanwhile.
template <typename Compute>
void runInMemory(JobContext& job, Compute&& compute) {
    PhaseTimer computing(job, Phase::Compute);
    compute();
    computing.done();
    checkCancelled();
}

}  // namespace

void reduceAdjacencyMatrix(MatrixView<unsigned char> caller, const RunOptions& options) {
    const auto n = static_cast<std::size_t>(caller.n);
    // Any non-zero byte counts as an edge whatever its value.
    ByteAdjacencyMatrix matrix;
    matrix.n = static_cast<std::int32_t>(caller.n);
    matrix.cells.resize(n * n);
    std::size_t edges = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* const row = caller.row(static_cast<std::int64_t>(i));
        for (std::size_t j = 0; j < n; ++j) {
            const bool edge = row[j] != 0;
            matrix.cells[i * n + j] = edge ? CELL_EDGE : CELL_EMPTY;
            edges += edge;
        }
    }
    JobContext job(options);
    runInMemory(job, [&] {
        const JobPlan plan = planReduction(job.options(), caller.n, edges, kAdjacencySource);
        const RunOptions& run = job.options();
        if (plan.route == Route::Sweeps && run.cycles == Cycles::Drop && run.removedPath.empty()) {
            reduceByteMatrix(job, plan, matrix);
            return;
        }
        // A sparse graph reduces faster as edge records than as the matrix, and cycles kept or
        // a report of removed edges are answered on records.
        EdgeRecords graph;
        graph.n = caller.n;
        graph.records.reserve(edges);
        for (std::size_t c = 0; c < matrix.cells.size(); ++c) {
            if (matrix.cells[c] != CELL_EMPTY) {
                graph.records.push_back(EdgeRecord::pack(static_cast<std::uint32_t>(c / n),
                                                         static_cast<std::uint32_t>(c % n)));
            }
        }
        const std::vector<std::uint64_t> kept = reduceInMemory(job, plan, graph, kAdjacencySource);
        std::fill(matrix.cells.begin(), matrix.cells.end(), CELL_EMPTY);
        for (const std::uint64_t record : kept)
            matrix.cells[EdgeRecord::source(record) * n + EdgeRecord::target(record)] = CELL_EDGE;
    });
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(caller.row(static_cast<std::int64_t>(i)), matrix.cells.data() + i * n, n);
    }
}

void reduceEdgeArrays(const int* sources, const int* targets, std::size_t count, int* outSources,
                      int* outTargets, std::size_t* outCount, const RunOptions& options) {
    EdgeRecords graph;
    std::int64_t largest = -1;
    graph.records.reserve(count);
    for (std::size_t e = 0; e < count; ++e) {
        largest = std::max<std::int64_t>(largest, std::max(sources[e], targets[e]));
        if ((sources[e] | targets[e]) >= 0) {
            graph.records.push_back(
                EdgeRecord::pack(std::uint32_t(sources[e]), std::uint32_t(targets[e])));
        }
    }
    graph.n = largest + 1;
    std::vector<std::uint64_t> kept;
    JobContext job(options);
    runInMemory(job, [&] {
        const JobPlan plan =
            planReduction(job.options(), graph.n, graph.records.size(), kEdgeArraysSource);
        kept = reduceInMemory(job, plan, graph, kEdgeArraysSource);
    });
    // Written only now, so that a failure leaves the outputs as they were, and so that the
    // outputs may be the inputs.
    for (std::size_t e = 0; e < kept.size(); ++e) {
        outSources[e] = static_cast<int>(EdgeRecord::source(kept[e]));
        outTargets[e] = static_cast<int>(EdgeRecord::target(kept[e]));
    }
    *outCount = kept.size();
}

void pruneWeightMatrix(MatrixView<float> caller, float lower_threshold, float upper_threshold,
                       const RunOptions& options) {
    JobContext job(options);
    const std::int64_t n = caller.n;
    // The report needs the matrix before and after, packed; only then is it copied.
    const bool report = !job.options().removedPath.empty();
    const auto packed = [&] {
        WeightMatrix copy{static_cast<std::int32_t>(n), std::vector<float>(std::size_t(n) * n)};
        for (std::int64_t i = 0; i < n; ++i)
            std::copy(caller.row(i), caller.row(i) + n, copy.cells.data() + i * n);
        return copy;
    };
    const WeightMatrix input = report ? packed() : WeightMatrix{};
    PhaseTimer computing(job, Phase::Compute);
    pruneWeakestLinksInPlace(job, caller, lower_threshold, upper_threshold);
    computing.done();
    if (!report) return;
    try {
        OutputFile file(job.options().removedPath);
        writeRemovedCellsReport(input.cells, packed(), upper_threshold, file, job.pool());
        file.commit();
    } catch (...) {
        // No report, no change: the caller's matrix gets its input back.
        for (std::int64_t i = 0; i < n; ++i) {
            std::copy(input.cells.data() + i * n, input.cells.data() + (i + 1) * n, caller.row(i));
        }
        throw;
    }
}

}  // namespace fwprune
