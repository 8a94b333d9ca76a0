#include "graph_files/labelled_edge_list.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/cancel.h"
#include "common/error.h"
#include "common/huge_pages.h"
#include "graph_files/piece_reader.h"
#include "graph_files/row_writer.h"
#include "graph_files/text_tokens.h"

namespace fwprune {

namespace {

// The first tab or line feed in [p, end), or end: sixteen bytes at a time where SSE2 is there.
const char* nextTabOrLineFeed(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i tab = _mm_set1_epi8('\t'), lineFeed = _mm_set1_epi8('\n');
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto found = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, tab), _mm_cmpeq_epi8(bytes, lineFeed))));
        if (found != 0) return p + __builtin_ctz(found);
    }
#endif
    while (p < end && *p != '\t' && *p != '\n') ++p;
    return p;
}

// Maps the pages of [data, data + bytes) at once, each worker of the pool a share of them, where
// the system can; otherwise they are mapped as they are first written. Memory touched for the
// first time costs about as much as the work that fills it, which would otherwise fall on the one
// thread that fills it.
void mapPagesOnPool(void* data, std::size_t bytes, ThreadPool& pool) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t kPage = 4096, kShare = std::uintptr_t{2} << 20;
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = at & ~(kPage - 1), end = (at + bytes) & ~(kPage - 1);
    if (end <= begin) return;
    // Shares on 2 MiB bounds, so that a huge page is mapped by one worker.
    const std::uintptr_t base = begin & ~(kShare - 1);
    const auto shares = static_cast<std::int64_t>((end - base + kShare - 1) / kShare);
    pool.parallelFor(0, shares, [&](std::int64_t lo, std::int64_t hi, int) {
        const std::uintptr_t from =
            std::max(begin, base + static_cast<std::uintptr_t>(lo) * kShare);
        const std::uintptr_t to = std::min(end, base + static_cast<std::uintptr_t>(hi) * kShare);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    });
#else
    static_cast<void>(data);
    static_cast<void>(bytes);
    static_cast<void>(pool);
#endif
}

}  // namespace

std::string_view EdgeExtras::of(std::uint64_t edge) const {
    const auto it = std::lower_bound(edges_.begin(), edges_.end(), edge);
    if (it == edges_.end() || *it != edge) return {};
    return texts_[static_cast<std::size_t>(it - edges_.begin())];
}

// Reads records from text handed over in pieces: each call takes the whole records of a piece
// and says where the unfinished one starts, which the caller hands over again with more text.
// A large piece is read in parts, one per worker of the pool, each part's labels made ready for
// numbering on its worker; the labels are then numbered part after part, so the numbers come in
// order of first appearance whatever the number of workers.
class LabelledTableReader {
  public:
    LabelledTableReader(const std::string& path, TableDialect dialect, bool header, Workers workers)
        : path_(path), expectHeader_(header), workers_(std::move(workers)) {
        list_.dialect = dialect;
        parts_.resize(1);
    }

    // Reads the records of [begin, end); at the end of the input (last set) every byte is read,
    // else reading stops before a record that may continue past end. Returns the bytes read.
    std::size_t readRecords(const char* begin, const char* end, bool last) {
        const char* p = begin;
        // The header, when there is one, is taken before the piece is split.
        guardMemory([&] {
            while (expectHeader_ && p < end) {
                const char* const next = readRecord(parts_[0], p, end, last);
                if (next == nullptr) break;
                line_ += countLineFeeds(p, next);
                p = next;
            }
        });
        const std::vector<const char*> starts = splitParts(p, end);
        const std::size_t count = starts.size();
        parts_.resize(count);
        const char* stop = end;
        const auto readPart = [&](std::size_t k) {
            Part& part = parts_[k];
            const bool final = k + 1 == count;
            const char* const partEnd = final ? end : starts[k + 1];
            const char* q = starts[k];
            // A TSV record is a line: its lines are counted as they are read, not in another pass.
            const bool tsv = list_.dialect == TableDialect::Tsv;
            long long lines = 0;
            guardMemory([&] {
                while (q < partEnd) {
                    fetchTextAhead(q, partEnd);
                    const char* const next = readRecord(part, q, partEnd, final && last);
                    if (next == nullptr) break;
                    if (tsv && next[-1] == '\n') ++lines;
                    q = next;
                }
            });
            part.lines = tsv ? lines : countLineFeeds(starts[k], q);
            if (final) stop = q;
        };
        if (count == 1) return readPiece(begin, p, end, last);
        // A part that fails leaves the reader as it was: the piece is then read again in one
        // part, which reports the first fault of the piece with its line.
        std::vector<char> failed(count, 0);
        pool_->parallelFor(0, static_cast<std::int64_t>(count),
                           [&](std::int64_t lo, std::int64_t hi, int) {
                               for (std::int64_t k = lo; k < hi; ++k) {
                                   const auto part = static_cast<std::size_t>(k);
                                   try {
                                       readPart(part);
                                   } catch (...) {
                                       failed[part] = 1;
                                   }
                               }
                           });
        if (std::find(failed.begin(), failed.end(), 1) != failed.end()) {
            for (Part& part : parts_) part.clear();
            parts_.resize(1);
            return readPiece(begin, p, end, last);
        }
        for (Part& part : parts_) numberPart(part);
        return static_cast<std::size_t>(stop - begin);
    }

