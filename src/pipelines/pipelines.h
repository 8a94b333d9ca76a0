// The two jobs: read a graph, run the sweeps on the chosen engine, write the result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/graphs.h"
#include "common/matrix_view.h"
#include "common/progress.h"
#include "device/runtime/device_jobs.h"
#include "graph_files/file_format.h"

namespace fwprune {

enum class Backend { Auto, Gpu, Cpu, Emulated };

enum class Phase { Read = 0, Sweeps = 1, Write = 2 };

// How a job computes its result (see fwpruneRoute in the public header). Auto is resolved by each
// job's route choice in src/pipelines/.
enum class Route { Auto = 0, Sweeps = 1, Sparse = 2, Ordered = 3 };

// What a reduction does with cycles (see fwpruneCycles in the public header).
enum class Cycles { Drop = 0, Condense = 1 };

// What a job reports about itself when asked.
struct RunStats {
    std::int64_t nodes = 0;  // the reduction's sparse route takes node numbers up to 2^31 - 1
    long long edgesIn = 0;
    long long edgesOut = 0;
    double seconds[3] = {0, 0, 0};
    Backend backend = Backend::Auto;
    Route route = Route::Auto;
};

struct RunOptions {
    Backend backend = Backend::Auto;
    int threads = 0;                              // CPU threads; 0 = resolveThreadCount's
    bool strict = false;                          // tokens must be wholly numbers
    std::function<void(Phase, double)> progress;  // may be empty
    RunStats* stats = nullptr;                    // filled in when set
    Route route = Route::Auto;
    std::function<bool()> cancelRequested;  // may be empty; polled through common/cancel.h
    Cycles cycles = Cycles::Drop;           // the reduction's
    std::string removedPath;                // where the report of removed edges goes; empty: none
    // The files' formats; Auto goes by each file's name (see resolveFormats).
    FileFormat inputFormat = FileFormat::Native;
    FileFormat outputFormat = FileFormat::Native;
    bool header = false;  // a TSV or CSV input's first record is a header line
};

// The engine a request runs on: Auto becomes Gpu when a device is usable, else Cpu. A request for
// Gpu with no usable device is a Device error.
Backend resolveBackend(Backend requested);

// The options' progress callback for the engine's phase (empty when there is none).
ProgressFunction sweepProgressOf(const RunOptions& options);

// The route of a reduction of a graph with n nodes (largest number + 1) and `edges` records, and
// the rule that picks it when asked for Auto; a route the backend cannot run is an
// InvalidArgument error.
Route chooseReductionRoute(const RunOptions& options, std::int64_t n, std::size_t edges);

// Where weakest-link pruning runs and how. The rule that picks them, and its reasons, are in
// weakest_link_route.cpp. holdsNaN tells that the matrix is known to hold a NaN (the ordered
// engine declined it), which leaves only the sweeps. A route the backend cannot run, or one of
// the other job, is an InvalidArgument error; the gpu backend without a device is a Device error.
struct WeakestLinkPlan {
    Backend backend;
    Route route;
};
WeakestLinkPlan chooseWeakestLinkRoute(const RunOptions& options, std::int64_t n, bool holdsNaN);

// The same on the engine the options choose; returns the engine that ran.
Backend reduceTransitively(ByteAdjacencyMatrix& matrix, const RunOptions& options);
Backend pruneWeakestLinks(WeightMatrix& matrix, float lower_threshold, float upper_threshold,
                          const RunOptions& options);
// pruneWeakestLinks on a matrix the caller owns, changed only when the job succeeds: the ordered
// route reads it where it lies and writes it in its last pass, which allocates nothing and is not
// cancelled; the sweeps, which write as they go, run on a copy that replaces the cells at the end.
Backend pruneWeakestLinksInPlace(MatrixView<float> matrix, float lower_threshold,
                                 float upper_threshold, const RunOptions& options);

// The reduction of a graph given as edge records, on the route the options and the graph choose:
// the surviving records, sorted and unique. Fills the statistics but for the phase times. The
// sparse route takes graph.records over, leaving it empty.
std::vector<std::uint64_t> reduceEdgeRecords(EdgeRecords& graph, const RunOptions& options,
                                             const std::string& source = "the edge arrays");

// The formats a reduction reads and writes: each as asked, or by the file's name; an output whose
// name tells no format of its own takes a labelled input's format, since native text has no
// labels. A combination no writer serves is an InvalidArgument error.
struct ReductionFormats {
    FileFormat input;
    FileFormat output;
};
ReductionFormats resolveReductionFormats(const RunOptions& options, const std::string& inputPath,
                                         const std::string& outputPath);

// A reduction whose input or output is labelled (TSV, CSV, DOT): labels numbered as read, the
// records reduced as any others, the survivors written with their labels.
void runLabelledReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                  const RunOptions& options, ReductionFormats formats);

// File to file. Outputs are written whole or not at all; the input is read completely before any
// output is opened, so an output may name the input.
void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options);
void runWeakestLinkPipeline(const std::string& inputPath, const std::string& edgeListPath,
                            const std::string& matrixPath, float lower_threshold,
                            float upper_threshold, const RunOptions& options);

}  // namespace fwprune
