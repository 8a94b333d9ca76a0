// The native edge-list reader: "source word target" records into edge records, read in pieces
// and parsed in parallel chunks.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/edge_record.h"
#include "common/error.h"
#include "common/huge_pages.h"
#include "common/parallel.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "graph_files/piece_reader.h"
#include "graph_files/row_writer.h"
#include "graph_files/text_tokens.h"

namespace fwprune {
namespace {

// Node tokens longer than this are outside the format: "-2147483648" is the longest int.
constexpr std::size_t kMaxNodeTokenLength = 11;

// Node numbers are read by three parsers, fastest first, each declining what it cannot take so the
// next one reads it: readShortRecord (records whose node tokens are plain decimals of up to 8
// digits), the in-place reader in forEachRecord (an optional sign and up to 10 digits within 32
// bits, followed by a separator) and parseNodeNumber (every other token, with the format's limits
// and errors). For every token a faster parser accepts, it must give parseNodeNumber's value; the
// reader's test against a plain token reader (EdgeListReader.AgreesWithAPlainTokenReaderOnRandom-
// Shapes) and the edge-list fuzz targets check that, at every token length and position.

// atoi's reading of a token: an optional sign and the digits that follow it; no digits read as 0.
// Unlike atoi, a value beyond 32 bits is an error rather than undefined behaviour. lineOf() is
// called only on error: counting lines for every token would make lenient files quadratic.
template <typename LineOf>
std::int32_t parseNodeNumber(std::string_view token, const std::string& path, LineOf&& lineOf,
                             bool strict) {
    if (token.size() > kMaxNodeTokenLength) {
        fail(Status::Format,
             describeAt(path, lineOf(),
                        "node number " + quoteToken(token) + " is longer than 11 characters"));
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
        fail(Status::Format,
             describeAt(path, lineOf(), quoteToken(token) + " is not a node number"));
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        fail(Status::Format,
             describeAt(path, lineOf(),
                        "node number " + quoteToken(token) + " does not fit a 32-bit integer"));
    }
    return static_cast<std::int32_t>(value);
}

// The value of a token of 1 to 8 decimal digits at s, with 8 bytes readable there: the digits
// are moved to the top of one 64-bit word (the bytes after the token drop out) and combined in
// pairs, fours and eights by multiplication.
inline std::int32_t eightDigitValue(const char* s, unsigned length) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t v;
    std::memcpy(&v, s, 8);
    v = (v - 0x3030303030303030u) << (8 * (8 - length));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000ff000000ffu) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000ff000000ffu) * (1 + (10000ull << 32)))) >>
        32;
    return static_cast<std::int32_t>(v);
#else
    std::int32_t value = 0;
    for (unsigned i = 0; i < length; ++i) value = value * 10 + (s[i] - '0');
    return value;
#endif
}

// Reads the record whose first token starts at p when it is the common case: three tokens and
// the separator after them within the next 32 bytes, both node tokens plain decimals of up to
// eight digits, and 40 bytes readable from p. Then p moves past the third token; otherwise
// nothing changes and the general reading takes the record.
inline bool readShortRecord(const char*& p, const char* stop, std::int32_t& source,
                            std::int32_t& target) {
#if defined(__SSE2__)
    if (stop - p < 40) return false;
    const std::uint64_t separators = separatorMask16(p) | std::uint64_t{separatorMask16(p + 16)}
                                                              << 16;
    const std::uint64_t digits = digitMask16(p) | std::uint64_t{digitMask16(p + 16)} << 16;
    const std::uint64_t tokenBytes = ~separators & 0xffffffffu;
    const auto firstFrom = [](std::uint64_t bits, unsigned from) {
        const std::uint64_t rest = bits & (~std::uint64_t{0} << from);
        return rest == 0 ? 64u : static_cast<unsigned>(__builtin_ctzll(rest));
    };
    const unsigned end1 = firstFrom(separators, 0);
    if (end1 > 8) return false;
    const unsigned start2 = firstFrom(tokenBytes, end1);
    if (start2 >= 32) return false;
    const unsigned end2 = firstFrom(separators, start2);
    if (end2 >= 32) return false;
    const unsigned start3 = firstFrom(tokenBytes, end2);
    if (start3 >= 32) return false;
    const unsigned end3 = firstFrom(separators, start3);
    const unsigned length3 = end3 - start3;
    if (end3 >= 32 || length3 > 8) return false;
    const auto allDigits = [&](unsigned from, unsigned length) {
        const std::uint64_t want = ((std::uint64_t{1} << length) - 1) << from;
        return (digits & want) == want;
    };
    if (!allDigits(0, end1) || !allDigits(start3, length3)) return false;
    source = eightDigitValue(p, end1);
    target = eightDigitValue(p + start3, length3);
    p += end3;
    return true;
#else
    (void)p, (void)stop, (void)source, (void)target;
    return false;
#endif
}