    // Says that the next piece is `share` (0 to 1] of the file, so that numbering its labels can
    // size the hash table for the whole file.
    void expectShare(double share) { share_ = share; }

    LabelledEdgeList finish() {
        // The hash table goes first, so that trimming the records' slack fits in the room it
        // leaves; both would outlive reading. Records are trimmed only when they grew by doubling
        // (up to half their room unused): room reserved from the first piece's estimate is
        // within a few percent of them, and copying them all would cost more than it frees.
        list_.labels.releaseLookup();
        std::vector<Part>().swap(parts_);
        auto& records = list_.graph.records;
        if (records.capacity() - records.size() > records.capacity() / 8) {
            guardMemory([&] { records.shrink_to_fit(); });
        }
        list_.graph.n = static_cast<std::int64_t>(list_.labels.size());
        if (anyExtras_) {
            // The first record of each edge gives its extra columns.
            std::vector<std::size_t> order(extraTexts_.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            const auto& records = list_.graph.records;
            std::stable_sort(order.begin(), order.end(),
                             [&](std::size_t a, std::size_t b) { return records[a] < records[b]; });
            EdgeExtras& extras = list_.extras;
            for (const std::size_t i : order) {
                if (!extras.edges_.empty() && extras.edges_.back() == records[i]) continue;
                extras.edges_.push_back(records[i]);
                extras.texts_.push_back(std::move(extraTexts_[i]));
            }
            std::vector<std::string>().swap(extraTexts_);
        }
        return std::move(list_);
    }

  private:
    // The records of one part of a piece, until they are numbered: the batch's labels are in the
    // piece, or in decoded for quoted CSV fields. Each on cache lines of its own: the workers
    // fill different parts at once.
    struct alignas(64) Part {
        LabelBatch batch;                 // source and target of each record
        std::deque<std::string> decoded;  // quoted labels (a deque never moves them)
        bool anyExtras = false;
        std::vector<std::string> extras;  // by record, once any record of the part has some
        std::size_t records = 0;
        long long lines = 0;
        std::string sourceText, targetText, otherText;  // quoted fields as they are decoded
        std::string_view source;  // the last record's source, and its place in the batch
        std::size_t sourcePlace = 0;

        void clear() {
            source = {};
            decoded.clear();
            anyExtras = false;
            extras.clear();
            records = 0;
            lines = 0;
            batch.clear();
        }
    };

    // Parts of [p, end) that start at record starts, one per worker, when the piece is large
    // enough to be worth it: a TSV record ends at every line feed, and so does a CSV record
    // when the piece holds no quote.
    std::vector<const char*> splitParts(const char* p, const char* end) {
        constexpr std::size_t kMinPartBytes = std::size_t{1} << 20;
        std::vector<const char*> starts{p};
        const auto bytes = static_cast<std::size_t>(end - p);
        if (bytes < 2 * kMinPartBytes || expectHeader_) return starts;
        if (list_.dialect == TableDialect::Csv && std::memchr(p, '"', bytes) != nullptr) {
            return starts;
        }
        // The pool starts with the first piece worth it, and numbering uses it from then on.
        if (pool_ == nullptr) pool_ = &workers_.pool();
        const auto workers = static_cast<std::size_t>(pool_->size());
        if (workers < 2) return starts;
        const std::size_t count = std::min(workers, bytes / kMinPartBytes);
        for (std::size_t k = 1; k < count; ++k) {
            const char* at = p + bytes * k / count;
            if (at <= starts.back()) continue;
            const auto* const lineEnd = static_cast<const char*>(std::memchr(at, '\n', end - at));
            if (lineEnd == nullptr || lineEnd + 1 >= end) break;
            starts.push_back(lineEnd + 1);
        }
        return starts;
    }

    // The piece from p on read in one part (on one thread, or after a part failed); begin is
    // where it starts. The part is numbered every kPlacesAtOnce places, which bounds its batch
    // whatever the size of the piece.
    std::size_t readPiece(const char* begin, const char* p, const char* end, bool last) {
        static constexpr std::size_t kPlacesAtOnce = std::size_t{1} << 16;
        Part& part = parts_[0];
        const char* const start = p;
        guardMemory([&] {
            while (p < end) {
                fetchTextAhead(p, end);
                const char* const next = readRecord(part, p, end, last);
                if (next == nullptr) break;
                line_ += countLineFeeds(p, next);
                p = next;
                if (part.batch.size() >= kPlacesAtOnce) {
                    // The first numbering estimates the file's labels from the share read.
                    share_ *= double(p - start) / double(end - start);
                    numberPart(part);
                }
            }
        });
        numberPart(part);
        return static_cast<std::size_t>(p - begin);
    }

    const char* readRecord(Part& part, const char* p, const char* end, bool last) {
        return list_.dialect == TableDialect::Tsv ? readTsvRecord(part, p, end, last)
                                                  : readCsvRecord(part, p, end, last);
    }

    [[noreturn]] void failAt(const char* recordStart, const char* at, const std::string& what) {
        fail(Status::Format, describeAt(path_, line_ + countLineFeeds(recordStart, at), what));
    }

    // One TSV line from p; nullptr when it may go on past end.
    const char* readTsvRecord(Part& part, const char* p, const char* end, bool last) {
        // Most lines are a source, a tab and a target: read in one scan for the tab and the line
        // feed. Anything else (comments, empty lines, further columns, faults) takes the general
        // path below, which reads the line again from its start.
        if (!expectHeader_ && *p != '#') {
            const char* const tab = nextTabOrLineFeed(p, end);
            if (tab > p && tab < end && *tab == '\t') {
                const char* lineEnd = nextTabOrLineFeed(tab + 1, end);
                if (lineEnd == end && !last) return nullptr;
                if (lineEnd == end || *lineEnd == '\n') {
                    const char* const next = lineEnd == end ? end : lineEnd + 1;
                    while (lineEnd > tab + 1 && lineEnd[-1] == '\r') --lineEnd;
                    addEdge(part, p, std::string_view(p, static_cast<std::size_t>(tab - p)),
                            std::string_view(tab + 1, static_cast<std::size_t>(lineEnd - tab - 1)),
                            std::string_view());
                    return next;
                }
            }
        }
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (lineEnd == nullptr && !last) return nullptr;
        const char* const next = lineEnd == nullptr ? end : lineEnd + 1;
        if (lineEnd == nullptr) lineEnd = end;
        // Every CR before the line feed belongs to the line end: a TSV field cannot end in one,
        // since nothing could write it back.
        while (lineEnd > p && lineEnd[-1] == '\r') --lineEnd;
        if (lineEnd == p || *p == '#') return next;
        const std::string_view record(p, static_cast<std::size_t>(lineEnd - p));
        if (takeHeader(record)) return next;
        const std::size_t tab = record.find('\t');
        if (tab == std::string_view::npos) {
            failAt(p, p, "a record needs a source and a target separated by a tab");
        }
        std::size_t targetEnd = record.find('\t', tab + 1);
        if (targetEnd == std::string_view::npos) targetEnd = record.size();
        addEdge(part, p, record.substr(0, tab), record.substr(tab + 1, targetEnd - tab - 1),
                record.substr(targetEnd));
        return next;
    }

    // One CSV field from p into field (a view of the text, or of decoded when quoted); returns
    // where it ends (at its separator or line end), nullptr when it may go on past end.
    const char* readCsvField(const char* recordStart, const char* p, const char* end, bool last,
                             std::string_view& field, std::string& decoded) {
        if (p < end && *p == '"') {
            decoded.clear();
            const char* q = p + 1;
            for (;;) {
                const char* const quote = static_cast<const char*>(std::memchr(q, '"', end - q));
                if (quote == nullptr) {
                    if (!last) return nullptr;
                    failAt(recordStart, p, "a quoted field is not closed before the file ends");
                }
                decoded.append(q, quote);
                if (quote + 1 == end && !last) return nullptr;
                if (quote + 1 < end && quote[1] == '"') {
                    decoded += '"';
                    q = quote + 2;
                    continue;
                }
                const char* after = quote + 1;
                if (after < end && *after == '\r') {
                    if (after + 1 == end && !last) return nullptr;
                    if (after + 1 < end && after[1] == '\n') ++after;
                }
                if (after < end && *after != ',' && *after != '\n') {
                    failAt(recordStart, after, "text after the closing quote of a field");
                }
                field = decoded;
                return after < end && *after == '\n' ? quote + 1 : after;
            }
        }
        const char* q = p;
        while (q < end && *q != ',' && *q != '\n') ++q;
        if (q == end && !last) return nullptr;
        const char* fieldEnd = q;
        if (q < end && *q == '\n' && fieldEnd > p && fieldEnd[-1] == '\r') --fieldEnd;
        if (q == end && fieldEnd > p && fieldEnd[-1] == '\r') --fieldEnd;
        field = std::string_view(p, static_cast<std::size_t>(fieldEnd - p));
        return fieldEnd;
    }

    // One CSV record from p; nullptr when it may go on past end.
    const char* readCsvRecord(Part& part, const char* p, const char* end, bool last) {
        // Empty lines are skipped, and so are lines of carriage returns alone: they belong to the
        // line end. Taken as a header, such a line would be written back as an empty line, and
        // the first record read back in its place.
        if (*p == '\n' || *p == '\r') {
            const char* q = p;
            while (q < end && *q == '\r') ++q;
            if (q == end) return last ? end : nullptr;
            if (*q == '\n') return q + 1;
        }
        std::string_view source, target;
        const char* q = readCsvField(p, p, end, last, source, part.sourceText);
        if (q == nullptr) return nullptr;
        const char* extraStart = q;
        bool hasTarget = false;
        if (q < end && *q == ',') {
            q = readCsvField(p, q + 1, end, last, target, part.targetText);
            if (q == nullptr) return nullptr;
            extraStart = q;
            hasTarget = true;
        }
        // Any further fields, to the end of the record.
        while (q < end && *q == ',') {
            std::string_view ignored;
            q = readCsvField(p, q + 1, end, last, ignored, part.otherText);
            if (q == nullptr) return nullptr;
        }
        const char* recordEnd = q;  // at "\r\n", "\n" or the end of the text
        if (recordEnd < end && *recordEnd == '\r') ++q;
        const char* const next = q < end ? q + 1 : q;
        const std::string_view record(p, static_cast<std::size_t>(recordEnd - p));
        if (takeHeader(record)) return next;
        if (!hasTarget) failAt(p, p, "a record needs a source and a target separated by a comma");
        addEdge(part, p, source, target,
                std::string_view(extraStart, static_cast<std::size_t>(recordEnd - extraStart)));
        return next;
    }

    bool takeHeader(std::string_view record) {
        if (!expectHeader_) return false;
        expectHeader_ = false;
        list_.hasHeader = true;
        list_.header.assign(record);
        return true;
    }

    void addEdge(Part& part, const char* recordStart, std::string_view source,
                 std::string_view target, std::string_view extra) {
        if (source.empty()) failAt(recordStart, recordStart, "the source label is empty");
        if (target.empty()) failAt(recordStart, recordStart, "the target label is empty");
        // Memory running out here is reported by the guard around the loop over the records:
        // a guard for each record would pass the labels through memory.
        // A label that is the record before's source (the source of a run of edges, the next
        // link of a chain) is added as a repeat of it.
        const std::string_view previous = part.source;
        const std::size_t previousPlace = part.sourcePlace;
        if (sameLabel(source, previous)) {
            part.batch.addRepeat(previousPlace);
        } else {
            part.sourcePlace = part.batch.size();
            part.source = addLabel(part, source);
        }
        if (sameLabel(target, previous)) {
            part.batch.addRepeat(previousPlace);
        } else {
            addLabel(part, target);
        }
        ++part.records;
        if (!extra.empty() && !part.anyExtras) {
            part.anyExtras = true;
            part.extras.resize(part.records - 1);
        }
        if (part.anyExtras) part.extras.emplace_back(extra);
    }

    // Adds label to the part's batch; returns it where it stays while the part is read.
    static std::string_view addLabel(Part& part, std::string_view label) {
        if (label.data() == part.sourceText.data() || label.data() == part.targetText.data()) {
            label = part.decoded.emplace_back(label);
        }
        part.batch.add(label);
        return label;
    }

    // Whether a equals b: most labels that differ differ in their first eight bytes, compared
    // here without a call.
    static bool sameLabel(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        if (a.size() >= 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a.data(), 8);
            std::memcpy(&y, b.data(), 8);
            if (x != y) return false;
        }
        return std::memcmp(a.data(), b.data(), a.size()) == 0;
    }

