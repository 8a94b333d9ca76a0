// The exported C surface: every call catches whatever the C++ inside throws and turns it into a
// status and the calling thread's last error message. No exception crosses this boundary.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/float_mode.h"
#include "common/progress.h"
#include "fwprune.h"
#include "graph_files/file_io.h"
#include "pipelines/pipelines.h"

namespace fwprune {
namespace {

// The calling thread's last error: its message, and for a failed system call the file and errno.
struct LastError {
    std::string message;
    std::string path;
    int systemError = 0;
    void clear() {
        message.clear();
        path.clear();
        systemError = 0;
    }
};

LastError& lastError() {
    static thread_local LastError error;
    return error;
}

std::string& lastErrorMessage() {
    return lastError().message;
}

// Every entry point: the caller's floating-point mode is set aside for the call (see
// common/float_mode.h), and whatever is thrown becomes a status.
template <typename Body>
fwpruneStatus asStatus(Body&& body) noexcept {
    const IeeeFloatingPoint ieee;
    try {
        lastError().clear();
        body();
        return FWPRUNE_OK;
    } catch (const Error& error) {
        lastError().message = error.what();
        lastError().path = error.path();
        lastError().systemError = error.systemError();
        return static_cast<fwpruneStatus>(error.status());
    } catch (const std::bad_alloc&) {
        lastErrorMessage() = "out of memory";
        return FWPRUNE_ERROR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        lastErrorMessage() = std::string("internal error: ") + error.what();
        return FWPRUNE_ERROR_INTERNAL;
    } catch (...) {
        lastErrorMessage() = "internal error";
        return FWPRUNE_ERROR_INTERNAL;
    }
}

const char* requirePath(const char* path, const char* role) {
    if (path == nullptr)
        fail(Status::InvalidArgument, std::string("the ") + role + " path is null");
    if (*path == '\0') fail(Status::InvalidArgument, std::string("the ") + role + " path is empty");
    return path;
}

// The caller's options, checked; toRunOptions then resolves the thread count.
void readOptions(const fwpruneOptions* options, RunOptions& run) {
    if (options == nullptr) return;
    // Read only the fields the caller's version of the struct has.
    const std::size_t size = options->structSize;
    if (size < sizeof(size_t))
        fail(Status::InvalidArgument, "options.structSize is not set; call fwpruneInitOptions");
    if (size >= offsetof(fwpruneOptions, backend) + sizeof(options->backend)) {
        // Read as an int: a C caller may pass any value, and loading one outside the enum's
        // range through the enum type is undefined in C++.
        static_assert(sizeof(fwpruneBackend) == sizeof(int), "the enum is stored as an int");
        int backend = 0;
        std::memcpy(&backend, &options->backend, sizeof backend);
        switch (backend) {
            case FWPRUNE_BACKEND_AUTO:
                run.backend = Backend::Auto;
                break;
            case FWPRUNE_BACKEND_GPU:
                run.backend = Backend::Gpu;
                break;
            case FWPRUNE_BACKEND_CPU:
                run.backend = Backend::Cpu;
                break;
            case FWPRUNE_BACKEND_EMULATED:
                run.backend = Backend::Emulated;
                break;
            default:
                fail(Status::InvalidArgument, "unknown backend " + std::to_string(backend));
        }
    }
    if (size >= offsetof(fwpruneOptions, threads) + sizeof(options->threads)) {
        run.threads = options->threads;
    }
    if (size >= offsetof(fwpruneOptions, strict) + sizeof(options->strict)) {
        run.strict = options->strict != 0;
    }
    if (size >= offsetof(fwpruneOptions, progressUserData) + sizeof(options->progressUserData) &&
        options->progress != nullptr) {
        const fwpruneProgressCallback callback = options->progress;
        void* const userData = options->progressUserData;
        const auto throttle = std::make_shared<ProgressThrottle>();
        run.progress = [callback, userData, throttle](Phase phase, double fraction) {
            if (throttle->due(static_cast<int>(phase), fraction)) {
                callback(userData, static_cast<fwprunePhase>(phase), fraction);
            }
        };
    }
    if (size >= offsetof(fwpruneOptions, route) + sizeof(options->route)) {
        int route = 0;
        std::memcpy(&route, &options->route, sizeof route);
        if (route < FWPRUNE_ROUTE_AUTO || route > FWPRUNE_ROUTE_ORDERED)
            fail(Status::InvalidArgument, "unknown route " + std::to_string(route));
        run.route = static_cast<Route>(route);
    }
    const auto readFormat = [&](const fwpruneFileFormat& field, const char* which) {
        int format = 0;
        std::memcpy(&format, &field, sizeof format);
        if (format < FWPRUNE_FORMAT_AUTO || format > FWPRUNE_FORMAT_NPY)
            fail(Status::InvalidArgument,
                 std::string("unknown ") + which + " format " + std::to_string(format));
        return static_cast<FileFormat>(format);
    };
    if (size >= offsetof(fwpruneOptions, inputFormat) + sizeof(options->inputFormat)) {
        run.inputFormat = readFormat(options->inputFormat, "input");
    }
    if (size >= offsetof(fwpruneOptions, outputFormat) + sizeof(options->outputFormat)) {
        run.outputFormat = readFormat(options->outputFormat, "output");
    }
    if (size >= offsetof(fwpruneOptions, header) + sizeof(options->header)) {
        run.header = options->header != 0;
    }
    if (size >= offsetof(fwpruneOptions, cancelUserData) + sizeof(options->cancelUserData) &&
        options->cancelRequested != nullptr) {
        const fwpruneCancelCallback callback = options->cancelRequested;
        void* const userData = options->cancelUserData;
        run.cancelRequested = [callback, userData] { return callback(userData) != 0; };
    }
    if (size >= offsetof(fwpruneOptions, cycles) + sizeof(options->cycles)) {
        int cycles = 0;
        std::memcpy(&cycles, &options->cycles, sizeof cycles);
        if (cycles != FWPRUNE_CYCLES_DROP && cycles != FWPRUNE_CYCLES_CONDENSE)
            fail(Status::InvalidArgument, "unknown cycles mode " + std::to_string(cycles));
        run.cycles = static_cast<Cycles>(cycles);
    }
    if (size >= offsetof(fwpruneOptions, removedPath) + sizeof(options->removedPath) &&
        options->removedPath != nullptr) {
        run.removedPath = requirePath(options->removedPath, "removed-edges report");
    }
}

RunOptions toRunOptions(const fwpruneOptions* options) {
    RunOptions run;
    readOptions(options, run);
    return run;
}

// Whether the caller's struct, of `size` bytes, reaches past a field at `offset` of `width` bytes.
constexpr bool reaches(std::size_t size, std::size_t offset, std::size_t width) {
    return size >= offset + width;
}

fwpruneRunStats* statsOf(const fwpruneOptions* options) {
    if (options == nullptr ||
        !reaches(options->structSize, offsetof(fwpruneOptions, stats), sizeof options->stats)) {
        return nullptr;
    }
    return options->stats;
}

// The size of the caller's statistics struct: its own when the caller gives it, else the one
// that came with the caller's options struct (a route field in both arrived together).
std::size_t statsSizeOf(const fwpruneOptions& options) {
    if (reaches(options.structSize, offsetof(fwpruneOptions, statsSize),
                sizeof options.statsSize) &&
        options.statsSize != 0) {
        return options.statsSize;
    }
    if (reaches(options.structSize, offsetof(fwpruneOptions, route), sizeof options.route)) {
        return offsetof(fwpruneRunStats, nodeCount) + sizeof(fwpruneRunStats::nodeCount);
    }
    return offsetof(fwpruneRunStats, backend) + sizeof(fwpruneRunStats::backend);
}

fwpruneBackend toPublic(Backend backend) {
    switch (backend) {
        case Backend::Gpu:
            return FWPRUNE_BACKEND_GPU;
        case Backend::Cpu:
            return FWPRUNE_BACKEND_CPU;
        case Backend::Emulated:
            return FWPRUNE_BACKEND_EMULATED;
        case Backend::Auto:
            break;
    }
    return FWPRUNE_BACKEND_AUTO;
}

// Runs a job with the caller's options, and hands the statistics back when asked for.
template <typename Job>
void runWithOptions(const fwpruneOptions* options, Job&& job) {
    RunOptions run = toRunOptions(options);
    RunStats stats;
    fwpruneRunStats* const out = statsOf(options);
    if (out) run.stats = &stats;
    job(run);
    if (out == nullptr) return;
    // Each field is written only when it lies within the caller's struct.
    const std::size_t size = statsSizeOf(*options);
    const auto within = [size](std::size_t offset, std::size_t width) {
        return reaches(size, offset, width);
    };
    if (within(offsetof(fwpruneRunStats, nodes), sizeof out->nodes))
        out->nodes = static_cast<int>(std::min<std::int64_t>(stats.nodes, INT_MAX));
    if (within(offsetof(fwpruneRunStats, edgesIn), sizeof out->edgesIn))
        out->edgesIn = stats.edgesIn;
    if (within(offsetof(fwpruneRunStats, edgesOut), sizeof out->edgesOut))
        out->edgesOut = stats.edgesOut;
    if (within(offsetof(fwpruneRunStats, seconds), sizeof out->seconds))
        for (int p = 0; p < 3; ++p) out->seconds[p] = stats.seconds[p];
    if (within(offsetof(fwpruneRunStats, backend), sizeof out->backend))
        out->backend = toPublic(stats.backend);
    if (within(offsetof(fwpruneRunStats, route), sizeof out->route))
        out->route = static_cast<fwpruneRoute>(stats.route);
    if (within(offsetof(fwpruneRunStats, nodeCount), sizeof out->nodeCount))
        out->nodeCount = stats.nodes;
}

void checkMatrixArguments(const void* cells, int n, std::size_t rowStride) {
    if (n < 0) fail(Status::InvalidArgument, "n is negative (" + std::to_string(n) + ")");
    if (n > FWPRUNE_MAX_DENSE_NODES) {
        fail(Status::TooLarge, std::to_string(n) + " nodes exceed the limit of " +
                                   std::to_string(FWPRUNE_MAX_DENSE_NODES) +
                                   " (n*n cells must fit 32 bits)");
    }
    if (n > 0 && cells == nullptr) fail(Status::InvalidArgument, "the matrix pointer is null");
    if (rowStride < static_cast<std::size_t>(n)) {
        fail(Status::InvalidArgument, "row stride " + std::to_string(rowStride) +
                                          " is smaller than n (" + std::to_string(n) + ")");
    }
}

}  // namespace
}  // namespace fwprune