// The error for a file that ends inside the record whose first token starts at first; kept out of
// the record loop, which never needs it otherwise.
[[noreturn]] __attribute__((cold, noinline)) void failEndsInsideRecord(
    const std::string& path, long long line, const char* first, const char* word,
    const char* wordEnd, const char* stop) {
    const std::string_view firstToken(
        first, static_cast<std::size_t>(std::find_if(first, stop, isTokenSeparator) - first));
    const std::string found =
        word == wordEnd
            ? "only " + quoteToken(firstToken)
            : quoteToken(firstToken) + " " +
                  quoteToken(std::string_view(word, static_cast<std::size_t>(wordEnd - word)));
    fail(
        Status::Format,
        describeAt(path, line,
                   "the file ends inside a record: expected 'source word target', found " + found));
}

// Calls record(source, target) for every record of three tokens whose first token starts in
// [begin, end), after skipping `skip` tokens at begin (the tail of a record that started earlier);
// a record may run on past end. The middle word is ignored whatever its length. A file that ends
// inside a record is an error, not a silent drop. Lines are counted only to report an error.
// firstLine is the number of the text's first line in the file.
template <typename Record>
void forEachRecord(std::string_view text, std::size_t begin, std::size_t end, int skip,
                   const std::string& path, bool strict, long long firstLine, Record&& record) {
    const char* const base = text.data();
    const char* const stop = base + text.size();
    const char* const lastStart = base + end;
    const char* p = base + begin;
    const auto skipSeparators = [&] {
        while (p < stop && isTokenSeparator(*p)) ++p;
    };
    const auto skipToken = [&] {
        while (p < stop && !isTokenSeparator(*p)) ++p;
    };
    const auto lineAt = [&](const char* at) { return firstLine + countLineFeeds(base, at); };
    // A plain decimal of up to ten digits followed by a separator is read in place; anything
    // else goes through the general reading with its checks.
    const auto node = [&]() -> std::int32_t {
        const char* const start = p;
        const char* q = p;
        const bool negative = *q == '-';
        if (*q == '-' || *q == '+') ++q;
        const char* const digits = q;
        std::int64_t value = 0;
        while (q < stop && q - digits < 10 && static_cast<unsigned>(*q - '0') < 10u) {
            value = value * 10 + (*q++ - '0');
        }
        if (negative) value = -value;
        if (q > digits && (q == stop || isTokenSeparator(*q)) &&
            value >= std::numeric_limits<std::int32_t>::min() &&
            value <= std::numeric_limits<std::int32_t>::max()) {
            p = q;
            return static_cast<std::int32_t>(value);
        }
        skipToken();
        return parseNodeNumber(
            std::string_view(start, static_cast<std::size_t>(p - start)), path,
            [&] { return lineAt(start); }, strict);
    };
    for (int s = 0; s < skip; ++s) {
        skipSeparators();
        skipToken();
    }
    for (;;) {
        fetchTextAhead(p, stop);
        skipSeparators();
        if (p >= lastStart || p >= stop) return;
        std::int32_t source = 0;
        std::int32_t target = 0;
        if (readShortRecord(p, stop, source, target)) {
            record(source, target);
            continue;
        }
        const char* const first = p;
        source = node();
        skipSeparators();
        const char* const word = p;
        skipToken();
        const char* const wordEnd = p;
        skipSeparators();
        if (p == stop) failEndsInsideRecord(path, lineAt(first), first, word, wordEnd, stop);
        record(source, node());
    }
}

// A piece of text cut into chunks that end at separators, so that no token straddles two, with
// the token starts of each chunk and the line feeds of the whole, counted in one pass on the
// pool's threads. The count places each chunk's records, and tells where the piece's last whole
// record ends; the line feeds number the lines of the next piece.
struct PieceCounts {
    std::vector<std::size_t> bounds;
    std::vector<std::int64_t> tokens;
    long long lineFeeds = 0;
};

// Chunks of at least this many bytes, a few a thread so that uneven ones even out.
constexpr std::size_t kMinChunk = std::size_t{128} << 10;

