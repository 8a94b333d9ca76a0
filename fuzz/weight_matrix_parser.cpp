// Arbitrary bytes through the weight-matrix reader, lenient and strict, then round trips through
// the matrix writer and the edge-list writer.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "graph_files/edge_list.h"
#include "graph_files/weight_matrix.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

std::optional<WeightMatrix> parse(std::string_view text, bool strict) {
    return readOrInputError([&] { return parseWeightMatrix(text, "fuzz.txt", strict); });
}

bool sameCells(const WeightMatrix& a, const WeightMatrix& b) {
    if (a.n != b.n || a.cells.size() != b.cells.size()) return false;
    for (std::size_t i = 0; i < a.cells.size(); ++i) {
        if (!sameBits(a.cells[i], b.cells[i])) return false;
    }
    return true;
}

// The writer keeps seven significant digits, the sign, NaN and infinities.
bool closeEnough(float written, float reread) {
    if (std::isnan(written))
        return std::isnan(reread) && std::signbit(written) == std::signbit(reread);
    if (std::isinf(written) || written == 2.0f) return sameBits(written, reread);
    if (std::signbit(written) != std::signbit(reread)) return false;
    return std::fabs(double(written) - double(reread)) <= 6e-7 * std::fabs(double(written)) + 1e-45;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<WeightMatrix> lenient = parse(text, false);
    const std::optional<WeightMatrix> strict = parse(text, true);
    if (strict) {
        require(lenient && sameCells(*lenient, *strict),
                "strict reading accepts a subset of lenient reading, with the same values");
    }
    if (!lenient) return 0;
    const int n = lenient->n;
    require(lenient->cells.size() == std::size_t(n) * std::size_t(n), "n*n cells");
    if (n > 128) return 0;

    const std::string matrixPath = scratchFile("matrix.txt");
    writeWeightMatrix(*lenient, matrixPath);
    const WeightMatrix reread = readWeightMatrix(matrixPath, true);
    require(reread.n == n, "a written matrix reads back with the same n");
    for (std::size_t i = 0; i < reread.cells.size(); ++i) {
        require(closeEnough(lenient->cells[i], reread.cells[i]), "values survive the round trip");
    }

    const std::string edgesPath = scratchFile("edges.txt");
    writeWeightEdgeList(*lenient, edgesPath);
    const ByteAdjacencyMatrix edges = readEdgeList(edgesPath, true);
    require(edges.n <= n, "edge list names no node beyond n");
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const bool present = !(lenient->cells[std::size_t(i) * n + j] == WEIGHT_ABSENT);
            const bool listed = i < edges.n && j < edges.n &&
                                edges.cells[std::size_t(i) * edges.n + j] != CELL_EMPTY;
            require(present == listed, "the edge list names exactly the cells that are not 2.0");
        }
    }
    return 0;
}