using fwprune::asStatus;

extern "C" {

void fwpruneInitOptions(fwpruneOptions* options) {
    if (options == nullptr) return;
    *options = fwpruneOptions{};
    options->structSize = sizeof(fwpruneOptions);
    options->backend = FWPRUNE_BACKEND_AUTO;
    options->threads = 0;
    options->inputFormat = FWPRUNE_FORMAT_AUTO;
    options->outputFormat = FWPRUNE_FORMAT_AUTO;
}

fwpruneStatus fwpruneRunTransitiveReductionChecked(const char* inputPath, const char* outputPath,
                                                   const fwpruneOptions* options) {
    return asStatus([&] {
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::runTransitiveReductionPipeline(fwprune::requirePath(inputPath, "input"),
                                                    fwprune::requirePath(outputPath, "output"),
                                                    run);
        });
    });
}

fwpruneStatus fwpruneRunWeakestLinkReductionChecked(const char* inputPath, const char* edgeListPath,
                                                    const char* matrixPath, float lower_threshold,
                                                    float upper_threshold,
                                                    const fwpruneOptions* options) {
    return asStatus([&] {
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::runWeakestLinkPipeline(fwprune::requirePath(inputPath, "input"),
                                            fwprune::requirePath(edgeListPath, "edge list"),
                                            fwprune::requirePath(matrixPath, "matrix"),
                                            lower_threshold, upper_threshold, run);
        });
    });
}

