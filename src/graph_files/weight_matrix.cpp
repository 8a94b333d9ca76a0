#include "graph_files/weight_matrix.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "common/error.h"
#include "common/parallel.h"
#include "graph_files/file_io.h"
#include "graph_files/number_text.h"
#include "graph_files/row_writer.h"
#include "graph_files/text_tokens.h"

namespace fwprune {
namespace {

// The number of tokens on the first line: blanks, tabs and the line feed separate them, and a
// carriage return right before the line feed (or the end of the file) belongs to the line end.
std::int64_t countFirstLineTokens(std::string_view text) {
    std::int64_t count = 0;
    bool inToken = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool lineEnd = c == '\n';
        const bool crAtLineEnd = c == '\r' && (i + 1 == text.size() || text[i + 1] == '\n');
        if (c == ' ' || c == '\t' || lineEnd || crAtLineEnd) {
            if (inToken) ++count;
            inToken = false;
            if (lineEnd) return count;
        } else {
            inToken = true;
        }
    }
    return count + (inToken ? 1 : 0);
}

}  // namespace

WeightMatrix parseWeightMatrix(std::string_view text, const std::string& path, bool strict,
                               int threads, const ProgressFunction& progress) {
    const std::int64_t n = countFirstLineTokens(text);
    const std::int32_t cells = checkedCellCount(n, path);
    WeightMatrix matrix;
    matrix.n = static_cast<std::int32_t>(n);
    try {
        matrix.cells.resize(static_cast<std::size_t>(cells));
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory,
             describeAt(path, "not enough memory for a matrix of " + std::to_string(n) + " nodes"));
    }

    // Chunks end at separators, so no token straddles two; a token belongs to the chunk it
    // starts in. Counting tokens per chunk first gives each chunk the index of its first value.
    constexpr std::size_t kMinChunk = std::size_t{1} << 20;
    ThreadPool pool(text.size() >= 2 * kMinChunk ? threads : 1);
    // At least 32 chunks where the text allows, so progress moves in small steps.
    const std::size_t chunkCount = std::max<std::size_t>(
        1,
        std::min<std::size_t>(std::max<std::size_t>(static_cast<std::size_t>(pool.size()) * 4, 32),
                              text.size() / kMinChunk));
    std::vector<std::size_t> bounds(chunkCount + 1, text.size());
    bounds[0] = 0;
    for (std::size_t c = 1; c < chunkCount; ++c) {
        std::size_t b = std::max(bounds[c - 1], text.size() * c / chunkCount);
        while (b < text.size() && !isTokenSeparator(text[b])) ++b;
        bounds[c] = b;
    }
    // Counting is a fifth of the progress, converting the rest; the calling thread reports the
    // chunks finished by all.
    std::atomic<std::int64_t> finished{0};
    const auto chunkDone = [&](int worker) {
        const std::int64_t done = ++finished;
        if (worker == 0 && progress) {
            const double share = static_cast<double>(done) / static_cast<double>(chunkCount);
            progress(share <= 1 ? share / 5 : 0.2 + (share - 1) * 0.8);
        }
    };
    std::vector<std::int64_t> firstIndex(chunkCount + 1, 0);
    pool.parallelFor(0, static_cast<std::int64_t>(chunkCount),
                     [&](std::int64_t lo, std::int64_t hi, int worker) {
                         for (std::int64_t c = lo; c < hi; ++c) {
                             firstIndex[c + 1] = countTokenStarts(text.data() + bounds[c],
                                                                  text.data() + bounds[c + 1]);
                             chunkDone(worker);
                         }
                     });
    for (std::size_t c = 0; c < chunkCount; ++c) firstIndex[c + 1] += firstIndex[c];
    const auto lineAt = [&](std::size_t offset) {
        return 1 + static_cast<long long>(std::count(text.begin(), text.begin() + offset, '\n'));
    };
    if (firstIndex[chunkCount] < cells) {
        // Name the line of the last value the file has.
        std::size_t end = text.size();
        while (end > 0 && isTokenSeparator(text[end - 1])) --end;
        fail(Status::Format,
             describeAt(path, lineAt(end),
                        "the matrix has " + std::to_string(n) + " columns on its first line, so " +
                            std::to_string(static_cast<std::int64_t>(cells)) +
                            " values are needed, but the file ends after " +
                            std::to_string(firstIndex[chunkCount]) + " values"));
    }

    float* const out = matrix.cells.data();
    // In strict mode each chunk remembers its first bad token; the earliest one is reported.
    std::vector<std::size_t> badOffset(chunkCount, text.size());
    std::vector<std::string_view> badToken(chunkCount);
    pool.parallelFor(
        0, static_cast<std::int64_t>(chunkCount),
        [&](std::int64_t lo, std::int64_t hi, int worker) {
            for (std::int64_t c = lo; c < hi; ++c) {
                const std::string_view chunk = text.substr(bounds[c], bounds[c + 1] - bounds[c]);
                TokenScanner scanner(chunk);
                for (std::int64_t index = firstIndex[c]; index < cells; ++index) {
                    const std::string_view token = scanner.next();
                    if (token.empty()) break;
                    bool whole = true;
                    out[index] = parseWeight(token, strict ? &whole : nullptr);
                    if (!whole) {
                        badOffset[c] =
                            bounds[c] + static_cast<std::size_t>(token.data() - chunk.data());
                        badToken[c] = token;
                        break;
                    }
                }
                chunkDone(worker);
            }
        });
    for (std::size_t c = 0; c < chunkCount; ++c) {
        if (badOffset[c] == text.size()) continue;
        fail(Status::Format,
             describeAt(path, lineAt(badOffset[c]), quoteToken(badToken[c]) + " is not a number"));
    }
    nodeCount = matrix.n;
    cellCount = cells;
    return matrix;
}

