#include "graph_files/weight_matrix.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "common/error.h"
#include "common/parallel.h"
#include "graph_files/file_io.h"
#include "graph_files/number_text.h"
#include "graph_files/piece_reader.h"
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

// Fills a matrix from its text block by block. Each block ends at a token boundary (or at the end
// of the input) and is parsed in parallel chunks: chunks end at separators, so no token straddles
// two, and counting the tokens of each chunk first gives it the index of its first value.
class MatrixText {
  public:
    // progress hears the share of totalBytes parsed (nothing when the size is unknown).
    MatrixText(WeightMatrix& matrix, const std::string& path, bool strict, ThreadPool& pool,
               const ProgressFunction& progress = {}, std::size_t totalBytes = 0)
        : out_(matrix.cells.data()),
          cells_(static_cast<std::int64_t>(matrix.cells.size())),
          path_(path),
          strict_(strict),
          pool_(pool),
          progress_(totalBytes > 0 ? progress : ProgressFunction()),
          totalBytes_(static_cast<double>(totalBytes)) {}

    bool full() const { return values_ >= cells_; }

    void parse(std::string_view block) {
        constexpr std::size_t kMinChunk = std::size_t{1} << 20;
        const int workers = block.size() >= 2 * kMinChunk ? pool_.size() : 1;
        const std::size_t chunkCount = std::max<std::size_t>(
            1,
            std::min<std::size_t>(static_cast<std::size_t>(workers) * 4, block.size() / kMinChunk));
        const std::vector<std::size_t> bounds = chunkBoundsAtSeparators(block, chunkCount);
        std::vector<std::int64_t> firstIndex(chunkCount + 1, 0);
        std::vector<std::int64_t> lineEnds(chunkCount, 0);
        // Counting is a fifth of a block's progress, converting the rest; the calling thread
        // tells of the chunks finished by all.
        std::atomic<std::size_t> finished{0};
        const auto chunkDone = [&](int worker, double from, double share) {
            const std::size_t done = ++finished;
            if (worker == 0 && progress_) {
                report(
                    static_cast<double>(block.size()) *
                    (from + share * static_cast<double>(done) / static_cast<double>(chunkCount)));
            }
        };
        const auto eachChunk = [&](const auto& body, double from, double share) {
            finished = 0;
            if (workers == 1) {
                for (std::size_t c = 0; c < chunkCount; ++c) {
                    body(c);
                    chunkDone(0, from, share);
                }
                return;
            }
            pool_.parallelFor(0, static_cast<std::int64_t>(chunkCount),
                              [&](std::int64_t lo, std::int64_t hi, int worker) {
                                  for (auto c = static_cast<std::size_t>(lo);
                                       c < static_cast<std::size_t>(hi); ++c) {
                                      body(c);
                                      chunkDone(worker, from, share);
                                  }
                              });
        };
        eachChunk(
            [&](std::size_t c) {
                const char* const begin = block.data() + bounds[c];
                const char* const end = block.data() + bounds[c + 1];
                firstIndex[c + 1] = countTokensAndLines(begin, end, &lineEnds[c]);
            },
            0.0, 0.2);
        firstIndex[0] = values_;
        for (std::size_t c = 0; c < chunkCount; ++c) firstIndex[c + 1] += firstIndex[c];

        // In strict mode each chunk remembers its first bad token; the earliest one is reported.
        std::vector<std::size_t> badOffset(chunkCount, block.size());
        std::vector<std::string_view> badToken(chunkCount);
        float* const out = out_;
        eachChunk(
            [&](std::size_t c) {
                const std::int64_t first = firstIndex[c];
                if (first >= cells_) return;
                std::string_view bad;
                parseWeightRun(block.data() + bounds[c], block.data() + bounds[c + 1], out + first,
                               cells_ - first, strict_, &bad);
                if (!bad.empty()) {
                    badOffset[c] = static_cast<std::size_t>(bad.data() - block.data());
                    badToken[c] = bad;
                }
            },
            0.2, 0.8);
        for (std::size_t c = 0; c < chunkCount; ++c) {
            if (badOffset[c] == block.size()) continue;
            fail(Status::Format, describeAt(path_, lineAt(block, badOffset[c]),
                                            quoteToken(badToken[c]) + " is not a number"));
        }
        if (firstIndex[chunkCount] > values_) {
            // The line of the block's last value, for the message of a file that ends too soon.
            std::size_t last = block.size();
            while (last > 0 && isTokenSeparator(block[last - 1])) --last;
            lastValueLine_ = lineAt(block, last);
        }
        values_ = firstIndex[chunkCount];
        for (const std::int64_t ends : lineEnds) linesBefore_ += ends;
        parsedBytes_ += block.size();
        report(0);
    }