fwpruneStatus fwpruneReduceAdjacencyMatrix(unsigned char* adjacency, int n, size_t rowStride,
                                           const fwpruneOptions* options) {
    return asStatus([&] {
        fwprune::checkMatrixArguments(adjacency, n, rowStride);
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::reduceAdjacencyMatrix({adjacency, n, rowStride}, run);
        });
    });
}

fwpruneStatus fwpruneReduceEdgeArrays(const int* sources, const int* targets, size_t m,
                                      int* outSources, int* outTargets, size_t* outCount,
                                      const fwpruneOptions* options) {
    return asStatus([&] {
        if (m > 0 && (sources == nullptr || targets == nullptr))
            fail(fwprune::Status::InvalidArgument, "the source or target array is null");
        if (outCount == nullptr || (m > 0 && (outSources == nullptr || outTargets == nullptr)))
            fail(fwprune::Status::InvalidArgument, "an output array or the count is null");
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::reduceEdgeArrays(sources, targets, m, outSources, outTargets, outCount, run);
        });
    });
}

fwpruneStatus fwprunePruneWeightMatrix(float* weights, int n, size_t rowStride,
                                       float lower_threshold, float upper_threshold,
                                       const fwpruneOptions* options) {
    return asStatus([&] {
        fwprune::checkMatrixArguments(weights, n, rowStride);
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::pruneWeightMatrix({weights, n, rowStride}, lower_threshold, upper_threshold,
                                       run);
        });
    });
}

