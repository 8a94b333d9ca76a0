// Which route a transitive reduction takes, and where it runs.
#include "common/error.h"
#include "fwprune.h"
#include "graph_files/node_counts.h"
#include "pipelines/pipelines.h"

namespace fwprune {

// The rule for Auto (the measurements behind it are in bench/README.md, "Route thresholds"):
// - past FWPRUNE_MAX_DENSE_NODES only the sparse route can hold the graph;
// - otherwise the sparse route wins while the graph has fewer than kDenseFromDegree edges per
//   node on average; denser graphs keep the bit matrix (on the GPU when one is usable, as
//   before), whose cost does not grow with the edges.
constexpr double kDenseFromDegree = 64;

namespace {

Route reductionRoute(const RunOptions& options, std::int64_t n, std::size_t edges) {
    if (options.route == Route::Ordered) {
        fail(Status::InvalidArgument,
             "the ordered route belongs to weakest-link pruning; a reduction takes the sweeps or "
             "the sparse route");
    }
    const bool device = options.backend == Backend::Gpu || options.backend == Backend::Emulated;
    if (device) {
        if (options.route == Route::Sparse) {
            fail(Status::InvalidArgument,
                 "the sparse route runs on the CPU; the gpu and emulated backends run the sweeps");
        }
        return Route::Sweeps;
    }
    if (options.route != Route::Auto) return options.route;
    if (n > FWPRUNE_MAX_DENSE_NODES) return Route::Sparse;
    return static_cast<double>(edges) < kDenseFromDegree * static_cast<double>(n) ? Route::Sparse
                                                                                  : Route::Sweeps;
}

}  // namespace

JobPlan planReduction(const RunOptions& options, std::int64_t n, std::size_t edges,
                      const std::string& source) {
    JobPlan plan;
    plan.threads = options.threads;
    plan.route = reductionRoute(options, n, edges);
    // The sparse route runs on the CPU; the sweeps on the device when one is usable.
    plan.backend = plan.route == Route::Sparse ? Backend::Cpu : resolveBackend(options.backend);
    // The sweeps hold n x n cells (bits on the CPU, bytes on a device).
    if (plan.route == Route::Sweeps) checkedCellCount(n, source);
    return plan;
}

}  // namespace fwprune