    // Numbers the labels of a part, stores its records and its extra columns, and empties it.
    void numberPart(Part& part) {
        guardMemory([&] {
            const std::size_t count = part.batch.size();
            nodes_.resize(count);
            std::size_t from = 0;
            if (share_ > 0 && share_ < 1) {
                // A sample of the first piece's labels tells how many of them are new, and so
                // how many the file holds: the hash table grows to that at once rather than
                // rehashing at every doubling.
                from = std::min<std::size_t>(count, 1 << 16);
                list_.labels.internBatch(part.batch, 0, from, nodes_.data(), pool_);
                const double perLabel =
                    double(list_.labels.size()) / double(std::max<std::size_t>(from, 1));
                // The records likewise, which saves the copies of growing by doubling.
                const double expected = double(count) * double(parts_.size()) / share_ * 1.05;
                auto& records = list_.graph.records;
                reserveHugePages(records, static_cast<std::size_t>(expected / 2));
                if (pool_ != nullptr && pool_->size() > 1) {
                    mapPagesOnPool(records.data(), records.capacity() * sizeof(std::uint64_t),
                                   *pool_);
                }
                list_.labels.reserve(static_cast<std::size_t>(perLabel * expected), pool_);
            }
            share_ = 0;
            list_.labels.internBatch(part.batch, from, count, nodes_.data() + from, pool_);
            // Made room for at once and filled through a pointer: push_back would check the room
            // at every record.
            auto& records = list_.graph.records;
            const std::size_t at = records.size();
            records.resize(at + count / 2);
            std::uint64_t* const out = records.data() + at;
            for (std::size_t i = 0; i < count / 2; ++i) {
                out[i] = std::uint64_t{nodes_[2 * i]} << 32 | nodes_[2 * i + 1];
            }
            if (part.anyExtras && !anyExtras_) {
                anyExtras_ = true;
                extraTexts_.resize(records_);
            }
            if (anyExtras_) {
                if (part.anyExtras) {
                    std::move(part.extras.begin(), part.extras.end(),
                              std::back_inserter(extraTexts_));
                } else {
                    extraTexts_.resize(extraTexts_.size() + part.records);
                }
            }
            records_ += part.records;
        });
        line_ += part.lines;
        part.clear();
    }

