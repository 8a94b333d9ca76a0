#include "graph_files/labelled_edge_list.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/cancel.h"
#include "common/error.h"
#include "graph_files/text_tokens.h"

namespace fwprune {

std::string_view EdgeExtras::of(std::uint64_t edge) const {
    const auto it = std::lower_bound(edges_.begin(), edges_.end(), edge);
    if (it == edges_.end() || *it != edge) return {};
    return texts_[static_cast<std::size_t>(it - edges_.begin())];
}

// Reads records from text handed over in pieces: each call takes the whole records of a piece
// and says where the unfinished one starts, which the caller hands over again with more text.
class LabelledTableReader {
  public:
    LabelledTableReader(const std::string& path, TableDialect dialect, bool header)
        : path_(path), expectHeader_(header) {
        list_.dialect = dialect;
    }

    // Reads the records of [begin, end); at the end of the input (last set) every byte is read,
    // else reading stops before a record that may continue past end. Returns the bytes read.
    std::size_t readRecords(const char* begin, const char* end, bool last) {
        const char* p = begin;
        while (p < end) {
            const char* const next = list_.dialect == TableDialect::Tsv
                                         ? readTsvRecord(p, end, last)
                                         : readCsvRecord(p, end, last);
            if (next == nullptr) break;
            line_ += std::count(p, next, '\n');
            p = next;
        }
        numberPending();
        return static_cast<std::size_t>(p - begin);
    }

    // Says that the next piece is `share` (0 to 1] of the file, so that numbering its labels can
    // size the hash table for the whole file.
    void expectShare(double share) { share_ = share; }

