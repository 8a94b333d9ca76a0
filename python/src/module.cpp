// fwprune._core: thin bindings over the C API. Argument checking, conversions and the mapping of
// statuses to Python exceptions live in the pure-Python package; every call here returns the
// status and the library's message so that the message is read on the thread that failed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <signal.h>

#include <cstdint>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "fwprune.h"

namespace nb = nanobind;

namespace {

using Result = std::pair<int, nb::bytes>;

// Asked by the library on the calling thread while a job runs, with the GIL released: runs the
// interpreter's signal handlers (only the main thread has any), and stops the job when one
// raised, typically KeyboardInterrupt from Ctrl-C. The exception stays set for resultOf.
int signalRaised(void*) {
    nb::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0 ? 1 : 0;
}

// Bytes, not str: the message embeds file names, which need not be valid UTF-8. A job cancelled
// by a signal handler's exception raises that exception.
Result resultOf(fwpruneStatus status) {
    if (status == FWPRUNE_ERROR_CANCELLED && PyErr_Occurred() != nullptr) throw nb::python_error();
    if (status == FWPRUNE_OK) return {0, nb::bytes("", 0)};
    const char* message = fwpruneGetLastErrorMessage();
    return {static_cast<int>(status), nb::bytes(message)};
}

// Hands the library's progress reports to a Python callable (or None) as (phase, fraction),
// phase being "read", "sweeps" or "write". The job runs without the GIL, so each report takes
// it. An exception the callable raises ends its reports and cancels the job; raiseAnyError
// raises it once the job has returned.
class ProgressRelay {
  public:
    explicit ProgressRelay(nb::object callable) : callable_(std::move(callable)) {}

    void attach(fwpruneOptions& options) {
        options.cancelRequested = &cancelRequested;
        options.cancelUserData = this;
        if (callable_.is_none()) return;
        options.progress = &report;
        options.progressUserData = this;
    }

    // With the GIL held, after the job.
    void raiseAnyError() {
        if (error_) throw nb::python_error(std::move(*error_));
    }

  private:
    static void report(void* self, fwprunePhase phase, double fraction) {
        auto& relay = *static_cast<ProgressRelay*>(self);
        nb::gil_scoped_acquire gil;
        if (relay.error_) return;
        const char* const names[] = {"read", "sweeps", "write"};
        try {
            relay.callable_(names[static_cast<int>(phase)], fraction);
        } catch (nb::python_error& error) {
            relay.error_.emplace(std::move(error));
        }
    }

    static int cancelRequested(void* self) {
        if (static_cast<ProgressRelay*>(self)->error_) return 1;
        return signalRaised(nullptr);
    }

    nb::object callable_;
    std::optional<nb::python_error> error_;
};

// While a file job runs, a termination signal whose action is still the default (SIGTERM and
// SIGHUP unless the host has a handler for them; Python keeps SIGINT for KeyboardInterrupt)
// removes the job's temporary output files before it ends the process, as the fwprune program
// does, instead of leaving a ".fwprune-XXXXXX" file behind. Installed only over the default
// action and only while some file job runs, so a host's own handlers are never replaced.
class RemoveTemporariesOnTermination {
  public:
    RemoveTemporariesOnTermination() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_++ > 0) return;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction current {};
            installed_[i] = ::sigaction(kSignals[i], nullptr, &current) == 0 &&
                            (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
            if (!installed_[i]) continue;
            struct sigaction ours {};
            ours.sa_handler = &onTermination;
            sigemptyset(&ours.sa_mask);
            ours.sa_flags = SA_RESTART;
            ::sigaction(kSignals[i], &ours, nullptr);
        }
    }
    ~RemoveTemporariesOnTermination() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--jobs_ > 0) return;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction current {};
            if (!installed_[i] || ::sigaction(kSignals[i], nullptr, &current) != 0) continue;
            // Put the default back unless the host has set a handler of its own meanwhile.
            if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == &onTermination) {
                ::signal(kSignals[i], SIG_DFL);
            }
        }
    }
    RemoveTemporariesOnTermination(const RemoveTemporariesOnTermination&) = delete;
    RemoveTemporariesOnTermination& operator=(const RemoveTemporariesOnTermination&) = delete;

  private:
    static void onTermination(int signal) {
        fwpruneRemoveTemporaryFiles();
        // The default action again, taken when the handler returns: the process ends by the
        // signal, as it would have.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }

    static constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
    static inline std::mutex mutex_;
    static inline int jobs_ = 0;
    static inline bool installed_[3] = {};
};

