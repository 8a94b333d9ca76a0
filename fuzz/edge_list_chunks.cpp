// The edge-list reader splits large texts into chunks parsed in parallel. This target builds such
// a text, one record per line, alternating records made of the input's tokens with generated ones,
// and checks the parse with 1 and 3 threads, whole and in small pieces, against each record read
// on its own: the same n and
// edges, or the first record's error with its line. A cut-short last record must be reported too.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "graph_files/edge_list.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

constexpr std::size_t kTargetBytes = std::size_t{640} << 10;  // several 128 KiB chunks
constexpr int kMaxNodes = 1024;

// A record read alone: its n, its edge (when both nodes are non-negative), or its error.
struct Alone {
    int n = 0;
    std::optional<std::pair<int, int>> edge;
    std::string error;  // with the path and line 1
};

Alone readAlone(const std::string& record, bool strict) {
    // Records, not the n x n matrix: a single record may name a node in the tens of thousands.
    Alone alone;
    try {
        const EdgeRecords graph = parseEdgeRecords(record, "fuzz.txt", strict, 1);
        alone.n = graph.n > kMaxNodes ? kMaxNodes + 1 : int(graph.n);
        if (!graph.records.empty()) {
            const std::uint64_t edge = graph.records.front();
            alone.edge = std::make_pair(int(edge >> 32), int(edge & 0xffffffffu));
        }
    } catch (const Error& error) {
        require(isInputError(error), "only input errors", error.what());
        alone.error = error.status() == Status::Format ? error.what() : "";
    }
    return alone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return -1;
    const bool strict = data[0] & 1;
    const bool cutShort = data[0] & 2;
    const std::string_view source(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string_view> pieces;
    std::string blanks;  // separators within a record: any but the line feed
    std::size_t start = 0;
    for (std::size_t i = 0; i <= source.size(); ++i) {
        if (i < source.size() && !isTokenSeparator(source[i])) continue;
        if (i > start) pieces.push_back(source.substr(start, i - start));
        if (i < source.size() && source[i] != '\n') blanks += source[i];
        start = i + 1;
    }
    if (pieces.empty()) return -1;
    if (blanks.empty()) blanks = " ";

    std::string text;
    std::map<std::string, Alone> seen;
    int n = 0;
    std::vector<std::uint8_t> cells(std::size_t(kMaxNodes) * kMaxNodes, 0);
    std::string expectedError;
    long long line = 1;
    std::size_t lastRecordStart = 0;
    for (std::size_t k = 0; text.size() < kTargetBytes; ++k, ++line) {
        const char blank = blanks[k % blanks.size()];
        std::string record = std::string(pieces[3 * k % pieces.size()]) + blank +
                             std::string(pieces[(3 * k + 1) % pieces.size()]) + blank +
                             std::string(pieces[(3 * k + 2) % pieces.size()]);
        auto found = seen.find(record);
        if (found == seen.end()) found = seen.emplace(record, readAlone(record, strict)).first;
        if (k % 2 == 1 || found->second.n > kMaxNodes) {
            const int a = int(k * 7 % 509), b = int(k * 13 % 509);
            record = std::to_string(a) + blank + "edge" + blank + std::to_string(b);
            found = seen.emplace(record, Alone{std::max(a, b) + 1, std::make_pair(a, b), ""}).first;
        }
        const Alone& alone = found->second;
        if (expectedError.empty() && !alone.error.empty()) {
            expectedError = alone.error;
            expectedError.replace(0, std::string("fuzz.txt:1:").size(),
                                  "fuzz.txt:" + std::to_string(line) + ":");
        }
        n = std::max(n, alone.n);
        if (alone.edge) cells[std::size_t(alone.edge->first) * kMaxNodes + alone.edge->second] = 1;
        lastRecordStart = text.size();
        text += record;
        text += '\n';
    }
    if (cutShort) {
        // Drop the last record's target: the file ends inside it.
        text.resize(text.size() - 1);
        while (!isTokenSeparator(text.back())) text.pop_back();
        const Alone alone = readAlone(text.substr(lastRecordStart), strict);
        if (expectedError.empty()) {
            expectedError = alone.error;
            expectedError.replace(0, std::string("fuzz.txt:1:").size(),
                                  "fuzz.txt:" + std::to_string(line - 1) + ":");
        }
    }

    // Read whole, and in pieces of a size the input picks, so that records straddle their ends.
    const std::size_t piece = 1 + (size * 131) % 9973;
    for (const int threads : {1, 3}) {
        try {
            const ByteAdjacencyMatrix m =
                adjacencyMatrixOf(parseEdgeRecords(text, "fuzz.txt", strict, threads,
                                                   threads == 1 ? kEdgeListPieceBytes : piece),
                                  "fuzz.txt");
            require(expectedError.empty(), "the parse succeeded where it must fail", expectedError);
            require(m.n == n, "n is the largest node number plus one");
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j) {
                    require(
                        m.cells[std::size_t(i) * n + j] == cells[std::size_t(i) * kMaxNodes + j],
                        "every record's edge and no other");
                }
            }
        } catch (const Error& error) {
            // what() ends at the first NUL byte that a quoted token may hold.
            require(error.status() == Status::Format &&
                        error.what() == expectedError.substr(0, expectedError.find('\0')),
                    "the first record's error", std::string(error.what()) + " | " + expectedError);
        }
    }
    return 0;
}
