// Which engine runs a job.
#include "common/error.h"
#include "pipelines/pipelines.h"

namespace fwprune {
namespace {

std::unique_ptr<DeviceRuntime> openDevice(Backend backend, int threads) {
    if (backend == Backend::Emulated) return openEmulatedRuntime(threads);
    std::unique_ptr<DeviceRuntime> runtime = openCudaRuntime();
    if (!runtime) fail(Status::Device, "no usable CUDA device (no driver, or no GPU)");
    return runtime;
}

SweepProgress sweepProgressOf(const RunOptions& options) {
    if (!options.progress) return {};
    return [&options](double fraction) { options.progress(Phase::Sweeps, fraction); };
}

}  // namespace

Backend resolveBackend(Backend requested) {
    if (requested == Backend::Gpu && !cudaDeviceAvailable()) {
        fail(Status::Device, "the GPU backend was requested, but there is no usable CUDA device");
    }
    if (requested != Backend::Auto) return requested;
    return cudaDeviceAvailable() ? Backend::Gpu : Backend::Emulated;
}

Backend reduceTransitively(ByteAdjacencyMatrix& matrix, const RunOptions& options) {
    const Backend backend = resolveBackend(options.backend);
    reduceTransitivelyOnDevice(*openDevice(backend, options.threads), matrix,
                               sweepProgressOf(options));
    return backend;
}

Backend pruneWeakestLinks(WeightMatrix& matrix, float lower_threshold, float upper_threshold,
                          const RunOptions& options) {
    const Backend backend = resolveBackend(options.backend);
    pruneWeakestLinksOnDevice(*openDevice(backend, options.threads), matrix, lower_threshold,
                              upper_threshold, sweepProgressOf(options));
    return backend;
}

}  // namespace fwprune
