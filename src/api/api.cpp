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

#include "common/cancel.h"
#include "common/edge_record.h"
#include "common/error.h"
#include "common/float_mode.h"
#include "common/progress.h"
#include "common/threads.h"
#include "fwprune.h"
#include "graph_files/file_io.h"
#include "pipelines/phase_timer.h"
#include "pipelines/pipelines.h"
#include "pipelines/reduction_cycles.h"
#include "pipelines/removed_cells.h"

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
fwpruneStatus guarded(Body&& body) noexcept {
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
    run.threads = resolveThreadCount(run.threads);
    return run;
}

// A caller whose options struct has a route field was built against a header whose statistics
// struct has one too.
bool statsHaveRoute(const fwpruneOptions* options) {
    return options != nullptr &&
           options->structSize >= offsetof(fwpruneOptions, route) + sizeof(options->route);
}

fwpruneRunStats* statsOf(const fwpruneOptions* options) {
    if (options == nullptr ||
        options->structSize < offsetof(fwpruneOptions, stats) + sizeof(options->stats)) {
        return nullptr;
    }
    return options->stats;
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

// Runs a job with the caller's options, and hands the statistics back when asked for. A job that
// copies its result to the caller after it returns is asked once more whether to stop; one that
// has written the caller's memory itself (inPlace) has stopped asking at its last moment.
template <typename Job>
void runWithOptions(const fwpruneOptions* options, Job&& job, bool inPlace = false) {
    RunOptions run = toRunOptions(options);
    RunStats stats;
    fwpruneRunStats* const out = statsOf(options);
    if (out) run.stats = &stats;
    const CancelScope cancel(run.cancelRequested);
    job(run);
    if (!inPlace) checkCancelled();  // the last moment: a result is copied back after this
    if (out) {
        out->nodes = static_cast<int>(std::min<std::int64_t>(stats.nodes, INT_MAX));
        out->edgesIn = stats.edgesIn;
        out->edgesOut = stats.edgesOut;
        for (int p = 0; p < 3; ++p) out->seconds[p] = stats.seconds[p];
        out->backend = toPublic(stats.backend);
        if (statsHaveRoute(options)) {
            out->route = static_cast<fwpruneRoute>(stats.route);
            out->nodeCount = stats.nodes;
        }
    }
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

using fwprune::guarded;

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

fwpruneStatus runTransitiveReductionChecked(const char* inputPath, const char* outputPath,
                                            const fwpruneOptions* options) {
    return guarded([&] {
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::runTransitiveReductionPipeline(fwprune::requirePath(inputPath, "input"),
                                                    fwprune::requirePath(outputPath, "output"),
                                                    run);
        });
    });
}

fwpruneStatus runWeakestLinkReductionChecked(const char* inputPath, const char* edgeListPath,
                                             const char* matrixPath, float lower_threshold,
                                             float upper_threshold, const fwpruneOptions* options) {
    return guarded([&] {
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
    return guarded([&] {
        fwprune::checkMatrixArguments(adjacency, n, rowStride);
        // Work on a packed copy: the caller's matrix stays untouched unless the job succeeds,
        // and any non-zero byte counts as an edge whatever its value.
        fwprune::ByteAdjacencyMatrix matrix;
        matrix.n = n;
        matrix.cells.resize(static_cast<std::size_t>(n) * n);
        std::size_t edges = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            for (std::size_t j = 0; j < static_cast<std::size_t>(n); ++j) {
                const bool edge = adjacency[i * rowStride + j] != 0;
                matrix.cells[i * n + j] = edge ? fwprune::CELL_EDGE : fwprune::CELL_EMPTY;
                edges += edge;
            }
        }
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::PhaseTimer sweeps(run, fwprune::Phase::Sweeps);
            if (fwprune::chooseReductionRoute(run, n, edges) == fwprune::Route::Sparse ||
                run.cycles != fwprune::Cycles::Drop || !run.removedPath.empty()) {
                // A sparse graph reduces faster as edge records than as the matrix.
                fwprune::EdgeRecords graph;
                graph.n = n;
                graph.records.reserve(edges);
                for (std::size_t c = 0; c < matrix.cells.size(); ++c) {
                    if (matrix.cells[c] != fwprune::CELL_EMPTY)
                        graph.records.push_back(fwprune::EdgeRecord::pack(
                            static_cast<std::uint32_t>(c / n), static_cast<std::uint32_t>(c % n)));
                }
                const std::vector<std::uint64_t> kept =
                    fwprune::reduceInMemory(graph, run, "the adjacency matrix");
                std::fill(matrix.cells.begin(), matrix.cells.end(), fwprune::CELL_EMPTY);
                for (const std::uint64_t record : kept)
                    matrix.cells[fwprune::EdgeRecord::source(record) * n +
                                 fwprune::EdgeRecord::target(record)] = fwprune::CELL_EDGE;
            } else {
                const fwprune::Backend backend = fwprune::reduceTransitively(matrix, run);
                if (run.stats) {
                    run.stats->nodes = n;
                    run.stats->backend = backend;
                    run.stats->route = fwprune::Route::Sweeps;
                    run.stats->edgesIn = static_cast<long long>(edges);
                    run.stats->edgesOut = static_cast<long long>(
                        matrix.cells.size() -
                        std::count(matrix.cells.begin(), matrix.cells.end(), fwprune::CELL_EMPTY));
                }
            }
            sweeps.done();
        });
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            std::memcpy(adjacency + i * rowStride, matrix.cells.data() + i * n,
                        static_cast<std::size_t>(n));
        }
    });
}

