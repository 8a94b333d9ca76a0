// Arbitrary bytes through the edge-list reader, lenient and strict, then a round trip through the
// writer: the reader either returns a well-formed matrix or throws an input error naming the file.
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "graph_files/edge_list.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

std::optional<ByteAdjacencyMatrix> parse(std::string_view text, bool strict) {
    return readOrInputError([&] { return parseEdgeList(text, "fuzz.txt", strict); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (namesAHugeButAllowedNode(text)) return -1;

    const std::optional<ByteAdjacencyMatrix> lenient = parse(text, false);
    const std::optional<ByteAdjacencyMatrix> strict = parse(text, true);
    if (strict) {
        require(lenient && lenient->n == strict->n && lenient->cells == strict->cells,
                "strict reading accepts a subset of lenient reading, with the same result");
    }
    if (!lenient) return 0;

    const int n = lenient->n;
    require(lenient->cells.size() == std::size_t(n) * std::size_t(n), "n*n cells");
    for (const std::uint8_t cell : lenient->cells) {
        require(cell == CELL_EMPTY || cell == CELL_EDGE, "cells are 0 or 1");
    }
    if (n > 256) return 0;

    // Written and read back strictly, the edges are the same. The reread n may be smaller:
    // nodes named only by records that set no cell leave no trace in the output.
    const std::string path = scratchFile("edges.txt");
    writeSortedEdges(edgeRecordsOf(*lenient), path);
    const ByteAdjacencyMatrix reread = readEdgeList(path, true);
    require(reread.n <= n, "reread n is at most n");
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const std::uint8_t before = lenient->cells[std::size_t(i) * n + j];
            const std::uint8_t after =
                i < reread.n && j < reread.n ? reread.cells[std::size_t(i) * reread.n + j] : 0;
            require(before == after, "round trip keeps every edge");
        }
    }
    return 0;
}
