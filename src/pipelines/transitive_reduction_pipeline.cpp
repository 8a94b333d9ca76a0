#include <algorithm>
#include <cstring>

#include "common/cancel.h"
#include "common/edge_record.h"
#include "common/error.h"
#include "cpu/cpu_engine.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "pipelines/phase_timer.h"
#include "pipelines/pipelines.h"
#include "pipelines/reduction_cycles.h"

namespace fwprune {

namespace {

// The edges left in a reduced matrix, as sorted records.
std::vector<std::uint64_t> recordsOf(const ByteAdjacencyMatrix& matrix) {
    std::vector<std::uint64_t> records;
    const std::size_t n = static_cast<std::size_t>(matrix.n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* const row = matrix.cells.data() + i * n;
        std::size_t j = 0;
        for (; j < n; ++j) {
            // Reduced rows are mostly empty: skip them a word at a time.
            if (j + 8 <= n) {
                std::uint64_t word;
                std::memcpy(&word, row + j, 8);
                if (word == 0) {
                    j += 7;
                    continue;
                }
            }
            if (row[j] != CELL_EMPTY)
                records.push_back(
                    EdgeRecord::pack(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)));
        }
    }
    return records;
}

}  // namespace

std::vector<std::uint64_t> reduceEdgeRecords(EdgeRecords& graph, const RunOptions& options,
                                             const std::string& source) {
    const Route route = chooseReductionRoute(options, graph.n, graph.records.size());
    if (options.stats) {
        options.stats->nodes = graph.n;
        options.stats->route = route;
    }
    // Both edge-record engines run on the CPU; a short allocation names the file and what it was
    // for.
    const auto onEdgeRecords = [&](auto&& reduce, const std::string& forWhat) {
        cpu::ReducedEdges reduced = reportingOutOfMemory(
            [&] { return describeAt(source, "not enough memory for " + forWhat); }, reduce);
        if (options.stats) {
            options.stats->backend = Backend::Cpu;
            options.stats->edgesIn = static_cast<long long>(reduced.distinct);
            options.stats->edgesOut = static_cast<long long>(reduced.kept.size());
        }
        return std::move(reduced.kept);
    };
    if (route == Route::Sparse) {
        return onEdgeRecords(
            [&] {
                // The records become the route's own memory.
                return cpu::reduceEdgeRecords(std::move(graph.records), sweepProgressOf(options));
            },
            "the sparse reduction of " + std::to_string(graph.records.size()) + " edges");
    }
    if (resolveBackend(options.backend) == Backend::Cpu) {
        // The CPU engine works on bits: the records go straight into them, and the byte matrix
        // the device needs is never built.
        checkDenseGraph(graph, source);
        return onEdgeRecords(
            [&] {
                return cpu::reduceEdgeRecordsOnBits(graph.records, graph.n, options.threads,
                                                    sweepProgressOf(options));
            },
            "the CPU engine's bit matrix of " + std::to_string(graph.n) + " nodes");
    }
    ByteAdjacencyMatrix matrix = adjacencyMatrixOf(graph, source);
    std::vector<std::uint64_t>().swap(graph.records);
    if (options.stats) {
        options.stats->edgesIn = static_cast<long long>(
            matrix.cells.size() - std::count(matrix.cells.begin(), matrix.cells.end(), CELL_EMPTY));
    }
    const Backend backend = reduceTransitively(matrix, options);
    std::vector<std::uint64_t> kept = recordsOf(matrix);
    if (options.stats) {
        options.stats->backend = backend;
        options.stats->edgesOut = static_cast<long long>(kept.size());
    }
    return kept;
}

void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options) {
    const ReleaseReadersOnFailure release({outputPath, options.removedPath});
    const ReductionFormats formats = resolveReductionFormats(options, inputPath, outputPath);
    if (formats.input != FileFormat::Native || formats.output != FileFormat::Native) {
        runLabelledReductionPipeline(inputPath, outputPath, options, formats);
        return;
    }
    // The caller may cancel between phases (and, more often, inside them).
    checkCancelled();
    PhaseTimer reading(options, Phase::Read);
    EdgeRecords graph = readEdgeRecords(inputPath, options.strict, options.threads,
                                        kEdgeListPieceBytes, reading.progress());
    reading.done();
    checkCancelled();
    PhaseTimer sweeps(options, Phase::Sweeps);
    std::vector<RemovedEdge> removed;
    const std::vector<std::uint64_t> kept = reduceEdgeRecordsWithCycles(
        graph, options, inputPath, options.removedPath.empty() ? nullptr : &removed);
    sweeps.done();
    checkCancelled();
    std::vector<std::uint64_t>().swap(graph.records);
    PhaseTimer writing(options, Phase::Write);
    if (options.removedPath.empty()) {
        writeSortedEdges(kept, outputPath, options.threads, writing.progress());
    } else {
        // Both files or neither; when both name one file, it ends holding the reduced graph.
        OutputFile report(options.removedPath);
        OutputFile output(outputPath);
        const double share = double(removed.size()) / double(removed.size() + kept.size() + 1);
        writeRemovedEdges(removed, report, options.threads,
                          progressPart(writing.progress(), 0, share));
        writeSortedEdges(kept, output, options.threads, progressPart(writing.progress(), share, 1));
        commitTogether(report, output);
    }
    writing.done();
}

}  // namespace fwprune