    template <typename Work>
    void guardMemory(Work&& work) {
        try {
            reportingOutOfMemory(
                Status::TooLarge,
                [&] {
                    return describeAt(path_, line_,
                                      "not enough memory for the labels of " +
                                          std::to_string(list_.labels.size()) + " nodes and " +
                                          std::to_string(records_) + " edges");
                },
                work);
        } catch (const std::length_error&) {
            fail(Status::TooLarge,
                 describeAt(path_, line_, "more than 2147483647 distinct labels"));
        }
    }

    const std::string& path_;
    bool expectHeader_;
    Workers workers_;
    ThreadPool* pool_ = nullptr;  // started once a piece is worth reading in parts
    long long line_ = 1;
    LabelledEdgeList list_;
    bool anyExtras_ = false;
    std::vector<std::string> extraTexts_;  // by record, once any record has extra columns
    std::size_t records_ = 0;
    std::vector<Part> parts_;
    std::vector<std::uint32_t> nodes_;
    double share_ = 0;  // of the file, that the piece being read is (0: unknown)
};

LabelledEdgeList parseLabelledEdgeList(std::string_view text, const std::string& path,
                                       TableDialect dialect, bool header, Workers workers) {
    LabelledTableReader reader(path, dialect, header, std::move(workers));
    reader.readRecords(text.data(), text.data() + text.size(), true);
    return reader.finish();
}