fwpruneStatus fwpruneReduceEdgeArrays(const int* sources, const int* targets, size_t m,
                                      int* outSources, int* outTargets, size_t* outCount,
                                      const fwpruneOptions* options) {
    return guarded([&] {
        if (m > 0 && (sources == nullptr || targets == nullptr))
            fail(fwprune::Status::InvalidArgument, "the source or target array is null");
        if (outCount == nullptr || (m > 0 && (outSources == nullptr || outTargets == nullptr)))
            fail(fwprune::Status::InvalidArgument, "an output array or the count is null");
        fwprune::EdgeRecords graph;
        std::int64_t largest = -1;
        graph.records.reserve(m);
        for (std::size_t e = 0; e < m; ++e) {
            largest = std::max<std::int64_t>(largest, std::max(sources[e], targets[e]));
            if ((sources[e] | targets[e]) >= 0) {
                graph.records.push_back(fwprune::EdgeRecord::pack(std::uint32_t(sources[e]),
                                                                  std::uint32_t(targets[e])));
            }
        }
        graph.n = largest + 1;
        std::vector<std::uint64_t> kept;
        fwprune::runWithOptions(options, [&](const fwprune::RunOptions& run) {
            fwprune::PhaseTimer sweeps(run, fwprune::Phase::Sweeps);
            kept = fwprune::reduceInMemory(graph, run, "the edge arrays");
            sweeps.done();
        });
        // Written only now, so that a failure leaves the outputs as they were, and so that the
        // outputs may be the inputs.
        for (std::size_t e = 0; e < kept.size(); ++e) {
            outSources[e] = static_cast<int>(fwprune::EdgeRecord::source(kept[e]));
            outTargets[e] = static_cast<int>(fwprune::EdgeRecord::target(kept[e]));
        }
        *outCount = kept.size();
    });
}

fwpruneStatus fwprunePruneWeightMatrix(float* weights, int n, size_t rowStride,
                                       float lower_threshold, float upper_threshold,
                                       const fwpruneOptions* options) {
    return guarded([&] {
        fwprune::checkMatrixArguments(weights, n, rowStride);
        const fwprune::MatrixView<float> matrix{weights, n, rowStride};
        const auto present = [&] {
            long long count = 0;
            for (std::int64_t i = 0; i < n; ++i) {
                count += std::count_if(matrix.row(i), matrix.row(i) + n,
                                       [](float v) { return !(v == fwprune::WEIGHT_ABSENT); });
            }
            return count;
        };
        fwprune::runWithOptions(
            options,
            [&](const fwprune::RunOptions& run) {
                if (run.stats) {
                    run.stats->nodes = n;
                    run.stats->edgesIn = present();
                }
                // The report needs the matrix before and after, packed; only then is it copied.
                const bool report = !run.removedPath.empty();
                const auto packed = [&] {
                    fwprune::WeightMatrix copy{n, std::vector<float>(std::size_t(n) * n)};
                    for (std::int64_t i = 0; i < n; ++i)
                        std::copy(matrix.row(i), matrix.row(i) + n, copy.cells.data() + i * n);
                    return copy;
                };
                const fwprune::WeightMatrix input = report ? packed() : fwprune::WeightMatrix{};
                fwprune::PhaseTimer sweeps(run, fwprune::Phase::Sweeps);
                const fwprune::Backend backend = fwprune::pruneWeakestLinksInPlace(
                    matrix, lower_threshold, upper_threshold, run);
                sweeps.done();
                if (run.stats) {
                    run.stats->backend = backend;
                    run.stats->edgesOut = present();
                }
                if (!report) return;
                try {
                    fwprune::OutputFile file(run.removedPath);
                    fwprune::writeRemovedCellsReport(input.cells, packed(), upper_threshold, file,
                                                     run.threads);
                    file.commit();
                } catch (...) {
                    // No report, no change: the caller's matrix gets its input back.
                    for (std::int64_t i = 0; i < n; ++i) {
                        std::copy(input.cells.data() + i * n, input.cells.data() + (i + 1) * n,
                                  matrix.row(i));
                    }
                    throw;
                }
            },
            true);
    });
}

void runTransitiveReduction(const char* inputPath, const char* outputPath) {
    runTransitiveReductionChecked(inputPath, outputPath, nullptr);
}

void runWeakestLinkReduction(const char* inputPath, const char* edgeListPath,
                             const char* matrixPath, float lower_threshold, float upper_threshold) {
    runWeakestLinkReductionChecked(inputPath, edgeListPath, matrixPath, lower_threshold,
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
    return fwprune::cudaDeviceAvailable() ? FWPRUNE_BACKEND_GPU : FWPRUNE_BACKEND_CPU;
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