PieceCounts countPiece(std::string_view text, ThreadPool* pool) {
    const std::size_t count =
        !pool || pool->size() == 1
            ? 1
            : std::max<std::size_t>(
                  1, std::min<std::size_t>(static_cast<std::size_t>(pool->size()) * 4,
                                           text.size() / kMinChunk));
    PieceCounts counts;
    counts.bounds = chunkBoundsAtSeparators(text, count);
    counts.tokens.assign(count, 0);
    std::vector<std::int64_t> feeds(count, 0);
    const auto countChunk = [&](std::size_t c) {
        counts.tokens[c] = countTokensAndLines(text.data() + counts.bounds[c],
                                               text.data() + counts.bounds[c + 1], &feeds[c]);
    };
    if (count == 1) {
        countChunk(0);
    } else {
        pool->parallelFor(0, static_cast<std::int64_t>(count),
                          [&](std::int64_t lo, std::int64_t hi, int) {
                              for (std::int64_t c = lo; c < hi; ++c)
                                  countChunk(static_cast<std::size_t>(c));
                          });
    }
    for (const std::int64_t f : feeds) counts.lineFeeds += f;
    return counts;
}

// For each chunk, the number of tokens to skip so that it starts at a record's first token, and
// the number of records that start in it (every third token after the skipped ones).
struct RecordChunks {
    std::vector<std::size_t> bounds;
    std::vector<int> skip;
    std::vector<std::size_t> records;
};

RecordChunks recordChunksOf(const PieceCounts& counts) {
    const std::size_t count = counts.tokens.size();
    RecordChunks chunks;
    chunks.bounds = counts.bounds;
    chunks.skip.assign(count, 0);
    chunks.records.assign(count, 0);
    std::int64_t before = 0;
    for (std::size_t c = 0; c < count; ++c) {
        chunks.skip[c] = static_cast<int>((3 - before % 3) % 3);
        chunks.records[c] = static_cast<std::size_t>(
                                std::max<std::int64_t>(0, counts.tokens[c] - chunks.skip[c]) + 2) /
                            3;
        before += counts.tokens[c];
    }
    return chunks;
}

// Parses a file's records piece by piece: each piece is cut after its last whole record, parsed
// in parallel chunks, and the rest carried over to the next piece.
class RecordReader {
  public:
    // progress hears the share of totalBytes parsed, per piece and per chunk (nothing when the
    // size is unknown).
    RecordReader(const std::string& path, bool strict, Workers workers,
                 const ProgressFunction& progress = {}, std::size_t totalBytes = 0)
        : path_(path),
          strict_(strict),
          workers_(std::move(workers)),
          progress_(totalBytes > 0 ? progress : ProgressFunction()),
          totalBytes_(static_cast<double>(totalBytes)) {}

    // Parses the whole records at the front of text and returns the bytes they take; at the end
    // of the file, all of it (a file that ends inside a record is an error).
    std::size_t consume(std::string_view text, bool atEnd) {
        startPoolFor(text.size());
        PieceCounts counts;
        const std::size_t cut = atEnd ? text.size() : lastRecordBoundary(text, counts);
        if (cut == 0) return 0;
        if (atEnd) counts = countPiece(text, pool_);
        parse(text.substr(0, cut), counts);
        line_ += counts.lineFeeds;
        parsedBytes_ += cut;
        report(0);
        return cut;
    }

    EdgeRecords finish() {
        records_.n = largest_ + 1;
        return std::move(records_);
    }

    // Runs read(), turning a failed allocation into an error that names the file.
    template <typename Read>
    static EdgeRecords guarded(const std::string& path, Read&& read) {
        return reportingOutOfMemory(
            [&] { return describeAt(path, "not enough memory for the edges of the file"); }, read);
    }

    // Before the buffer grows to hold more of the one record at text's front: a node token that
    // is already longer than a node number can be is an error now, not once the whole of it has
    // been read (a file of NUL bytes is a single token). The middle word may be any length.
    void checkUnfinishedRecord(std::string_view text) const {
        TokenScanner tokens(text);
        for (int field = 0; field < 3; ++field) {
            const std::string_view token = tokens.next();
            if (token.empty()) return;
            if (field != 1 && token.size() > kMaxNodeTokenLength) {
                parseNodeNumber(
                    token, path_, [&] { return line_ + tokens.line() - 1; }, strict_);
            }
        }
    }

    void reserve(std::size_t fileBytes) {
        // The shortest record takes six bytes, a typical one about fifteen. The sparse route
        // takes the records over as its own memory and sorts them, so they go on huge pages.
        reserveHugePages(records_.records, fileBytes / 12);
    }