    // Throws the Format error of a file that ended before the matrix was full.
    void requireFull(std::int64_t n) const {
        if (full()) return;
        fail(
            Status::Format,
            describeAt(path_, lastValueLine_,
                       "the matrix has " + std::to_string(n) + " columns on its first line, so " +
                           std::to_string(cells_) + " values are needed, but the file ends after " +
                           std::to_string(values_) + " values"));
    }

  private:
    // Tells of the bytes parsed before this block and `more` of it.
    void report(double more) const {
        if (progress_) {
            progress_(std::min(1.0, (static_cast<double>(parsedBytes_) + more) / totalBytes_));
        }
    }

    // The 1-based line of an offset in the current block.
    long long lineAt(std::string_view block, std::size_t offset) const {
        return 1 + linesBefore_ + countLineFeeds(block.data(), block.data() + offset);
    }

    float* const out_;
    const std::int64_t cells_;
    const std::string& path_;
    const bool strict_;
    ThreadPool& pool_;
    const ProgressFunction progress_;
    const double totalBytes_;
    std::size_t parsedBytes_ = 0;
    std::int64_t values_ = 0;
    long long linesBefore_ = 0;
    long long lastValueLine_ = 1;
};

// n from the first line, and a matrix of n * n cells. Where that matrix is large, a text of
// textBytes bytes (0 when unknown) that cannot hold its values is refused first: every value but
// the last takes a character and a separator at least, and a short file must not cost the memory
// of the matrix it names. (A small one is parsed, for a message that names the line it ends on.)
WeightMatrix allocateMatrix(std::string_view firstLine, const std::string& path,
                            std::size_t textBytes) {
    const std::int64_t n = countFirstLineTokens(firstLine);
    const std::int32_t cells = checkedCellCount(n, path);
    const std::uint64_t mostValues = (std::uint64_t{textBytes} + 1) / 2;
    constexpr std::uint64_t kLargeMatrixBytes = std::uint64_t{64} << 20;
    if (textBytes > 0 && mostValues < static_cast<std::uint64_t>(cells) &&
        static_cast<std::uint64_t>(cells) * sizeof(float) > kLargeMatrixBytes) {
        fail(
            Status::Format,
            describeAt(path, "the matrix has " + std::to_string(n) +
                                 " columns on its first line, so " + std::to_string(cells) +
                                 " values are needed, but the file's " + std::to_string(textBytes) +
                                 " bytes hold at most " + std::to_string(mostValues)));
    }
    WeightMatrix matrix;
    matrix.n = static_cast<std::int32_t>(n);
    reportingOutOfMemory(
        [&] {
            return describeAt(path,
                              "not enough memory for a matrix of " + std::to_string(n) + " nodes");
        },
        [&] { matrix.cells.resize(static_cast<std::size_t>(cells)); });
    return matrix;
}

// Bytes read at a time: the reader holds about this much text, whatever the file's size.
constexpr std::size_t kReadBlock = std::size_t{4} << 20;

}  // namespace

