// The weakest-link job on small matrices: the first eight bytes are the two thresholds (any
// bits, NaN included), the rest a weight-matrix file. The stand-in and the native CPU engine
// must match the step-by-step reference bit for bit, through the internal job
// call and the in-memory C API with a padded row stride; every output cell is its input value or
// 2.0; and the written matrix reads back with the same n.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "fwprune.h"
#include "graph_files/weight_matrix.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

std::vector<float> sweptOn(Backend backend, WeightMatrix matrix, float lower, float upper) {
    RunStats stats;
    RunOptions options;
    options.backend = backend;
    options.route = Route::Sweeps;
    options.threads = 2;
    options.stats = &stats;
    pruneWeightMatrix({matrix.cells.data(), matrix.n, std::size_t(matrix.n)}, lower, upper,
                      options);
    require(stats.backend == backend, "the requested engine ran");
    return matrix.cells;
}

void requireSameBits(const std::vector<float>& actual, const std::vector<float>& expected,
                     const char* what) {
    require(actual.size() == expected.size(), what);
    for (std::size_t c = 0; c < actual.size(); ++c) require(sameBits(actual[c], expected[c]), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return -1;
    float lower, upper;
    std::memcpy(&lower, data, 4);
    std::memcpy(&upper, data + 4, 4);
    const std::string_view text(reinterpret_cast<const char*>(data) + 8, size - 8);
    const auto parsed = sweepableInput([&] { return parseWeightMatrix(text, "fuzz.txt"); });
    if (!parsed) return -1;
    const WeightMatrix& input = *parsed;
    const int n = input.n;

    const std::vector<float> expected = referenceWeakestLink(input.cells, n, lower, upper);
    const std::vector<float> emulated = sweptOn(Backend::Emulated, input, lower, upper);
    requireSameBits(emulated, expected, "stand-in matches the reference");
    for (std::size_t c = 0; c < expected.size(); ++c) {
        require(sameBits(emulated[c], input.cells[c]) || emulated[c] == WEIGHT_ABSENT,
                "every cell is its input value or 2.0");
    }
    requireSameBits(sweptOn(Backend::Cpu, input, lower, upper), expected,
                    "CPU engine matches the reference");

    const std::size_t stride = std::size_t(n) + size % 5;
    const float pad = -123.25f;
    std::vector<float> caller(stride * std::size_t(n), pad);
    for (int i = 0; i < n; ++i) {
        std::memcpy(&caller[std::size_t(i) * stride], &input.cells[std::size_t(i) * n],
                    sizeof(float) * std::size_t(n));
    }
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = FWPRUNE_BACKEND_EMULATED;
    options.threads = 2;
    require(
        fwprunePruneWeightMatrix(caller.data(), n, stride, lower, upper, &options) == FWPRUNE_OK,
        "in-memory pruning succeeds", fwpruneGetLastErrorMessage());
    for (int i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < stride; ++j) {
            const float cell = caller[std::size_t(i) * stride + j];
            require(j < std::size_t(n) ? sameBits(cell, expected[std::size_t(i) * n + j])
                                       : sameBits(cell, pad),
                    "in-memory result matches, padding is left alone");
        }
    }

    WeightMatrix output;
    output.n = n;
    output.cells = emulated;
    const std::string path = scratchFile("pruned.txt");
    writeWeightMatrix(output, path);
    require(readWeightMatrix(path, true).n == n, "written matrix reads back with the same n");
    return 0;
}
