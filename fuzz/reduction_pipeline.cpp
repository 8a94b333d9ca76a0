// The reduction job on small graphs: parse an edge list, sweep it on the stand-in and on the
// native CPU engine, through the internal job call and the in-memory C API with
// a padded row stride, reduce its records on the sparse route, and compare against reachability
// computed by search.
#include <cstdint>
#include <string_view>
#include <vector>

#include "cpu/cpu_engine.h"
#include "fuzz_support.h"
#include "fwprune.h"
#include "graph_files/edge_list.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

ByteAdjacencyMatrix sweptOn(Backend backend, ByteAdjacencyMatrix matrix) {
    RunStats stats;
    RunOptions options;
    options.backend = backend;
    options.route = Route::Sweeps;
    options.threads = 2;
    options.stats = &stats;
    reduceAdjacencyMatrix({matrix.cells.data(), matrix.n, std::size_t(matrix.n)}, options);
    require(stats.backend == backend, "the requested engine ran");
    return matrix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (namesAHugeButAllowedNode(text)) return -1;
    const auto parsed = sweepableInput([&] { return parseEdgeList(text, "fuzz.txt"); });
    if (!parsed) return -1;
    const ByteAdjacencyMatrix& input = *parsed;
    const int n = input.n;

    const std::vector<std::uint8_t> expected = referenceReduction(input.cells, n);
    const ByteAdjacencyMatrix emulated = sweptOn(Backend::Emulated, input);
    require(emulated.n == n && emulated.cells == expected, "stand-in matches the reference");
    for (std::size_t c = 0; c < expected.size(); ++c) {
        require(emulated.cells[c] == 0 || input.cells[c] != 0, "output edges are input edges");
    }
    require(sweptOn(Backend::Cpu, input).cells == expected, "CPU engine matches the reference");

    // The sparse route on the records, as read (repeats and file order kept).
    const EdgeRecords records = parseEdgeRecords(text, "fuzz.txt");
    std::vector<std::uint64_t> kept;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (expected[std::size_t(i) * n + j])
                kept.push_back(EdgeRecord::pack(std::uint32_t(i), std::uint32_t(j)));
        }
    }
    require(cpu::reduceEdgeRecords(records.records, 2).kept == kept,
            "sparse route matches the reference");

    // The C API on a padded caller matrix whose edges are arbitrary non-zero bytes.
    const std::size_t stride = std::size_t(n) + size % 5;
    std::vector<unsigned char> caller(stride * std::size_t(n), 0xA5);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const std::size_t c = std::size_t(i) * n + j;
            caller[std::size_t(i) * stride + j] = input.cells[c] ? data[c % size] | 1 : 0;
        }
    }
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = FWPRUNE_BACKEND_EMULATED;
    options.threads = 2;
    require(fwpruneReduceAdjacencyMatrix(caller.data(), n, stride, &options) == FWPRUNE_OK,
            "in-memory reduction succeeds", fwpruneGetLastErrorMessage());
    for (int i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < stride; ++j) {
            const unsigned char cell = caller[std::size_t(i) * stride + j];
            if (j < std::size_t(n)) {
                require(cell == expected[std::size_t(i) * n + j], "in-memory result is 0 or 1");
            } else {
                require(cell == 0xA5, "padding beyond n is left alone");
            }
        }
    }

    const std::string path = scratchFile("reduced.txt");
    writeSortedEdges(edgeRecordsOf(emulated), path);
    const ByteAdjacencyMatrix reread = readEdgeList(path, true);
    for (int i = 0; i < reread.n; ++i) {
        for (int j = 0; j < reread.n; ++j) {
            require(reread.cells[std::size_t(i) * reread.n + j] ==
                        emulated.cells[std::size_t(i) * n + j],
                    "written output reads back");
        }
    }
    return 0;
}