fwpruneStatus runTransitiveReductionChecked(const char* inputPath, const char* outputPath,
                                            const fwpruneOptions* options) {
    return fwpruneRunTransitiveReductionChecked(inputPath, outputPath, options);
}

fwpruneStatus runWeakestLinkReductionChecked(const char* inputPath, const char* edgeListPath,
                                             const char* matrixPath, float lower_threshold,
                                             float upper_threshold, const fwpruneOptions* options) {
    return fwpruneRunWeakestLinkReductionChecked(inputPath, edgeListPath, matrixPath,
                                                 lower_threshold, upper_threshold, options);
}

void runTransitiveReduction(const char* inputPath, const char* outputPath) {
    fwpruneRunTransitiveReductionChecked(inputPath, outputPath, nullptr);
}

void runWeakestLinkReduction(const char* inputPath, const char* edgeListPath,
                             const char* matrixPath, float lower_threshold, float upper_threshold) {
    fwpruneRunWeakestLinkReductionChecked(inputPath, edgeListPath, matrixPath, lower_threshold,
                                          upper_threshold, nullptr);
}

void fwpruneRemoveTemporaryFiles(void) {
    fwprune::removeTemporaryFiles();
}

const char* fwpruneGetLastErrorMessage(void) {
    return fwprune::lastErrorMessage().c_str();
}

int fwpruneGetLastErrorNumber(void) {
    return fwprune::lastError().systemError;
}

const char* fwpruneGetLastErrorPath(void) {
    return fwprune::lastError().path.c_str();
}

const char* fwpruneGetStatusName(fwpruneStatus status) {
    switch (status) {
        case FWPRUNE_OK:
            return "FWPRUNE_OK";
        case FWPRUNE_ERROR_INVALID_ARGUMENT:
            return "FWPRUNE_ERROR_INVALID_ARGUMENT";
        case FWPRUNE_ERROR_IO:
            return "FWPRUNE_ERROR_IO";
        case FWPRUNE_ERROR_FORMAT:
            return "FWPRUNE_ERROR_FORMAT";
        case FWPRUNE_ERROR_TOO_LARGE:
            return "FWPRUNE_ERROR_TOO_LARGE";
        case FWPRUNE_ERROR_OUT_OF_MEMORY:
            return "FWPRUNE_ERROR_OUT_OF_MEMORY";
        case FWPRUNE_ERROR_DEVICE:
            return "FWPRUNE_ERROR_DEVICE";
        case FWPRUNE_ERROR_INTERNAL:
            return "FWPRUNE_ERROR_INTERNAL";
        case FWPRUNE_ERROR_CANCELLED:
            return "FWPRUNE_ERROR_CANCELLED";
    }
    return "FWPRUNE_UNKNOWN_STATUS";
}

const char* fwpruneGetVersion(void) {
    return FWPRUNE_VERSION_STRING;
}

int fwpruneGetVersionNumber(void) {
    return FWPRUNE_VERSION_NUMBER;
}

fwpruneBackend fwpruneGetDefaultBackend(void) {
    return fwprune::toPublic(fwprune::resolveBackend(fwprune::Backend::Auto));
}

}  // extern "C"

#if defined(_WIN32)
#include <windows.h>
// Loading registers the device code (done by the code nvcc generates) and nothing else; the
// library needs no per-thread notifications.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
