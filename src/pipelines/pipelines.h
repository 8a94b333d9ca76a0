// The jobs: read a graph (or take the caller's), compute the result on the route and backend the
// job's plan chooses, write it (or hand it back).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/graphs.h"
#include "common/matrix_view.h"
#include "graph_files/file_format.h"

namespace fwprune {

enum class Backend { Auto, Gpu, Cpu, Emulated };

// A job's phases: reading its input, computing its result (on whatever route), writing it.
enum class Phase { Read = 0, Compute = 1, Write = 2 };

// How a job computes its result (see fwpruneRoute in the public header). Auto is resolved by each
// job's plan.
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

// Where a job runs, how, and on how many CPU threads: decided once per job, from the options and
// the input, by the rules in reduction_route.cpp and weakest_link_route.cpp. backend is never
// Auto and route never Auto.
struct JobPlan {
    Backend backend = Backend::Cpu;
    Route route = Route::Sweeps;
    int threads = 1;
};

// Whether a device is usable for the Auto backend; the GPU backend without one is a Device error.
Backend resolveBackend(Backend requested);

// The plan of a reduction of a graph with n nodes (largest number + 1) and `edges` records, read
// from `source`. A route the backend cannot run, or one of the other job, is an InvalidArgument
// error; a graph the sweeps cannot hold (n past FWPRUNE_MAX_DENSE_NODES) a TooLarge error naming
// the source.
JobPlan planReduction(const RunOptions& options, std::int64_t n, std::size_t edges,
                      const std::string& source);

// The plans of weakest-link pruning of an n-node matrix, made together: `plan` for the matrix,
// and `ifNaN` for when the ordered engine finds a NaN in it and declines (only the sweeps remain
// then). Errors as for planReduction; the gpu backend without a device is a Device error.
struct WeakestLinkPlans {
    JobPlan plan;
    JobPlan ifNaN;
};
WeakestLinkPlans planWeakestLink(const RunOptions& options, std::int64_t n);

// The formats a reduction reads and writes: each as asked, or by the file's name; an output whose
// name tells no format of its own takes a labelled input's format, since native text has no
// labels. A combination no writer serves is an InvalidArgument error.
struct ReductionFormats {
    FileFormat input;
    FileFormat output;
};
ReductionFormats resolveReductionFormats(const RunOptions& options, const std::string& inputPath,
                                         const std::string& outputPath);

// File to file. Outputs are written whole or not at all; the input is read completely before any
// output is opened, so an output may name the input.
void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options);
void runWeakestLinkPipeline(const std::string& inputPath, const std::string& edgeListPath,
                            const std::string& matrixPath, float lower_threshold,
                            float upper_threshold, const RunOptions& options);

// In memory, on the caller's arrays, which change only when the job succeeds. The adjacency
// matrix's non-zero cells are its edges; on return its cells are 1 for the surviving edges and 0
// elsewhere. The edge arrays' surviving edges (sorted) go to outSources/outTargets (room for
// `count` edges; they may be the inputs), and their number to *outCount.
void reduceAdjacencyMatrix(MatrixView<unsigned char> matrix, const RunOptions& options);
void reduceEdgeArrays(const int* sources, const int* targets, std::size_t count, int* outSources,
                      int* outTargets, std::size_t* outCount, const RunOptions& options);
void pruneWeightMatrix(MatrixView<float> matrix, float lower_threshold, float upper_threshold,
                       const RunOptions& options);

}  // namespace fwprune