WeightMatrix parseWeightMatrix(std::string_view text, const std::string& path, bool strict,
                               Workers workers, const ProgressFunction& progress) {
    WeightMatrix matrix = allocateMatrix(text, path, text.size());
    ThreadPool serial(1);
    ThreadPool& pool = text.size() >= (std::size_t{2} << 20) ? workers.pool() : serial;
    MatrixText values(matrix, path, strict, pool, progress, text.size());
    for (std::size_t begin = 0; begin < text.size() && !values.full();) {
        std::size_t end = std::min(text.size(), begin + kReadBlock);
        while (end < text.size() && !isTokenSeparator(text[end])) ++end;
        values.parse(text.substr(begin, end - begin));
        begin = end;
        pollCancelled();
    }
    values.requireFull(matrix.n);
    return matrix;
}

namespace detail {

WeightMatrix readWeightMatrix(const std::string& path, bool strict, Workers workers,
                              std::size_t blockBytes, const ProgressFunction& progress) {
    InputFile file(path);
    const bool large = file.sizeHint() == 0 || file.sizeHint() >= (std::size_t{2} << 20);
    ThreadPool serial(1);
    ThreadPool& pool = large ? workers.pool() : serial;
    WeightMatrix matrix;
    std::optional<MatrixText> values;
    readPieces(
        file, blockBytes,
        [&](std::string_view text, bool atEnd) -> std::size_t {
            if (!values) {
                // The first line is taken whole: it fixes n, and it is row 0.
                if (!atEnd && text.find('\n') == std::string_view::npos) return 0;
                matrix = allocateMatrix(text, path, file.sizeHint());
                values.emplace(matrix, path, strict, pool, progress, file.sizeHint());
            }
            // A block ends after its last separator; the partial token after it waits for more
            // text.
            std::size_t end = text.size();
            if (!atEnd) {
                while (end > 0 && !isTokenSeparator(text[end - 1])) --end;
                if (end == 0) return 0;  // one token longer than a block
            }
            values->parse(text.substr(0, end));
            pollCancelled();
            return values->full() ? kStopReading : end;
        },
        [](std::string_view) {});
    values->requireFull(matrix.n);
    return matrix;
}

}  // namespace detail

WeightMatrix readWeightMatrix(const std::string& path, bool strict, Workers workers,
                              const ProgressFunction& progress) {
    return detail::readWeightMatrix(path, strict, std::move(workers), kReadBlock, progress);
}

void writeWeightMatrix(const WeightMatrix& matrix, const std::string& path, Workers workers) {
    OutputFile file(path);
    writeWeightMatrix(matrix, file, std::move(workers));
    file.commit();
}

void writeWeightEdgeList(const WeightMatrix& matrix, const std::string& path, Workers workers) {
    OutputFile file(path);
    writeWeightEdgeList(matrix, file, std::move(workers));
    file.commit();
}

void writeWeightMatrix(const WeightMatrix& matrix, OutputFile& file, Workers workers,
                       const ProgressFunction& progress) {
    const std::int64_t n = matrix.n;
    const float* const cells = matrix.cells.data();
    // formatWeight writes at most 16 bytes, and each value is followed by a blank or a line feed.
    writeBoundedRows(
        file, n, static_cast<std::size_t>(n) * 17, std::move(workers),
        [&](std::int64_t i, char* p) {
            const float* const row = cells + i * n;
            for (std::int64_t j = 0; j < n; ++j) {
                p = formatWeight(row[j], p);
                *p++ = ' ';
            }
            p[-1] = '\n';
            return p;
        },
        progress);
}

void writeWeightEdgeList(const WeightMatrix& matrix, OutputFile& file, Workers workers,
                         const ProgressFunction& progress) {
    const float* const cells = matrix.cells.data();
    const std::int64_t n = matrix.n;
    // NaN cells are written: they compare unequal to the absent mark.
    writeEdgeRecords(
        n, file, std::move(workers),
        [&](std::int64_t i, std::int64_t j) { return !(cells[i * n + j] == WEIGHT_ABSENT); },
        progress);
}

}  // namespace fwprune
