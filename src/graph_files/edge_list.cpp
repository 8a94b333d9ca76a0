#include "graph_files/edge_list.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/error.h"
#include "common/parallel.h"
#include "graph_files/file_io.h"
#include "graph_files/row_writer.h"
#include "graph_files/text_tokens.h"

namespace fwprune {
namespace {

// Node tokens longer than this are outside the format (its reader holds 11 characters).
constexpr std::size_t kMaxNodeTokenLength = 11;

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

// Calls record(source, target) for every record of three tokens whose first token starts in
// [begin, end), after skipping `skip` tokens at begin (the tail of a record that started earlier);
// a record may run on past end. The middle word is ignored whatever its length. A file that ends
// inside a record is an error, not a silent drop. Lines are counted only to report an error.
template <typename Record>
void forEachRecord(std::string_view text, std::size_t begin, std::size_t end, int skip,
                   const std::string& path, bool strict, Record&& record) {
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
    const auto lineAt = [&](const char* at) {
        return 1 + static_cast<long long>(std::count(base, at, '\n'));
    };
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
        if (p == stop) {
            const std::string firstToken(
                first,
                static_cast<std::size_t>(std::find_if(first, stop, isTokenSeparator) - first));
            fail(Status::Format,
                 describeAt(path, lineAt(first),
                            "the file ends inside a record: expected 'source word target', found " +
                                (word == wordEnd
                                     ? "only " + quoteToken(firstToken)
                                     : quoteToken(firstToken) + " " +
                                           quoteToken(std::string_view(
                                               word, static_cast<std::size_t>(wordEnd - word))))));
        }
        record(source, node());
    }
}

// Chunks of a large text that end at separators, so no token straddles two, and for each the
// number of tokens to skip so that it starts at a record's first token.
struct RecordChunks {
    std::vector<std::size_t> bounds;
    std::vector<int> skip;
};

RecordChunks splitIntoRecordChunks(std::string_view text, ThreadPool& pool) {
    constexpr std::size_t kMinChunk = std::size_t{128} << 10;
    const std::size_t count =
        pool.size() == 1 ? 1
                         : std::max<std::size_t>(
                               1, std::min<std::size_t>(static_cast<std::size_t>(pool.size()) * 4,
                                                        text.size() / kMinChunk));
    RecordChunks chunks;
    chunks.bounds.assign(count + 1, text.size());
    chunks.bounds[0] = 0;
    for (std::size_t c = 1; c < count; ++c) {
        std::size_t b = std::max(chunks.bounds[c - 1], text.size() * c / count);
        while (b < text.size() && !isTokenSeparator(text[b])) ++b;
        chunks.bounds[c] = b;
    }
    chunks.skip.assign(count, 0);
    if (count == 1) return chunks;
    std::vector<std::int64_t> tokens(count, 0);
    pool.parallelFor(0, static_cast<std::int64_t>(count),
                     [&](std::int64_t lo, std::int64_t hi, int) {
                         for (std::int64_t c = lo; c < hi; ++c) {
                             tokens[c] = countTokenStarts(text.data() + chunks.bounds[c],
                                                          text.data() + chunks.bounds[c + 1]);
                         }
                     });
    std::int64_t before = 0;
    for (std::size_t c = 0; c < count; ++c) {
        chunks.skip[c] = static_cast<int>((3 - before % 3) % 3);
        before += tokens[c];
    }
    return chunks;
}

// Whether the Words * 8 cells at p are all empty (CELL_EMPTY is 0).
template <int Words>
bool allEmpty(const std::uint8_t* p) {
    std::uint64_t any = 0;
    for (int w = 0; w < Words; ++w) {
        std::uint64_t word;
        std::memcpy(&word, p + 8 * w, 8);
        any |= word;
    }
    return any == 0;
}

}  // namespace

ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path, bool strict,
                                  int threads, std::size_t keptRecordBytes,
                                  const ProgressFunction& progress) {
    constexpr std::size_t kParallelFrom = std::size_t{256} << 10;
    ThreadPool pool(text.size() >= kParallelFrom ? threads : 1);
    const RecordChunks chunks = splitIntoRecordChunks(text, pool);
    const std::size_t count = chunks.skip.size();
    // Each of the two passes is half of the progress; the calling thread reports the chunks
    // finished by all.
    int pass = 0;
    const auto eachChunk = [&](auto&& body) {
        std::atomic<std::int64_t> finished{0};
        try {
            pool.parallelFor(0, static_cast<std::int64_t>(count),
                             [&](std::int64_t lo, std::int64_t hi, int worker) {
                                 for (std::int64_t c = lo; c < hi; ++c) {
                                     body(c);
                                     const std::int64_t done = ++finished;
                                     if (worker == 0 && progress) {
                                         progress((pass + static_cast<double>(done) / count) / 2);
                                     }
                                 }
                             });
            ++pass;
        } catch (const Error&) {
            // Report the first bad record in the file, whichever chunk met an error first.
            forEachRecord(text, 0, text.size(), 0, path, strict, [](std::int32_t, std::int32_t) {});
            throw;
        }
    };

    // Sizing pass, so the matrix is allocated once at its final size. It keeps the records it
    // reads, packed, while they fit a fixed budget, so that small and medium files are parsed
    // once; a chunk over its share of the budget is parsed a second time instead.
    const std::size_t keepPerChunk = keptRecordBytes / sizeof(std::uint64_t) / count;
    std::vector<std::int64_t> largest(count, -1);
    std::vector<std::vector<std::uint64_t>> kept(count);
    std::vector<char> complete(count, 0);
    eachChunk([&](std::int64_t c) {
        std::int64_t top = -1;
        std::vector<std::uint64_t>& records = kept[c];
        // The shortest record takes six bytes; reserving for that costs address space only, and
        // saves the copies and page faults of growing.
        records.reserve(std::min(keepPerChunk, (chunks.bounds[c + 1] - chunks.bounds[c]) / 6 + 1));
        bool fits = true;
        forEachRecord(
            text, chunks.bounds[c], chunks.bounds[c + 1], chunks.skip[c], path, strict,
            [&](std::int32_t a, std::int32_t b) {
                top = std::max<std::int64_t>(top, std::max(a, b));
                if (!fits || a < 0 || b < 0) return;
                if (records.size() == keepPerChunk) {
                    fits = false;
                    std::vector<std::uint64_t>().swap(records);
                    return;
                }
                records.push_back(std::uint64_t(std::uint32_t(a)) << 32 | std::uint32_t(b));
            });
        largest[c] = top;
        complete[c] = fits;
    });
    const std::int64_t n = *std::max_element(largest.begin(), largest.end()) + 1;
    const std::int32_t cells = checkedCellCount(n, path);

    ByteAdjacencyMatrix matrix;
    matrix.n = static_cast<std::int32_t>(n);
    try {
        matrix.cells.assign(static_cast<std::size_t>(cells), CELL_EMPTY);
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory,
             describeAt(path, "not enough memory for a matrix of " + std::to_string(n) + " nodes"));
    }
    std::uint8_t* const data = matrix.cells.data();
    // Two chunks may hold the same edge; both store the same byte.
    const auto store = [&](std::int64_t a, std::int64_t b) {
        __atomic_store_n(&data[a * n + b], CELL_EDGE, __ATOMIC_RELAXED);
    };
    eachChunk([&](std::int64_t c) {
        if (complete[c]) {
            for (const std::uint64_t record : kept[c])
                store(std::int64_t(record >> 32), std::int64_t(record & 0xffffffffu));
            return;
        }
        forEachRecord(text, chunks.bounds[c], chunks.bounds[c + 1], chunks.skip[c], path, strict,
                      [&](std::int32_t a, std::int32_t b) {
                          if (a >= 0 && b >= 0) store(a, b);
                      });
    });
    nodeCount = matrix.n;
    cellCount = cells;
    return matrix;
}

ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict, int threads,
                                 const ProgressFunction& progress) {
    return parseEdgeList(readWholeFile(path), path, strict, threads, kKeptRecordBytes, progress);
}

void writeEdgeList(const ByteAdjacencyMatrix& matrix, const std::string& path, int threads,
                   const ProgressFunction& progress) {
    OutputFile file(path);
    const std::int64_t n = matrix.n;
    writeRows(
        file, n, static_cast<std::size_t>(n) / 4 + 16, threads,
        [&](std::int64_t i, std::string& out) {
            const std::uint8_t* const row = matrix.cells.data() + i * n;
            const EdgeRecordFormatter records(i);
            std::int64_t j = 0;
            while (j < n) {
                // Reduced graphs are sparse: skip empty cells 64 at a time (the OR of
                // eight words vectorises), and then eight at a time.
                if (j + 64 <= n && allEmpty<8>(row + j)) {
                    j += 64;
                    continue;
                }
                if (j + 8 <= n && allEmpty<1>(row + j)) {
                    j += 8;
                    continue;
                }
                if (row[j] != CELL_EMPTY) records.append(j, out);
                ++j;
            }
        },
        progress);
    file.commit();
}

}  // namespace fwprune