  private:
    // Where the record that the text's last whole token belongs to starts, or the text's end
    // when its last record is whole; 0 when no record is known to be whole yet. counts become
    // those of the text before that place.
    std::size_t lastRecordBoundary(std::string_view text, PieceCounts& counts) {
        std::size_t end = text.size();
        while (end > 0 && !isTokenSeparator(text[end - 1])) --end;  // a token may go on
        counts = countPiece(text.substr(0, end), pool_);
        std::int64_t tokens = 0;
        for (const std::int64_t t : counts.tokens) tokens += t;
        if (tokens < 3) return 0;
        const std::size_t whole = end;
        // The tokens of the last record begun are left for the next piece, uncounted.
        for (std::int64_t extra = tokens % 3; extra > 0; --extra) {
            while (end > 0 && isTokenSeparator(text[end - 1])) --end;
            while (end > 0 && !isTokenSeparator(text[end - 1])) --end;
            const auto chunk = std::upper_bound(counts.bounds.begin(), counts.bounds.end(), end) -
                               counts.bounds.begin() - 1;
            --counts.tokens[static_cast<std::size_t>(chunk)];
        }
        counts.lineFeeds -= countLineFeeds(text.data() + end, text.data() + whole);
        for (std::size_t& bound : counts.bounds) bound = std::min(bound, end);
        return end;
    }

    // Texts this large are parsed on the pool; smaller ones are not worth starting it for.
    static constexpr std::size_t kParallelFrom = std::size_t{256} << 10;

    void startPoolFor(std::size_t bytes) {
        if (!pool_ && bytes >= kParallelFrom) pool_ = &workers_.pool();
    }

    // Tells of the bytes parsed before this piece and `more` of it.
    void report(double more) const {
        if (progress_) {
            progress_(std::min(1.0, (static_cast<double>(parsedBytes_) + more) / totalBytes_));
        }
    }

    // parse() on the calling thread alone.
    void parseSerially(std::string_view text) {
        auto& out = records_.records;
        std::int64_t top = largest_;
        forEachRecord(text, 0, text.size(), 0, path_, strict_, line_,
                      [&](std::int32_t a, std::int32_t b) {
                          top = std::max<std::int64_t>(top, std::max(a, b));
                          if ((a | b) >= 0)
                              out.push_back(EdgeRecord::pack(std::uint32_t(a), std::uint32_t(b)));
                      });
        largest_ = top;
    }

    // Parses the records of text, which ends at a record's end, in the chunks counted.
    void parse(std::string_view text, const PieceCounts& counts) {
        auto& out = records_.records;
        const RecordChunks chunks = recordChunksOf(counts);
        const std::size_t count = chunks.skip.size();
        if (count == 1) return parseSerially(text);
        // Each chunk writes its records straight into its own slice of the records, sized by the
        // records that start in it; slices are closed up afterwards where records with a
        // negative node left gaps.
        std::vector<std::size_t> start(count + 1, out.size());
        for (std::size_t c = 0; c < count; ++c) start[c + 1] = start[c] + chunks.records[c];
        out.resize(start[count]);
        std::vector<std::size_t> used(count, 0);
        std::vector<std::int64_t> largest(count, -1);
        std::atomic<bool> overfull{false};
        std::atomic<std::int64_t> finished{0};
        try {
            pool_->parallelFor(
                0, static_cast<std::int64_t>(count),
                [&](std::int64_t lo, std::int64_t hi, int worker) {
                    for (std::int64_t c = lo; c < hi; ++c) {
                        std::int64_t top = -1;
                        std::uint64_t* const slice = out.data() + start[c];
                        const std::size_t room = chunks.records[c];
                        std::size_t k = 0;
                        forEachRecord(text, chunks.bounds[c], chunks.bounds[c + 1], chunks.skip[c],
                                      path_, strict_, line_, [&](std::int32_t a, std::int32_t b) {
                                          top = std::max<std::int64_t>(top, std::max(a, b));
                                          if ((a | b) < 0) return;
                                          // The token count bounds the records; should they
                                          // ever disagree, the piece is read again serially.
                                          if (k == room) {
                                              overfull = true;
                                              return;
                                          }
                                          slice[k++] =
                                              EdgeRecord::pack(std::uint32_t(a), std::uint32_t(b));
                                      });
                        used[c] = k;
                        largest[c] = top;
                        // The calling thread tells of the chunks finished by all.
                        const std::int64_t done = ++finished;
                        if (worker == 0) {
                            report(static_cast<double>(text.size()) * static_cast<double>(done) /
                                   static_cast<double>(count));
                        }
                    }
                });
        } catch (const Error&) {
            out.resize(start[0]);
            // Report the first bad record of the piece, whichever chunk met an error first.
            forEachRecord(text, 0, text.size(), 0, path_, strict_, line_,
                          [](std::int32_t, std::int32_t) {});
            throw;
        }
        if (overfull) {
            out.resize(start[0]);
            parseSerially(text);
            return;
        }
        std::size_t end = start[0];
        for (std::size_t c = 0; c < count; ++c) {
            if (end != start[c] && used[c] > 0) {
                std::memmove(out.data() + end, out.data() + start[c], used[c] * sizeof out[0]);
            }
            end += used[c];
            largest_ = std::max(largest_, largest[c]);
        }
        out.resize(end);
    }