WeightMatrix readWeightMatrix(const std::string& path, bool strict, int threads,
                              const ProgressFunction& progress) {
    return parseWeightMatrix(readWholeFile(path), path, strict, threads, progress);
}

void writeWeightMatrix(const WeightMatrix& matrix, const std::string& path, int threads) {
    OutputFile file(path);
    writeWeightMatrix(matrix, file, threads);
    file.commit();
}

void writeWeightEdgeList(const WeightMatrix& matrix, const std::string& path, int threads) {
    OutputFile file(path);
    writeWeightEdgeList(matrix, file, threads);
    file.commit();
}

void writeWeightMatrix(const WeightMatrix& matrix, OutputFile& file, int threads,
                       const ProgressFunction& progress) {
    const std::int64_t n = matrix.n;
    const float* const cells = matrix.cells.data();
    writeRows(
        file, n, static_cast<std::size_t>(n) * 15, threads,
        [&](std::int64_t i, std::string& out) {
            const float* const row = cells + i * n;
            const std::size_t start = out.size();
            out.resize(start + static_cast<std::size_t>(n) * 16 + 1);
            char* p = &out[start];
            for (std::int64_t j = 0; j < n; ++j) {
                if (j > 0) *p++ = ' ';
                p = formatWeight(row[j], p);
            }
            *p++ = '\n';
            out.resize(static_cast<std::size_t>(p - out.data()));
        },
        progress);
}

void writeWeightEdgeList(const WeightMatrix& matrix, OutputFile& file, int threads,
                         const ProgressFunction& progress) {
    const float* const cells = matrix.cells.data();
    const std::int64_t n = matrix.n;
    // NaN cells are written: they compare unequal to the absent mark.
    writeEdgeRecords(
        n, file, threads,
        [&](std::int64_t i, std::int64_t j) { return !(cells[i * n + j] == WEIGHT_ABSENT); },
        progress);
}

}  // namespace fwprune
