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

// Whether a caller's struct of `size` bytes holds the member: fields are only ever appended, so
// a struct from an earlier version of the header ends before the fields it does not know of.
template <typename Struct, typename Field>
bool holds(const Struct& object, std::size_t size, Field Struct::*member) {
    const auto* const base = reinterpret_cast<const unsigned char*>(&object);
    const auto* const field = reinterpret_cast<const unsigned char*>(&(object.*member));
    return size >= static_cast<std::size_t>(field - base) + sizeof(Field);
}

template <typename Field>
bool has(const fwpruneOptions& options, Field fwpruneOptions::*member) {
    return holds(options, options.structSize, member);
}

// An enum field read as the int the C caller stored (loading a value outside the enum's range
// through the enum type is undefined in C++), checked to lie from first to last. The inside's
// enum numbers its values as the header does.
template <typename Inside, typename Field>
Inside readEnum(const Field& field, int first, int last, const std::string& what) {
    static_assert(sizeof(Field) == sizeof(int), "the enum is stored as an int");
    int value = 0;
    std::memcpy(&value, &field, sizeof value);
    if (value < first || value > last)
        fail(Status::InvalidArgument, "unknown " + what + " " + std::to_string(value));
    return static_cast<Inside>(value);
}

static_assert(int(Backend::Auto) == FWPRUNE_BACKEND_AUTO &&
                  int(Backend::Gpu) == FWPRUNE_BACKEND_GPU &&
                  int(Backend::Cpu) == FWPRUNE_BACKEND_CPU &&
                  int(Backend::Emulated) == FWPRUNE_BACKEND_EMULATED,
              "backends are numbered as in the header");
static_assert(int(Route::Auto) == FWPRUNE_ROUTE_AUTO &&
                  int(Route::Sweeps) == FWPRUNE_ROUTE_SWEEPS &&
                  int(Route::Sparse) == FWPRUNE_ROUTE_SPARSE &&
                  int(Route::Ordered) == FWPRUNE_ROUTE_ORDERED,
              "routes are numbered as in the header");
static_assert(int(Cycles::Drop) == FWPRUNE_CYCLES_DROP &&
                  int(Cycles::Condense) == FWPRUNE_CYCLES_CONDENSE,
              "cycle modes are numbered as in the header");

// Each version of the options struct has its own size only while no field hides in tail padding.
static_assert(offsetof(fwpruneOptions, statsSize) + sizeof(size_t) == sizeof(fwpruneOptions),
              "a field appended to fwpruneOptions must make it grow (add a reserved field where "
              "it would fit the tail padding) and become the field this check names");

// The caller's options, checked; toRunOptions then resolves the thread count.
void readOptions(const fwpruneOptions* options, RunOptions& run) {
    if (options == nullptr) return;
    // Read only the fields the caller's version of the struct has.
    if (options->structSize < sizeof(size_t))
        fail(Status::InvalidArgument, "options.structSize is not set; call fwpruneInitOptions");
    const fwpruneOptions& given = *options;
    if (has(given, &fwpruneOptions::backend)) {
        run.backend = readEnum<Backend>(given.backend, FWPRUNE_BACKEND_AUTO,
                                        FWPRUNE_BACKEND_EMULATED, "backend");
    }
    if (has(given, &fwpruneOptions::threads)) run.threads = given.threads;
    if (has(given, &fwpruneOptions::strict)) run.strict = given.strict != 0;
    if (has(given, &fwpruneOptions::progressUserData) && given.progress != nullptr) {
        const fwpruneProgressCallback callback = given.progress;
        void* const userData = given.progressUserData;
        const auto throttle = std::make_shared<ProgressThrottle>();
        run.progress = [callback, userData, throttle](Phase phase, double fraction) {
            if (throttle->due(static_cast<int>(phase), fraction)) {
                callback(userData, static_cast<fwprunePhase>(phase), fraction);
            }
        };
    }
    if (has(given, &fwpruneOptions::route)) {
        run.route =
            readEnum<Route>(given.route, FWPRUNE_ROUTE_AUTO, FWPRUNE_ROUTE_ORDERED, "route");
    }
    if (has(given, &fwpruneOptions::inputFormat)) {
        run.inputFormat = readEnum<FileFormat>(given.inputFormat, FWPRUNE_FORMAT_AUTO,
                                               FWPRUNE_FORMAT_NPY, "input format");
    }
    if (has(given, &fwpruneOptions::outputFormat)) {
        run.outputFormat = readEnum<FileFormat>(given.outputFormat, FWPRUNE_FORMAT_AUTO,
                                                FWPRUNE_FORMAT_NPY, "output format");
    }
    if (has(given, &fwpruneOptions::header)) run.header = given.header != 0;
    if (has(given, &fwpruneOptions::cancelUserData) && given.cancelRequested != nullptr) {
        const fwpruneCancelCallback callback = given.cancelRequested;
        void* const userData = given.cancelUserData;
        run.cancelRequested = [callback, userData] { return callback(userData) != 0; };
    }
    if (has(given, &fwpruneOptions::cycles)) {
        run.cycles = readEnum<Cycles>(given.cycles, FWPRUNE_CYCLES_DROP, FWPRUNE_CYCLES_CONDENSE,
                                      "cycles mode");
    }
    if (has(given, &fwpruneOptions::removedPath) && given.removedPath != nullptr) {
        run.removedPath = requirePath(given.removedPath, "removed-edges report");
    }
}

