#include "graph_files/edge_list.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <new>

#include "common/error.h"
#include "graph_files/row_writer.h"
#include "graph_files/file_io.h"
#include "graph_files/text_tokens.h"

namespace fwprune {
namespace {

// Node tokens longer than this are outside the format (its reader holds 11 characters).
constexpr std::size_t kMaxNodeTokenLength = 11;

// atoi's reading of a token: an optional sign and the digits that follow it; no digits read as 0.
// Unlike atoi, a value beyond 32 bits is an error rather than undefined behaviour.
std::int32_t parseNodeNumber(std::string_view token, const std::string& path, long long line,
                             bool strict) {
    if (token.size() > kMaxNodeTokenLength) {
        fail(Status::Format, describeAt(path, line,
                                        "node number '" + std::string(tokenForMessage(token)) +
                                            "' is longer than 11 characters"));
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    const std::size_t firstDigit = i;
    std::int64_t value = 0;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
        value = value * 10 + (token[i] - '0');
    }
    if (strict && (i == firstDigit || i != token.size())) {
        fail(Status::Format, describeAt(path, line,
                                        "'" + std::string(token) + "' is not a node number"));
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        fail(Status::Format, describeAt(path, line,
                                        "node number '" + std::string(token) +
                                            "' does not fit a 32-bit integer"));
    }
    return static_cast<std::int32_t>(value);
}

// Calls record(source, target) for every record of three tokens; the middle word is ignored
// whatever its length. A file that ends inside a record is an error, not a silent drop.
template <typename Record>
void forEachRecord(std::string_view text, const std::string& path, bool strict, Record&& record) {
    TokenScanner scanner(text);
    for (;;) {
        const std::string_view first = scanner.next();
        if (first.empty()) return;
        const long long line = scanner.line();
        const std::int32_t source = parseNodeNumber(first, path, line, strict);
        const std::string_view word = scanner.next();
        const std::string_view third = scanner.next();
        if (word.empty() || third.empty()) {
            fail(Status::Format,
                 describeAt(path, line,
                            "the file ends inside a record: expected 'source word target', found " +
                                std::string(word.empty() ? "only '" + std::string(first) + "'"
                                                         : "'" + std::string(first) + " " +
                                                               std::string(word) + "'")));
        }
        record(source, parseNodeNumber(third, path, scanner.line(), strict));
    }
}

}  // namespace

ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path, bool strict) {
    // Sizing pass, so the matrix is allocated once at its final size.
    std::int64_t largest = -1;
    forEachRecord(text, path, strict, [&](std::int32_t a, std::int32_t b) {
        if (a > largest) largest = a;
        if (b > largest) largest = b;
    });
    const std::int64_t n = largest + 1;
    const std::int32_t cells = checkedCellCount(n, path);

    ByteAdjacencyMatrix matrix;
    matrix.n = static_cast<std::int32_t>(n);
    try {
        matrix.cells.assign(static_cast<std::size_t>(cells), CELL_EMPTY);
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory, describeAt(path, "not enough memory for a matrix of " +
                                                       std::to_string(n) + " nodes"));
    }
    std::uint8_t* const data = matrix.cells.data();
    forEachRecord(text, path, strict, [&](std::int32_t a, std::int32_t b) {
        if (a >= 0 && b >= 0) data[static_cast<std::int64_t>(a) * n + b] = CELL_EDGE;
    });
    nodeCount = matrix.n;
    cellCount = cells;
    return matrix;
}

ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict) {
    return parseEdgeList(readWholeFile(path), path, strict);
}

void writeEdgeList(const ByteAdjacencyMatrix& matrix, const std::string& path, int threads) {
    const std::uint8_t* const cells = matrix.cells.data();
    const std::int64_t n = matrix.n;
    writeEdgeRecords(n, path, threads, [&](std::int64_t i, std::int64_t j) { return cells[i * n + j] != CELL_EMPTY; });
}

}  // namespace fwprune