    LabelledEdgeList finish() {
        // The hash table goes first, so that trimming the records' slack (up to half of them,
        // from growing by doubling) fits in the room it leaves; both would outlive reading.
        list_.labels.releaseLookup();
        guardMemory([&] { list_.graph.records.shrink_to_fit(); });
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
    [[noreturn]] void failAt(const char* recordStart, const char* at, const std::string& what) {
        fail(Status::Format, describeAt(path_, line_ + std::count(recordStart, at, '\n'), what));
    }

    // One TSV line from p; nullptr when it may go on past end.
    const char* readTsvRecord(const char* p, const char* end, bool last) {
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
        addEdge(p, record.substr(0, tab), record.substr(tab + 1, targetEnd - tab - 1),
                record.substr(targetEnd));
        return next;
    }

    // One CSV field from p into field (a view of the text, or of decoded_ when quoted); returns
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
    const char* readCsvRecord(const char* p, const char* end, bool last) {
        // Empty lines are skipped.
        if (*p == '\n') return p + 1;
        if (*p == '\r') {
            if (p + 1 == end) return last ? end : nullptr;
            if (p[1] == '\n') return p + 2;
        }
        std::string_view source, target;
        const char* q = readCsvField(p, p, end, last, source, sourceText_);
        if (q == nullptr) return nullptr;
        const char* extraStart = q;
        bool hasTarget = false;
        if (q < end && *q == ',') {
            q = readCsvField(p, q + 1, end, last, target, targetText_);
            if (q == nullptr) return nullptr;
            extraStart = q;
            hasTarget = true;
        }
        // Any further fields, to the end of the record.
        while (q < end && *q == ',') {
            std::string_view ignored;
            q = readCsvField(p, q + 1, end, last, ignored, otherText_);
            if (q == nullptr) return nullptr;
        }
        const char* recordEnd = q;  // at "\r\n", "\n" or the end of the text
        if (recordEnd < end && *recordEnd == '\r') ++q;
        const char* const next = q < end ? q + 1 : q;
        const std::string_view record(p, static_cast<std::size_t>(recordEnd - p));
        if (takeHeader(record)) return next;
        if (!hasTarget) failAt(p, p, "a record needs a source and a target separated by a comma");
        addEdge(p, source, target,
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

    // Labels are numbered a piece at a time (see numberPending); until then they are views of
    // the piece, or of decoded_ for quoted CSV fields.
    void addEdge(const char* recordStart, std::string_view source, std::string_view target,
                 std::string_view extra) {
        if (source.empty()) failAt(recordStart, recordStart, "the source label is empty");
        if (target.empty()) failAt(recordStart, recordStart, "the target label is empty");
        guardMemory([&] {
            for (std::string_view label : {source, target}) {
                if (label.data() == sourceText_.data() || label.data() == targetText_.data()) {
                    label = decoded_.emplace_back(label);
                }
                pending_.push_back(label);
            }
            ++records_;
            if (!extra.empty() && !anyExtras_) {
                anyExtras_ = true;
                extraTexts_.resize(records_ - 1);
            }
            if (anyExtras_) extraTexts_.emplace_back(extra);
        });
    }

    // Numbers the labels of the records read since the last call, and stores the records.
    void numberPending() {
        guardMemory([&] {
            nodes_.resize(pending_.size());
            std::size_t from = 0;
            if (share_ > 0 && share_ < 1) {
                // A sample of the first piece's labels tells how many of them are new, and so
                // how many the file holds: the hash table grows to that at once rather than
                // rehashing at every doubling.
                from = std::min<std::size_t>(pending_.size(), 1 << 16);
                list_.labels.internAll(pending_.data(), from, nodes_.data());
                const double perLabel =
                    double(list_.labels.size()) / double(std::max<std::size_t>(from, 1));
                // The records likewise, which saves the copies of growing by doubling.
                list_.graph.records.reserve(
                    static_cast<std::size_t>(double(pending_.size() / 2) / share_ * 1.05));
                list_.labels.reserve(
                    static_cast<std::size_t>(perLabel * double(pending_.size()) / share_ * 1.05));
            }
            share_ = 0;
            list_.labels.internAll(pending_.data() + from, pending_.size() - from,
                                   nodes_.data() + from);
            auto& records = list_.graph.records;
            for (std::size_t i = 0; i < nodes_.size(); i += 2) {
                records.push_back(std::uint64_t{nodes_[i]} << 32 | nodes_[i + 1]);
            }
        });
        pending_.clear();
        decoded_.clear();
    }

    template <typename Work>
    void guardMemory(Work&& work) {
        try {
            work();
        } catch (const std::length_error&) {
            fail(Status::TooLarge,
                 describeAt(path_, line_, "more than 2147483647 distinct labels"));
        } catch (const std::bad_alloc&) {
            fail(Status::TooLarge,
                 describeAt(path_, line_,
                            "not enough memory for the labels of " +
                                std::to_string(list_.labels.size()) + " nodes and " +
                                std::to_string(records_) + " edges"));
        }
    }

    const std::string& path_;
    bool expectHeader_;
    long long line_ = 1;
    LabelledEdgeList list_;
    bool anyExtras_ = false;
    std::vector<std::string> extraTexts_;  // by record, once any record has extra columns
    std::string sourceText_, targetText_, otherText_;
    std::size_t records_ = 0;
    std::vector<std::string_view> pending_;  // labels not numbered yet, source and target
    std::deque<std::string> decoded_;        // quoted labels among them (a deque never moves them)
    std::vector<std::uint32_t> nodes_;
    double share_ = 0;  // of the file, that the piece being read is (0: unknown)
};

namespace {

constexpr std::size_t kPieceBytes = std::size_t{16} << 20;

}  // namespace

LabelledEdgeList parseLabelledEdgeList(std::string_view text, const std::string& path,
                                       TableDialect dialect, bool header) {
    LabelledTableReader reader(path, dialect, header);
    reader.readRecords(text.data(), text.data() + text.size(), true);
    return reader.finish();
}

LabelledEdgeList readLabelledEdgeList(const std::string& path, TableDialect dialect, bool header,
                                      const ProgressFunction& progress) {
    InputFile file(path);
    LabelledTableReader reader(path, dialect, header);
    std::vector<char> buffer;
    try {
        // A small file needs no more than its size.
        buffer.resize(file.sizeHint() > 0 ? std::min(kPieceBytes, file.sizeHint() + 1)
                                          : kPieceBytes);
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory, describeAt(path, "not enough memory for a read buffer"));
    }
    std::size_t held = 0;
    std::size_t done = 0;
    bool last = false;
    while (!last) {
        while (held < buffer.size()) {
            const std::size_t got = file.readInto(buffer.data() + held, buffer.size() - held);
            if (got == 0) {
                last = true;
                break;
            }
            held += got;
        }
        if (done == 0 && file.sizeHint() > 0) {
            reader.expectShare(double(held) / double(file.sizeHint()));
        }
        const std::size_t used = reader.readRecords(buffer.data(), buffer.data() + held, last);
        std::memmove(buffer.data(), buffer.data() + used, held - used);
        held -= used;
        done += used;
        // A record longer than the buffer: make room for the rest of it.
        if (used == 0 && !last) {
            try {
                buffer.resize(buffer.size() * 2);
            } catch (const std::bad_alloc&) {
                fail(Status::TooLarge, describeAt(path, "a record too long for memory"));
            }
        }
        if (progress && file.sizeHint() > 0) {
            progress(std::min(1.0, double(done) / double(file.sizeHint())));
        }
        pollCancelled();
    }
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
                        const ProgressFunction& progress) {
    constexpr std::size_t kBatchBytes = std::size_t{8} << 20;
    const char separator = dialect == TableDialect::Tsv ? '\t' : ',';
    std::string out;
    out.reserve(kBatchBytes + 4096);
    if (header != nullptr) {
        out += *header;
        out += '\n';
    }
    if (extras != nullptr && extras->empty()) extras = nullptr;
    std::string label;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const std::uint64_t edge = kept[i];
        const auto source = static_cast<std::uint32_t>(edge >> 32);
        const auto target = static_cast<std::uint32_t>(edge);
        if (dialect == TableDialect::Tsv) {
            labels.appendLabel(source, out);
            out += separator;
            labels.appendLabel(target, out);
        } else {
            label.clear();
            labels.appendLabel(source, label);
            appendTableField(out, label, dialect);
            out += separator;
            label.clear();
            labels.appendLabel(target, label);
            appendTableField(out, label, dialect);
        }
        if (extras != nullptr) out.append(extras->of(edge));
        out += '\n';
        if (out.size() >= kBatchBytes) {
            file.write(out);
            out.clear();
            if (progress) progress(double(i + 1) / double(kept.size()));
        }
    }
    file.write(out);
    if (progress) progress(1.0);
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