// removed names the file of the removed-edge report (empty: none) and must outlive the call.
fwpruneOptions makeOptions(int backend, int threads, ProgressRelay& progress,
                           int route = FWPRUNE_ROUTE_AUTO, int cycles = FWPRUNE_CYCLES_DROP,
                           const std::string& removed = {}) {
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = static_cast<fwpruneBackend>(backend);
    options.threads = threads;
    options.route = static_cast<fwpruneRoute>(route);
    options.cycles = static_cast<fwpruneCycles>(cycles);
    options.removedPath = removed.empty() ? nullptr : removed.c_str();
    progress.attach(options);
    return options;
}

// The file calls' formats: (input format, output format, header), as the C options take them.
using Formats = std::tuple<int, int, bool>;

void setFormats(fwpruneOptions& options, const Formats& formats) {
    options.inputFormat = static_cast<fwpruneFileFormat>(std::get<0>(formats));
    options.outputFormat = static_cast<fwpruneFileFormat>(std::get<1>(formats));
    options.header = std::get<2>(formats) ? 1 : 0;
}

template <typename T>
using SquareMatrix = nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The extent check guards against callers of the private module; the public wrappers never pass
// anything else.
template <typename T>
int squareSide(const SquareMatrix<T>& matrix) {
    if (matrix.shape(0) != matrix.shape(1)) throw nb::value_error("the matrix is not square");
    if (matrix.shape(0) > static_cast<size_t>(INT32_MAX)) {
        throw nb::value_error("the matrix has more rows than an int can count");
    }
    return static_cast<int>(matrix.shape(0));
}

