#include "graph_files/edge_list.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>
#include <cstdint>
#include <limits>
#include <new>

#include "common/error.h"
#include "common/parallel.h"
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

// Calls record(source, target) for every record of three tokens whose first token starts in
// [begin, end), after skipping `skip` tokens at begin (the tail of a record that started earlier);
// a record may run on past end. The middle word is ignored whatever its length. A file that ends
// inside a record is an error, not a silent drop.
template <typename Record>
void forEachRecord(std::string_view text, std::size_t begin, std::size_t end, int skip,
                   const std::string& path, bool strict, Record&& record) {
    TokenScanner scanner(text, begin);
    for (int s = 0; s < skip; ++s) scanner.next();
    while (scanner.peek() < end) {
        const std::string_view first = scanner.next();
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

// Chunks of a large text that end at separators, so no token straddles two, and for each the
// number of tokens to skip so that it starts at a record's first token.
struct RecordChunks {
    std::vector<std::size_t> bounds;
    std::vector<int> skip;
};

RecordChunks splitIntoRecordChunks(std::string_view text, ThreadPool& pool) {
    constexpr std::size_t kMinChunk = std::size_t{1} << 20;
    const std::size_t count = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(pool.size()) * 4, text.size() / kMinChunk));
    RecordChunks chunks;
    chunks.bounds.assign(count + 1, text.size());
    chunks.bounds[0] = 0;
    for (std::size_t c = 1; c < count; ++c) {
        std::size_t b = std::max(chunks.bounds[c - 1], text.size() * c / count);
        while (b < text.size() && !isTokenSeparator(text[b])) ++b;
        chunks.bounds[c] = b;
    }
    std::vector<std::int64_t> tokens(count, 0);
    pool.parallelFor(0, static_cast<std::int64_t>(count), [&](std::int64_t lo, std::int64_t hi, int) {
        for (std::int64_t c = lo; c < hi; ++c) {
            tokens[c] = countTokenStarts(text.data() + chunks.bounds[c], text.data() + chunks.bounds[c + 1]);
        }
    });
    chunks.skip.assign(count, 0);
    std::int64_t before = 0;
    for (std::size_t c = 0; c < count; ++c) {
        chunks.skip[c] = static_cast<int>((3 - before % 3) % 3);
        before += tokens[c];
    }
    return chunks;
}

}  // namespace

ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path, bool strict,
                                  int threads) {
    constexpr std::size_t kParallelFrom = std::size_t{4} << 20;
    ThreadPool pool(text.size() >= kParallelFrom ? threads : 1);
    const RecordChunks chunks = splitIntoRecordChunks(text, pool);
    const std::size_t count = chunks.skip.size();
    const auto eachChunk = [&](auto&& body) {
        try {
            pool.parallelFor(0, static_cast<std::int64_t>(count), [&](std::int64_t lo, std::int64_t hi, int) {
                for (std::int64_t c = lo; c < hi; ++c) body(c);
            });
        } catch (const Error&) {
            // Line numbers are only known counting from the start: read the file again in one
            // piece, which stops at the first bad record with its line.
            forEachRecord(text, 0, text.size(), 0, path, strict, [](std::int32_t, std::int32_t) {});
            throw;
        }
    };

    // Sizing pass, so the matrix is allocated once at its final size.
    std::vector<std::int64_t> largest(count, -1);
    eachChunk([&](std::int64_t c) {
        std::int64_t top = -1;
        forEachRecord(text, chunks.bounds[c], chunks.bounds[c + 1], chunks.skip[c], path, strict,
                      [&](std::int32_t a, std::int32_t b) { top = std::max<std::int64_t>(top, std::max(a, b)); });
        largest[c] = top;
    });
    const std::int64_t n = *std::max_element(largest.begin(), largest.end()) + 1;
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
    eachChunk([&](std::int64_t c) {
        forEachRecord(text, chunks.bounds[c], chunks.bounds[c + 1], chunks.skip[c], path, strict,
                      [&](std::int32_t a, std::int32_t b) {
                          // Two chunks may hold the same edge; both store the same byte.
                          if (a >= 0 && b >= 0) {
                              __atomic_store_n(&data[static_cast<std::int64_t>(a) * n + b], CELL_EDGE,
                                               __ATOMIC_RELAXED);
                          }
                      });
    });
    nodeCount = matrix.n;
    cellCount = cells;
    return matrix;
}

ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict, int threads) {
    return parseEdgeList(readWholeFile(path), path, strict, threads);
}

void writeEdgeList(const ByteAdjacencyMatrix& matrix, const std::string& path, int threads) {
    OutputFile file(path);
    const std::int64_t n = matrix.n;
    writeRows(file, n, static_cast<std::size_t>(n) / 4 + 16, threads,
              [&](std::int64_t i, std::string& out) {
                  const std::uint8_t* const row = matrix.cells.data() + i * n;
                  const EdgeRecordFormatter records(i);
                  std::int64_t j = 0;
                  while (j < n) {
                      // Reduced graphs are sparse: skip empty cells eight at a time.
                      std::uint64_t word = 0;
                      if (j + 8 <= n && (std::memcpy(&word, row + j, 8), word == 0)) {
                          j += 8;
                          continue;
                      }
                      if (row[j] != CELL_EMPTY) records.append(j, out);
                      ++j;
                  }
              });
    file.commit();
}

}  // namespace fwprune