    const std::string& path_;
    bool strict_;
    Workers workers_;
    ProgressFunction progress_;
    double totalBytes_;
    std::size_t parsedBytes_ = 0;
    ThreadPool* pool_ = nullptr;
    long long line_ = 1;
    std::int64_t largest_ = -1;
    EdgeRecords records_;
};

// Pieces small enough for a watcher to see a few dozen steps, but never so small that they would
// be parsed on one thread where they would not be otherwise.
std::size_t pieceBytesFor(std::size_t pieceBytes, std::size_t totalBytes,
                          const ProgressFunction& progress) {
    if (!progress) return pieceBytes;
    return std::min(pieceBytes, std::max<std::size_t>(std::size_t{256} << 10, totalBytes / 32));
}

}  // namespace

EdgeRecords parseEdgeRecords(std::string_view text, const std::string& path, bool strict,
                             Workers workers, std::size_t pieceBytes,
                             const ProgressFunction& progress) {
    return RecordReader::guarded(path, [&] {
        RecordReader reader(path, strict, std::move(workers), progress, text.size());
        pieceBytes = pieceBytesFor(pieceBytes, text.size(), progress);
        std::size_t begin = 0;
        std::size_t end = 0;
        do {
            end = std::min(text.size(), end + std::max<std::size_t>(pieceBytes, 1));
            begin += reader.consume(text.substr(begin, end - begin), end == text.size());
        } while (end < text.size());
        return reader.finish();
    });
}

EdgeRecords readEdgeRecords(const std::string& path, bool strict, Workers workers,
                            std::size_t pieceBytes, const ProgressFunction& progress) {
    return RecordReader::guarded(path, [&] {
        InputFile file(path);
        RecordReader reader(path, strict, std::move(workers), progress, file.sizeHint());
        pieceBytes = pieceBytesFor(pieceBytes, file.sizeHint(), progress);
        reader.reserve(file.sizeHint());
        // Pieces of at least 64 bytes: smaller ones would hold no whole record ever more often.
        pieceBytes = std::max<std::size_t>(pieceBytes, 64);
        const auto consume = [&](std::string_view text, bool atEnd) {
            return reader.consume(text, atEnd);
        };
        const auto tooLong = [&](std::string_view carried) {
            reader.checkUnfinishedRecord(carried);
        };
        // Mapped, a regular file is parsed where the system keeps it, without a copy.
        if (!readMappedPieces(file, pieceBytes, consume, tooLong))
            readPieces(file, pieceBytes, consume, tooLong);
        return reader.finish();
    });
}

ByteAdjacencyMatrix adjacencyMatrixOf(const EdgeRecords& graph, const std::string& path) {
    const std::int32_t cells = checkedCellCount(graph.n, path);
    ByteAdjacencyMatrix matrix;
    matrix.n = static_cast<std::int32_t>(graph.n);
    reportingOutOfMemory(
        [&] {
            return describeAt(
                path, "not enough memory for a matrix of " + std::to_string(graph.n) + " nodes");
        },
        [&] { matrix.cells.assign(static_cast<std::size_t>(cells), CELL_EMPTY); });
    const std::size_t n = static_cast<std::size_t>(graph.n);
    for (const std::uint64_t record : graph.records)
        matrix.cells[EdgeRecord::source(record) * n + EdgeRecord::target(record)] = CELL_EDGE;
    return matrix;
}

ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path, bool strict,
                                  Workers workers) {
    return adjacencyMatrixOf(parseEdgeRecords(text, path, strict, std::move(workers)), path);
}

ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict, Workers workers) {
    return adjacencyMatrixOf(readEdgeRecords(path, strict, std::move(workers)), path);
}

}  // namespace fwprune
