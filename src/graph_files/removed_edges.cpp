#include "graph_files/removed_edges.h"

#include <charconv>
#include <cstring>
#include <string>
#include <utility>

#include "graph_files/label_table.h"
#include "graph_files/number_text.h"
#include "graph_files/row_writer.h"

namespace fwprune {

const char* removalReasonName(RemovalReason reason) {
    switch (reason) {
        case RemovalReason::Bypassed:
            return "bypassed";
        case RemovalReason::Cycle:
            return "cycle";
        case RemovalReason::SelfLoop:
            return "self-loop";
        case RemovalReason::Condensed:
            return "condensed";
        case RemovalReason::Represented:
            return "represented";
        case RemovalReason::Replaced:
            return "replaced";
        case RemovalReason::Negative:
            return "negative";
        case RemovalReason::Upper:
            return "upper";
    }
    return "";
}

void writeRemovedEdges(const std::vector<RemovedEdge>& removed, OutputFile& file, Workers workers,
                       const ProgressFunction& progress) {
    file.write("source\ttarget\treason\tvia\tvalue\n");
    // Four node numbers of at most 10 digits, the longest word and five separators.
    constexpr std::size_t kMaxBytes = 4 * 10 + 11 + 5;
    writeBoundedRows(
        file, static_cast<std::int64_t>(removed.size()), kMaxBytes, std::move(workers),
        [&](std::int64_t i, char* out) {
            const RemovedEdge& edge = removed[static_cast<std::size_t>(i)];
            out = std::to_chars(out, out + 10, edge.record >> 32).ptr;
            *out++ = '\t';
            out = std::to_chars(out, out + 10, std::uint32_t(edge.record)).ptr;
            *out++ = '\t';
            const char* const word = removalReasonName(edge.reason);
            const std::size_t length = std::strlen(word);
            out = std::copy_n(word, length, out);
            *out++ = '\t';
            if (edge.reason != RemovalReason::SelfLoop)
                out = std::to_chars(out, out + 10, edge.via).ptr;
            *out++ = '\t';
            if (edge.reason == RemovalReason::Represented)
                out = std::to_chars(out, out + 10, edge.value).ptr;
            *out++ = '\n';
            return out;
        },
        progress);
}

void writeRemovedEdges(const std::vector<RemovedEdge>& removed, const LabelTable& labels,
                       OutputFile& file, Workers workers, const ProgressFunction& progress) {
    file.write("source\ttarget\treason\tvia\tvalue\n");
    constexpr std::int64_t kPerRow = 4096;
    const auto count = static_cast<std::int64_t>(removed.size());
    writeRows(
        file, (count + kPerRow - 1) / kPerRow, kPerRow * 48, std::move(workers),
        [&](std::int64_t row, TextBuffer& out) {
            thread_local std::string line;
            const std::int64_t last = std::min(count, (row + 1) * kPerRow);
            for (std::int64_t e = row * kPerRow; e < last; ++e) {
                const RemovedEdge& edge = removed[static_cast<std::size_t>(e)];
                line.clear();
                labels.appendLabel(static_cast<std::uint32_t>(edge.record >> 32), line);
                line += '\t';
                labels.appendLabel(static_cast<std::uint32_t>(edge.record), line);
                line += '\t';
                line += removalReasonName(edge.reason);
                line += '\t';
                if (edge.reason != RemovalReason::SelfLoop) labels.appendLabel(edge.via, line);
                line += '\t';
                if (edge.reason == RemovalReason::Represented) labels.appendLabel(edge.value, line);
                line += '\n';
                out.commit(std::copy(line.begin(), line.end(), out.room(line.size())));
            }
        },
        progress);
}

namespace {

// formatWeight with a memory: a report repeats a few thousand weakest links (those of the walks
// through its hubs) millions of times, and copying their text is several times cheaper than
// formatting it again.
class FormattedValues {
  public:
    char* format(float value, char* out) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Entry& entry = entries_[(bits ^ bits >> 13) % kEntries];
        if (entry.length == 0 || entry.bits != bits) {
            entry.bits = bits;
            entry.length = static_cast<std::uint8_t>(formatWeight(value, entry.text) - entry.text);
        }
        return std::copy_n(entry.text, entry.length, out);
    }

  private:
    static constexpr std::size_t kEntries = 4096;
    struct Entry {
        std::uint32_t bits = 0;
        std::uint8_t length = 0;
        char text[16];
    };
    std::vector<Entry> entries_ = std::vector<Entry>(kEntries);
};

}  // namespace

void writeRemovedCells(std::int64_t n, OutputFile& file, Workers workers,
                       const ExplainRow& explainRow, const ProgressFunction& progress) {
    file.write("source\ttarget\treason\tvia\tvalue\n");
    // Three node numbers, the longest word, a value and five separators.
    constexpr std::size_t kMaxBytes = 3 * 10 + 11 + 16 + 5;
    writeRows(
        file, n, static_cast<std::size_t>(n) * 40 + 16, std::move(workers),
        [&](std::int64_t i, TextBuffer& text) {
            thread_local std::vector<RemovedCell> cells;
            thread_local FormattedValues values;
            cells.clear();
            explainRow(i, cells);
            char* out = text.room(cells.size() * kMaxBytes);
            char prefix[16];
            char* const prefixEnd = std::to_chars(prefix, prefix + 10, i).ptr;
            for (const RemovedCell& cell : cells) {
                out = std::copy(prefix, prefixEnd, out);
                *out++ = '\t';
                out = std::to_chars(out, out + 10, cell.column).ptr;
                *out++ = '\t';
                const char* const word = removalReasonName(cell.reason);
                out = std::copy_n(word, std::strlen(word), out);
                *out++ = '\t';
                const bool witnessed =
                    cell.reason != RemovalReason::Replaced || cell.via != RemovedCell::kNoVia;
                if (cell.reason == RemovalReason::Replaced && witnessed)
                    out = std::to_chars(out, out + 10, cell.via).ptr;
                *out++ = '\t';
                if (witnessed) out = values.format(cell.value, out);
                *out++ = '\n';
            }
            text.commit(out);
        },
        progress);
}

}  // namespace fwprune
