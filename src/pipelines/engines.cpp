// Which engine runs a job: the GPU when one is usable, else the native CPU engine; the stand-in
// (the GPU kernels' own source on the CPU) only when asked for.
#include <algorithm>

#include "common/cancel.h"
#include "common/error.h"
#include "cpu/cpu_engine.h"
#include "pipelines/pipelines.h"

namespace fwprune {
namespace {

std::unique_ptr<DeviceRuntime> openDevice(Backend backend, int threads) {
    if (backend == Backend::Emulated) return openEmulatedRuntime(threads);
    std::unique_ptr<DeviceRuntime> runtime = openCudaRuntime();
    if (!runtime) fail(Status::Device, "no usable CUDA device (no driver, or no GPU)");
    return runtime;
}

// The CPU engine's scratch memory is the one allocation it makes; running short of it is an
// out-of-memory error like any other.
template <typename Job>
void onCpu(std::int64_t n, Job&& job) {
    reportingOutOfMemory(
        [&] {
            return "not enough memory for the CPU engine's working copy of a " + std::to_string(n) +
                   "-node matrix";
        },
        job);
}

}  // namespace

ProgressFunction sweepProgressOf(const RunOptions& options) {
    if (!options.progress) return {};
    return [&options](double fraction) { options.progress(Phase::Sweeps, fraction); };
}

Backend resolveBackend(Backend requested) {
    if (requested == Backend::Gpu && !cudaDeviceAvailable()) {
        fail(Status::Device, "the GPU backend was requested, but there is no usable CUDA device");
    }
    if (requested != Backend::Auto) return requested;
    return cudaDeviceAvailable() ? Backend::Gpu : Backend::Cpu;
}

Backend reduceTransitively(ByteAdjacencyMatrix& matrix, const RunOptions& options) {
    const Backend backend = resolveBackend(options.backend);
    if (backend == Backend::Cpu) {
        onCpu(matrix.n, [&] {
            cpu::reduceTransitively(matrix.cells.data(), matrix.n, options.threads,
                                    sweepProgressOf(options));
        });
    } else {
        reduceTransitivelyOnDevice(*openDevice(backend, options.threads), matrix,
                                   sweepProgressOf(options));
    }
    return backend;
}

namespace {

// The ordered route, on the CPU, in place; false when the matrix holds a NaN (it is then left as
// it was).
bool pruneInOrder(MatrixView<float> matrix, float lower_threshold, float upper_threshold,
                  const RunOptions& options) {
    bool done = false;
    onCpu(matrix.n, [&] {
        done = cpu::pruneWeakestLinksOrdered(matrix.data, matrix.n, matrix.rowStride,
                                             lower_threshold, upper_threshold, options.threads,
                                             sweepProgressOf(options));
    });
    return done;
}

void pruneBySweeps(WeightMatrix& matrix, float lower_threshold, float upper_threshold,
                   const WeakestLinkPlan& plan, const RunOptions& options) {
    if (plan.backend == Backend::Cpu) {
        onCpu(matrix.n, [&] {
            cpu::pruneWeakestLinks(matrix.cells.data(), matrix.n, std::size_t(matrix.n),
                                   lower_threshold, upper_threshold, options.threads,
                                   sweepProgressOf(options));
        });
    } else {
        pruneWeakestLinksOnDevice(*openDevice(plan.backend, options.threads), matrix,
                                  lower_threshold, upper_threshold, sweepProgressOf(options));
    }
}

}  // namespace

Backend pruneWeakestLinks(WeightMatrix& matrix, float lower_threshold, float upper_threshold,
                          const RunOptions& options) {
    WeakestLinkPlan plan = chooseWeakestLinkRoute(options, matrix.n, false);
    const MatrixView<float> view{matrix.cells.data(), matrix.n, std::size_t(matrix.n)};
    if (plan.route == Route::Ordered &&
        !pruneInOrder(view, lower_threshold, upper_threshold, options)) {
        plan = chooseWeakestLinkRoute(options, matrix.n, true);
    }
    if (plan.route == Route::Sweeps) {
        pruneBySweeps(matrix, lower_threshold, upper_threshold, plan, options);
    }
    if (options.stats) options.stats->route = plan.route;
    return plan.backend;
}

Backend pruneWeakestLinksInPlace(MatrixView<float> matrix, float lower_threshold,
                                 float upper_threshold, const RunOptions& options) {
    WeakestLinkPlan plan = chooseWeakestLinkRoute(options, matrix.n, false);
    if (plan.route == Route::Ordered) {
        if (pruneInOrder(matrix, lower_threshold, upper_threshold, options)) {
            if (options.stats) options.stats->route = plan.route;
            return plan.backend;
        }
        plan = chooseWeakestLinkRoute(options, matrix.n, true);
    }
    const auto n = static_cast<std::size_t>(matrix.n);
    WeightMatrix copy;
    copy.n = matrix.n;
    onCpu(matrix.n, [&] { copy.cells.resize(n * n); });
    for (std::size_t i = 0; i < n; ++i) {
        std::copy(matrix.row(std::int64_t(i)), matrix.row(std::int64_t(i)) + n,
                  copy.cells.data() + i * n);
    }
    pruneBySweeps(copy, lower_threshold, upper_threshold, plan, options);
    // The last moment to stop: after this the caller's cells change.
    checkCancelled();
    for (std::size_t i = 0; i < n; ++i) {
        std::copy(copy.cells.data() + i * n, copy.cells.data() + (i + 1) * n,
                  matrix.row(std::int64_t(i)));
    }
    if (options.stats) options.stats->route = plan.route;
    return plan.backend;
}

}  // namespace fwprune