LabelledEdgeList readLabelledEdgeList(const std::string& path, TableDialect dialect, bool header,
                                      const ProgressFunction& progress, Workers workers,
                                      std::size_t pieceBytes) {
    InputFile file(path);
    LabelledTableReader reader(path, dialect, header, std::move(workers));
    std::size_t done = 0;
    bool first = true;
    const auto consume = [&](std::string_view text, bool atEnd) {
        if (first && file.sizeHint() > 0) {
            reader.expectShare(double(text.size()) / double(file.sizeHint()));
        }
        first = false;
        const std::size_t used = reader.readRecords(text.data(), text.data() + text.size(), atEnd);
        done += used;
        if (progress && file.sizeHint() > 0) {
            progress(std::min(1.0, double(done) / double(file.sizeHint())));
        }
        pollCancelled();
        return used;
    };
    reportingOutOfMemory(
        Status::TooLarge, [&] { return describeAt(path, "a record too long for memory"); },
        [&] {
            // Mapped, a regular file is parsed where the system keeps it, without a copy.
            const auto tooLong = [](std::string_view) {};
            if (!readMappedPieces(file, pieceBytes, consume, tooLong))
                readPieces(file, pieceBytes, consume, tooLong);
        });
    return reader.finish();
}

void appendTableField(std::string& out, std::string_view field, TableDialect dialect) {
    if (dialect == TableDialect::Tsv || field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(field);
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void writeLabelledEdges(const LabelTable& labels, TableDialect dialect,
                        const std::vector<std::uint64_t>& kept, OutputFile& file,
                        const std::string* header, const EdgeExtras* extras,
                        const ProgressFunction& progress, Workers workers) {
    if (header != nullptr) file.write(*header + '\n');
    if (extras != nullptr && extras->empty()) extras = nullptr;
    if (kept.empty()) {
        if (progress) progress(1.0);
        return;
    }
    // Records of the first few edges tell a record's length, which sizes the batches.
    std::size_t sampleBytes = 0;
    const std::size_t sample = std::min<std::size_t>(kept.size(), 64);
    for (std::size_t i = 0; i < sample; ++i) {
        sampleBytes += labels.labelLength(static_cast<std::uint32_t>(kept[i] >> 32)) +
                       labels.labelLength(static_cast<std::uint32_t>(kept[i])) + 2;
    }
    // Room for a record's labels is made for the longest: their own lengths would be read
    // twice.
    const std::size_t longest = labels.longestLabel();
    detail::writeRowBatches(
        file, static_cast<std::int64_t>(kept.size()), sampleBytes / sample, std::move(workers),
        [&](std::int64_t lo, std::int64_t hi, TextBuffer& out) {
            std::string label, record;  // a CSV label and record before they go to out
            const auto end = static_cast<std::size_t>(hi);
            for (auto i = static_cast<std::size_t>(lo); i < end; ++i) {
                // Sources come in order, targets anywhere: the places of the targets a few
                // records ahead are fetched, then their labels.
                constexpr std::size_t kPlaceAhead = 16, kLabelAhead = 8;
                if (i + kPlaceAhead < end) {
                    labels.prefetchLabel(static_cast<std::uint32_t>(kept[i + kPlaceAhead]), false);
                }
                if (i + kLabelAhead < end) {
                    labels.prefetchLabel(static_cast<std::uint32_t>(kept[i + kLabelAhead]), true);
                }
                const std::uint64_t edge = kept[i];
                const auto source = static_cast<std::uint32_t>(edge >> 32);
                const auto target = static_cast<std::uint32_t>(edge);
                const std::string_view extra = extras != nullptr ? extras->of(edge) : "";
                if (dialect == TableDialect::Tsv) {
                    char* p = out.room(2 * longest + extra.size() + 2);
                    p = labels.writeLabel(source, p);
                    *p++ = '\t';
                    p = labels.writeLabel(target, p);
                    p = std::copy(extra.begin(), extra.end(), p);
                    *p++ = '\n';
                    out.commit(p);
                    continue;
                }
                record.clear();
                labels.appendLabel(source, label);
                appendTableField(record, label, dialect);
                record += ',';
                label.clear();
                labels.appendLabel(target, label);
                appendTableField(record, label, dialect);
                label.clear();
                record.append(extra);
                record += '\n';
                out.commit(std::copy(record.begin(), record.end(), out.room(record.size())));
            }
        },
        progress);
}

void writeLabelledEdges(const LabelledEdgeList& list, const std::vector<std::uint64_t>& kept,
                        OutputFile& file, const ProgressFunction& progress) {
    writeLabelledEdges(list.labels, list.dialect, kept, file,
                       list.hasHeader ? &list.header : nullptr, &list.extras, progress);
}

void writeLabelledEdges(const LabelledEdgeList& list, const std::vector<std::uint64_t>& kept,
                        const std::string& path, const ProgressFunction& progress) {
    OutputFile file(path);
    writeLabelledEdges(list, kept, file, progress);
    file.commit();
}

}  // namespace fwprune