Result reduceAdjacency(SquareMatrix<uint8_t> adjacency, int backend, int threads,
                       nb::object progress, int route, int cycles, nb::bytes removed) {
    const int n = squareSide(adjacency);
    ProgressRelay relay(std::move(progress));
    const std::string removedPath(removed.c_str(), removed.size());
    const fwpruneOptions options = makeOptions(backend, threads, relay, route, cycles, removedPath);
    fwpruneStatus status;
    {
        const RemoveTemporariesOnTermination cleanup;
        nb::gil_scoped_release released;
        status =
            fwpruneReduceAdjacencyMatrix(adjacency.data(), n, static_cast<size_t>(n), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

Result pruneWeights(SquareMatrix<float> weights, double lower, double upper, int backend,
                    int threads, nb::object progress, int route, nb::bytes removed) {
    const int n = squareSide(weights);
    ProgressRelay relay(std::move(progress));
    const std::string removedPath(removed.c_str(), removed.size());
    const fwpruneOptions options =
        makeOptions(backend, threads, relay, route, FWPRUNE_CYCLES_DROP, removedPath);
    fwpruneStatus status;
    {
        nb::gil_scoped_release released;
        status = fwprunePruneWeightMatrix(weights.data(), n, static_cast<size_t>(n),
                                          static_cast<float>(lower), static_cast<float>(upper),
                                          &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

using Nodes = nb::ndarray<int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The surviving edges overwrite the front of the two arrays; returns the status, the message and
// their number.
std::tuple<int, nb::bytes, size_t> reduceEdges(Nodes sources, Nodes targets, int backend,
                                               int threads, nb::object progress, int route,
                                               int cycles, nb::bytes removed) {
    if (sources.shape(0) != targets.shape(0))
        throw nb::value_error("the source and target arrays differ in length");
    ProgressRelay relay(std::move(progress));
    const std::string removedPath(removed.c_str(), removed.size());
    const fwpruneOptions options = makeOptions(backend, threads, relay, route, cycles, removedPath);
    size_t count = 0;
    fwpruneStatus status;
    {
        const RemoveTemporariesOnTermination cleanup;
        nb::gil_scoped_release released;
        status = fwpruneReduceEdgeArrays(sources.data(), targets.data(), sources.shape(0),
                                         sources.data(), targets.data(), &count, &options);
    }
    relay.raiseAnyError();
    const Result result = resultOf(status);
    return {result.first, result.second, count};
}

Result reduceFile(nb::bytes input, nb::bytes output, int backend, int threads, nb::object progress,
                  int route, int cycles, nb::bytes removed, Formats formats) {
    // Copies: the bytes objects must not be touched without the GIL.
    const std::string inputPath(input.c_str(), input.size());
    const std::string outputPath(output.c_str(), output.size());
    const std::string removedPath(removed.c_str(), removed.size());
    ProgressRelay relay(std::move(progress));
    fwpruneOptions options = makeOptions(backend, threads, relay, route, cycles, removedPath);
    setFormats(options, formats);
    fwpruneStatus status;
    {
        const RemoveTemporariesOnTermination cleanup;
        nb::gil_scoped_release released;
        status =
            fwpruneRunTransitiveReductionChecked(inputPath.c_str(), outputPath.c_str(), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

Result weakestLinkFile(nb::bytes input, nb::bytes edges, nb::bytes matrix, double lower,
                       double upper, int backend, int threads, nb::object progress, int route,
                       nb::bytes removed, Formats formats) {
    const std::string inputPath(input.c_str(), input.size());
    const std::string edgesPath(edges.c_str(), edges.size());
    const std::string matrixPath(matrix.c_str(), matrix.size());
    const std::string removedPath(removed.c_str(), removed.size());
    ProgressRelay relay(std::move(progress));
    fwpruneOptions options =
        makeOptions(backend, threads, relay, route, FWPRUNE_CYCLES_DROP, removedPath);
    setFormats(options, formats);
    fwpruneStatus status;
    {
        const RemoveTemporariesOnTermination cleanup;
        nb::gil_scoped_release released;
        status = fwpruneRunWeakestLinkReductionChecked(
            inputPath.c_str(), edgesPath.c_str(), matrixPath.c_str(), static_cast<float>(lower),
            static_cast<float>(upper), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "Bindings over the fwprune C API; use the fwprune package instead.";

    m.def("reduce_adjacency", &reduceAdjacency, nb::arg("adjacency").noconvert(),
          nb::arg("backend"), nb::arg("threads"), nb::arg("progress").none(), nb::arg("route"),
          nb::arg("cycles"), nb::arg("removed"));
    m.def("reduce_edges", &reduceEdges, nb::arg("sources").noconvert(),
          nb::arg("targets").noconvert(), nb::arg("backend"), nb::arg("threads"),
          nb::arg("progress").none(), nb::arg("route"), nb::arg("cycles"), nb::arg("removed"));
    m.def("prune_weights", &pruneWeights, nb::arg("weights").noconvert(), nb::arg("lower"),
          nb::arg("upper"), nb::arg("backend"), nb::arg("threads"), nb::arg("progress").none(),
          nb::arg("route"), nb::arg("removed"));
    m.def("reduce_file", &reduceFile, nb::arg("input"), nb::arg("output"), nb::arg("backend"),
          nb::arg("threads"), nb::arg("progress").none(), nb::arg("route"), nb::arg("cycles"),
          nb::arg("removed"), nb::arg("formats"));
    m.def("weakest_link_file", &weakestLinkFile, nb::arg("input"), nb::arg("edges"),
          nb::arg("matrix"), nb::arg("lower"), nb::arg("upper"), nb::arg("backend"),
          nb::arg("threads"), nb::arg("progress").none(), nb::arg("route"), nb::arg("removed"),
          nb::arg("formats"));
    // The errno and file of the calling thread's last failure, read right after it on the same
    // thread (the library keeps them per thread).
    m.def("last_system_error", [] {
        return std::make_pair(fwpruneGetLastErrorNumber(), nb::bytes(fwpruneGetLastErrorPath()));
    });
    m.def("version", [] { return std::string(fwpruneGetVersion()); });
    m.def("default_backend", [] { return static_cast<int>(fwpruneGetDefaultBackend()); });

    m.attr("BACKEND_AUTO") = static_cast<int>(FWPRUNE_BACKEND_AUTO);
    m.attr("BACKEND_GPU") = static_cast<int>(FWPRUNE_BACKEND_GPU);
    m.attr("BACKEND_CPU") = static_cast<int>(FWPRUNE_BACKEND_CPU);
    m.attr("BACKEND_EMULATED") = static_cast<int>(FWPRUNE_BACKEND_EMULATED);

    m.attr("ROUTE_AUTO") = static_cast<int>(FWPRUNE_ROUTE_AUTO);
    m.attr("ROUTE_SWEEPS") = static_cast<int>(FWPRUNE_ROUTE_SWEEPS);
    m.attr("ROUTE_SPARSE") = static_cast<int>(FWPRUNE_ROUTE_SPARSE);
    m.attr("ROUTE_ORDERED") = static_cast<int>(FWPRUNE_ROUTE_ORDERED);
    m.attr("FORMAT_AUTO") = static_cast<int>(FWPRUNE_FORMAT_AUTO);
    m.attr("FORMAT_NATIVE") = static_cast<int>(FWPRUNE_FORMAT_NATIVE);
    m.attr("FORMAT_TSV") = static_cast<int>(FWPRUNE_FORMAT_TSV);
    m.attr("FORMAT_CSV") = static_cast<int>(FWPRUNE_FORMAT_CSV);
    m.attr("FORMAT_DOT") = static_cast<int>(FWPRUNE_FORMAT_DOT);
    m.attr("FORMAT_NPY") = static_cast<int>(FWPRUNE_FORMAT_NPY);
    m.attr("CYCLES_DROP") = static_cast<int>(FWPRUNE_CYCLES_DROP);
    m.attr("CYCLES_CONDENSE") = static_cast<int>(FWPRUNE_CYCLES_CONDENSE);
    m.attr("MAX_DENSE_NODES") = static_cast<int>(FWPRUNE_MAX_DENSE_NODES);

    m.attr("ERROR_INVALID_ARGUMENT") = static_cast<int>(FWPRUNE_ERROR_INVALID_ARGUMENT);
    m.attr("ERROR_IO") = static_cast<int>(FWPRUNE_ERROR_IO);
    m.attr("ERROR_FORMAT") = static_cast<int>(FWPRUNE_ERROR_FORMAT);
    m.attr("ERROR_TOO_LARGE") = static_cast<int>(FWPRUNE_ERROR_TOO_LARGE);
    m.attr("ERROR_OUT_OF_MEMORY") = static_cast<int>(FWPRUNE_ERROR_OUT_OF_MEMORY);
    m.attr("ERROR_DEVICE") = static_cast<int>(FWPRUNE_ERROR_DEVICE);
    m.attr("ERROR_INTERNAL") = static_cast<int>(FWPRUNE_ERROR_INTERNAL);
    m.attr("ERROR_CANCELLED") = static_cast<int>(FWPRUNE_ERROR_CANCELLED);
    m.attr("MAX_THREADS") = FWPRUNE_MAX_THREADS;
}
