// fwprune._core: thin bindings over the C API. Argument checking, conversions and the mapping of
// statuses to Python exceptions live in the pure-Python package; every call here returns the
// status and the library's message so that the message is read on the thread that failed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "fwprune.h"

namespace nb = nanobind;

namespace {

using Result = std::pair<int, nb::bytes>;

// Bytes, not str: the message embeds file names, which need not be valid UTF-8.
Result resultOf(fwpruneStatus status) {
    if (status == FWPRUNE_OK) return {0, nb::bytes("", 0)};
    const char* message = fwpruneGetLastErrorMessage();
    return {static_cast<int>(status), nb::bytes(message)};
}

// Hands the library's progress reports to a Python callable as (phase, fraction), phase being
// "read", "sweeps" or "write". The job runs without the GIL, so each report takes it. The first
// exception the callable raises ends its reports and is raised when the job returns.
class ProgressRelay {
  public:
    explicit ProgressRelay(nb::object callable) : callable_(std::move(callable)) {}

    void attach(fwpruneOptions& options) {
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

    nb::object callable_;
    std::optional<nb::python_error> error_;
};

fwpruneOptions makeOptions(int backend, int threads, ProgressRelay& progress) {
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = static_cast<fwpruneBackend>(backend);
    options.threads = threads;
    progress.attach(options);
    return options;
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
                       nb::object progress) {
    const int n = squareSide(adjacency);
    ProgressRelay relay(std::move(progress));
    const fwpruneOptions options = makeOptions(backend, threads, relay);
    fwpruneStatus status;
    {
        nb::gil_scoped_release released;
        status =
            fwpruneReduceAdjacencyMatrix(adjacency.data(), n, static_cast<size_t>(n), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

Result pruneWeights(SquareMatrix<float> weights, double lower, double upper, int backend,
                    int threads, nb::object progress) {
    const int n = squareSide(weights);
    ProgressRelay relay(std::move(progress));
    const fwpruneOptions options = makeOptions(backend, threads, relay);
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

Result reduceFile(nb::bytes input, nb::bytes output, int backend, int threads,
                  nb::object progress) {
    // Copies: the bytes objects must not be touched without the GIL.
    const std::string inputPath(input.c_str(), input.size());
    const std::string outputPath(output.c_str(), output.size());
    ProgressRelay relay(std::move(progress));
    const fwpruneOptions options = makeOptions(backend, threads, relay);
    fwpruneStatus status;
    {
        nb::gil_scoped_release released;
        status = runTransitiveReductionChecked(inputPath.c_str(), outputPath.c_str(), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

Result weakestLinkFile(nb::bytes input, nb::bytes edges, nb::bytes matrix, double lower,
                       double upper, int backend, int threads, nb::object progress) {
    const std::string inputPath(input.c_str(), input.size());
    const std::string edgesPath(edges.c_str(), edges.size());
    const std::string matrixPath(matrix.c_str(), matrix.size());
    ProgressRelay relay(std::move(progress));
    const fwpruneOptions options = makeOptions(backend, threads, relay);
    fwpruneStatus status;
    {
        nb::gil_scoped_release released;
        status = runWeakestLinkReductionChecked(inputPath.c_str(), edgesPath.c_str(),
                                                matrixPath.c_str(), static_cast<float>(lower),
                                                static_cast<float>(upper), &options);
    }
    relay.raiseAnyError();
    return resultOf(status);
}

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "Bindings over the fwprune C API; use the fwprune package instead.";

    m.def("reduce_adjacency", &reduceAdjacency, nb::arg("adjacency").noconvert(),
          nb::arg("backend"), nb::arg("threads"), nb::arg("progress").none());
    m.def("prune_weights", &pruneWeights, nb::arg("weights").noconvert(), nb::arg("lower"),
          nb::arg("upper"), nb::arg("backend"), nb::arg("threads"), nb::arg("progress").none());
    m.def("reduce_file", &reduceFile, nb::arg("input"), nb::arg("output"), nb::arg("backend"),
          nb::arg("threads"), nb::arg("progress").none());
    m.def("weakest_link_file", &weakestLinkFile, nb::arg("input"), nb::arg("edges"),
          nb::arg("matrix"), nb::arg("lower"), nb::arg("upper"), nb::arg("backend"),
          nb::arg("threads"), nb::arg("progress").none());
    m.def("version", [] { return std::string(fwpruneGetVersion()); });
    m.def("default_backend", [] { return static_cast<int>(fwpruneGetDefaultBackend()); });

    m.attr("BACKEND_AUTO") = static_cast<int>(FWPRUNE_BACKEND_AUTO);
    m.attr("BACKEND_GPU") = static_cast<int>(FWPRUNE_BACKEND_GPU);
    m.attr("BACKEND_CPU") = static_cast<int>(FWPRUNE_BACKEND_CPU);
    m.attr("BACKEND_EMULATED") = static_cast<int>(FWPRUNE_BACKEND_EMULATED);

    m.attr("ERROR_INVALID_ARGUMENT") = static_cast<int>(FWPRUNE_ERROR_INVALID_ARGUMENT);
    m.attr("ERROR_IO") = static_cast<int>(FWPRUNE_ERROR_IO);
    m.attr("ERROR_FORMAT") = static_cast<int>(FWPRUNE_ERROR_FORMAT);
    m.attr("ERROR_TOO_LARGE") = static_cast<int>(FWPRUNE_ERROR_TOO_LARGE);
    m.attr("ERROR_OUT_OF_MEMORY") = static_cast<int>(FWPRUNE_ERROR_OUT_OF_MEMORY);
    m.attr("ERROR_DEVICE") = static_cast<int>(FWPRUNE_ERROR_DEVICE);
    m.attr("ERROR_INTERNAL") = static_cast<int>(FWPRUNE_ERROR_INTERNAL);
}
