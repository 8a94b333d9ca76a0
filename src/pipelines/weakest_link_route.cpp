// Which route weakest-link pruning takes, and where it runs.
#include <cstdint>

#include "common/error.h"
#include "pipelines/pipelines.h"

namespace fwprune {
namespace {

// The rule (the measurements behind it are in bench/README.md, "Route thresholds"):
// - The ordered route gives the sweeps' bytes for every matrix without NaN and costs about
//   n^2 log n (one sort of the lightest cells, one pass to write), against the sweeps' n^3. It
//   wins from kOrderedFromNodes nodes on; below that both take well under a millisecond and the
//   vectorised sweeps have less to set up. A matrix with a NaN takes the sweeps whatever was
//   asked: its result depends on the order of the sweeps (the ordered engine finds the NaN in
//   its first pass and declines, leaving the matrix untouched). The ordered route has no input
//   on which it loses to the sweeps at these sizes: its closure adds at least one bit per row OR,
//   so it is bounded by n^3 / 64 word operations.
// - With a usable GPU and the backend left to auto, the device runs only where it is predicted
//   faster than the CPU route: the device sweeps cost n launches plus 8 n^3 bytes of memory
//   traffic (each sweep reads and writes the whole matrix); the CPU costs kCpuOrderedSecondsPerCell
//   per cell on the ordered route and kCpuSweepSecondsPerUpdate per cell update (n^3) on the
//   sweeps. The device figures are those of a fast current GPU (a few microseconds per launch,
//   about 1 TB/s), so the estimate favours the device; even so the ordered route is predicted
//   faster at every n, and the device keeps NaN matrices from a few hundred nodes on.
constexpr std::int64_t kOrderedFromNodes = 128;
constexpr double kCpuOrderedSecondsPerCell = 5e-9;
constexpr double kCpuSweepSecondsPerUpdate = 1.0 / 20e9;
constexpr double kDeviceSecondsPerLaunch = 4e-6;
constexpr double kDeviceBytesPerSecond = 1e12;

double predictedDeviceSeconds(double n) {
    return n * kDeviceSecondsPerLaunch + 8 * n * n * n / kDeviceBytesPerSecond;
}

double predictedCpuSeconds(double n, Route route) {
    return route == Route::Ordered ? n * n * kCpuOrderedSecondsPerCell
                                   : n * n * n * kCpuSweepSecondsPerUpdate;
}

JobPlan planFor(const RunOptions& options, std::int64_t n, bool holdsNaN) {
    if (options.route == Route::Sparse) {
        fail(Status::InvalidArgument,
             "the sparse route belongs to the reduction; weakest-link pruning takes the sweeps or "
             "the ordered route");
    }
    const bool device = options.backend == Backend::Gpu || options.backend == Backend::Emulated;
    if (device && options.route == Route::Ordered) {
        fail(Status::InvalidArgument,
             "the ordered route runs on the CPU; the gpu and emulated backends run the sweeps");
    }
    const Backend backend = resolveBackend(options.backend);
    if (device) return {backend, Route::Sweeps, options.threads};
    Route cpuRoute = options.route;
    if (holdsNaN) {
        cpuRoute = Route::Sweeps;
    } else if (cpuRoute == Route::Auto) {
        cpuRoute = n >= kOrderedFromNodes ? Route::Ordered : Route::Sweeps;
    }
    // The ordered route, asked for and possible, runs on the CPU even when a GPU is there.
    const bool orderedAskedFor = options.route == Route::Ordered && !holdsNaN;
    if (backend == Backend::Gpu && !orderedAskedFor &&
        predictedDeviceSeconds(double(n)) < predictedCpuSeconds(double(n), cpuRoute)) {
        return {Backend::Gpu, Route::Sweeps, options.threads};
    }
    return {Backend::Cpu, cpuRoute, options.threads};
}

}  // namespace

WeakestLinkPlans planWeakestLink(const RunOptions& options, std::int64_t n) {
    return {planFor(options, n, false), planFor(options, n, true)};
}

}  // namespace fwprune