RunOptions toRunOptions(const fwpruneOptions* options) {
    RunOptions run;
    readOptions(options, run);
    return run;
}

fwpruneRunStats* statsOf(const fwpruneOptions* options) {
    if (options == nullptr || !has(*options, &fwpruneOptions::stats)) return nullptr;
    return options->stats;
}

// The size of the caller's statistics struct: its own when the caller gives it, else the one
// that came with the caller's options struct (a route field in both arrived together).
std::size_t statsSizeOf(const fwpruneOptions& options) {
    if (has(options, &fwpruneOptions::statsSize) && options.statsSize != 0)
        return options.statsSize;
    if (has(options, &fwpruneOptions::route)) {
        return offsetof(fwpruneRunStats, nodeCount) + sizeof(fwpruneRunStats::nodeCount);
    }
    return offsetof(fwpruneRunStats, backend) + sizeof(fwpruneRunStats::backend);
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
    const auto within = [&](auto fwpruneRunStats::*member) { return holds(*out, size, member); };
    if (within(&fwpruneRunStats::nodes))
        out->nodes = static_cast<int>(std::min<std::int64_t>(stats.nodes, INT_MAX));
    if (within(&fwpruneRunStats::edgesIn)) out->edgesIn = stats.edgesIn;
    if (within(&fwpruneRunStats::edgesOut)) out->edgesOut = stats.edgesOut;
    if (within(&fwpruneRunStats::seconds))
        for (int p = 0; p < 3; ++p) out->seconds[p] = stats.seconds[p];
    if (within(&fwpruneRunStats::backend))
        out->backend = static_cast<fwpruneBackend>(stats.backend);
    if (within(&fwpruneRunStats::route)) out->route = static_cast<fwpruneRoute>(stats.route);
    if (within(&fwpruneRunStats::nodeCount)) out->nodeCount = stats.nodes;
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

void fwpruneInitOptionsSized(fwpruneOptions* options, size_t size) {
    if (options == nullptr || size < sizeof(size_t)) return;
    fwpruneOptions defaults{};
    defaults.backend = FWPRUNE_BACKEND_AUTO;
    defaults.threads = 0;
    defaults.inputFormat = FWPRUNE_FORMAT_AUTO;
    defaults.outputFormat = FWPRUNE_FORMAT_AUTO;
    // Fields of a newer caller's struct that this library does not know are zero, their default.
    auto* const bytes = reinterpret_cast<unsigned char*>(options);
    std::memset(bytes, 0, size);
    std::memcpy(bytes, &defaults, std::min(size, sizeof defaults));
    options->structSize = size;
}

// The parentheses keep the header's macro of the same name from expanding here.
void(fwpruneInitOptions)(fwpruneOptions* options) {
    fwpruneInitOptionsSized(options, sizeof(fwpruneOptions));
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
    return static_cast<fwpruneBackend>(fwprune::resolveBackend(fwprune::Backend::Auto));
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
