// The exported C surface: every call catches whatever the C++ inside throws and turns it into a
// status and the calling thread's last error message. No exception crosses this boundary.
#include <exception>
#include <new>
#include <string>

#include "common/error.h"
#include "fwprune.h"
#include "pipelines/pipelines.h"

namespace fwprune {
namespace {

std::string& lastErrorMessage() {
    static thread_local std::string message;
    return message;
}

template <typename Body>
fwpruneStatus guarded(Body&& body) noexcept {
    try {
        lastErrorMessage().clear();
        body();
        return FWPRUNE_OK;
    } catch (const Error& error) {
        lastErrorMessage() = error.what();
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
    if (path == nullptr) fail(Status::InvalidArgument, std::string("the ") + role + " path is null");
    if (*path == '\0') fail(Status::InvalidArgument, std::string("the ") + role + " path is empty");
    return path;
}

RunOptions toRunOptions(const fwpruneOptions* options) {
    RunOptions run;
    if (options == nullptr) return run;
    // Read only the fields the caller's version of the struct has.
    const std::size_t size = options->structSize;
    if (size < sizeof(size_t)) fail(Status::InvalidArgument, "options.structSize is not set; call fwpruneInitOptions");
    if (size >= offsetof(fwpruneOptions, backend) + sizeof(options->backend)) {
        switch (options->backend) {
            case FWPRUNE_BACKEND_AUTO: run.backend = Backend::Auto; break;
            case FWPRUNE_BACKEND_GPU: run.backend = Backend::Gpu; break;
            case FWPRUNE_BACKEND_CPU: run.backend = Backend::Cpu; break;
            case FWPRUNE_BACKEND_EMULATED: run.backend = Backend::Emulated; break;
            default:
                fail(Status::InvalidArgument,
                     "unknown backend " + std::to_string(static_cast<int>(options->backend)));
        }
    }
    if (size >= offsetof(fwpruneOptions, threads) + sizeof(options->threads)) {
        if (options->threads < 0) {
            fail(Status::InvalidArgument, "thread count " + std::to_string(options->threads) + " is negative");
        }
        run.threads = options->threads;
    }
    return run;
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
}

fwpruneStatus runTransitiveReductionChecked(const char* inputPath, const char* outputPath,
                                            const fwpruneOptions* options) {
    return guarded([&] {
        const fwprune::RunOptions run = fwprune::toRunOptions(options);
        fwprune::runTransitiveReductionPipeline(fwprune::requirePath(inputPath, "input"),
                                                fwprune::requirePath(outputPath, "output"), run);
    });
}

fwpruneStatus runWeakestLinkReductionChecked(const char* inputPath, const char* edgeListPath,
                                             const char* matrixPath, float lower_threshold,
                                             float upper_threshold, const fwpruneOptions* options) {
    return guarded([&] {
        const fwprune::RunOptions run = fwprune::toRunOptions(options);
        fwprune::runWeakestLinkPipeline(fwprune::requirePath(inputPath, "input"),
                                        fwprune::requirePath(edgeListPath, "edge list"),
                                        fwprune::requirePath(matrixPath, "matrix"),
                                        lower_threshold, upper_threshold, run);
    });
}

void runTransitiveReduction(const char* inputPath, const char* outputPath) {
    runTransitiveReductionChecked(inputPath, outputPath, nullptr);
}

void runWeakestLinkReduction(const char* inputPath, const char* edgeListPath,
                             const char* matrixPath, float lower_threshold,
                             float upper_threshold) {
    runWeakestLinkReductionChecked(inputPath, edgeListPath, matrixPath, lower_threshold,
                                   upper_threshold, nullptr);
}

const char* fwpruneGetLastErrorMessage(void) { return fwprune::lastErrorMessage().c_str(); }

const char* fwpruneGetStatusName(fwpruneStatus status) {
    switch (status) {
        case FWPRUNE_OK: return "FWPRUNE_OK";
        case FWPRUNE_ERROR_INVALID_ARGUMENT: return "FWPRUNE_ERROR_INVALID_ARGUMENT";
        case FWPRUNE_ERROR_IO: return "FWPRUNE_ERROR_IO";
        case FWPRUNE_ERROR_FORMAT: return "FWPRUNE_ERROR_FORMAT";
        case FWPRUNE_ERROR_TOO_LARGE: return "FWPRUNE_ERROR_TOO_LARGE";
        case FWPRUNE_ERROR_OUT_OF_MEMORY: return "FWPRUNE_ERROR_OUT_OF_MEMORY";
        case FWPRUNE_ERROR_DEVICE: return "FWPRUNE_ERROR_DEVICE";
        case FWPRUNE_ERROR_INTERNAL: return "FWPRUNE_ERROR_INTERNAL";
    }
    return "FWPRUNE_UNKNOWN_STATUS";
}

const char* fwpruneGetVersion(void) { return FWPRUNE_VERSION_STRING; }

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
