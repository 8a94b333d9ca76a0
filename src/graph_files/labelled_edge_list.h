// Labelled edge lists: tables of edges whose first two columns name the source and the target by
// any string, as tab-separated (TSV) or comma-separated (CSV, RFC 4180) text.
//
// TSV: fields separated by tabs, records by LF or CR LF; a line starting with '#' is a comment;
// no quoting (a TSV field holds no tab or line end).
// CSV: fields separated by commas; a field may be quoted ("..."), and then holds commas, line
// ends and doubled quotes ("" for "); records end with LF or CR LF outside quotes.
// In both, empty lines are skipped, a record needs a source and a target, and whatever follows the
// target (the separator and any further columns) is carried to the output untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/graphs.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"
#include "graph_files/label_table.h"

namespace fwprune {

enum class TableDialect { Tsv, Csv };

// The text after the target column of the first record of each distinct edge, kept only when some
// record has more than two columns.
class EdgeExtras {
  public:
    bool empty() const { return edges_.empty(); }
    // The extra text of the first record of edge (source << 32 | target), empty when there is none.
    std::string_view of(std::uint64_t edge) const;

  private:
    friend class LabelledTableReader;
    std::vector<std::uint64_t> edges_;  // sorted, unique
    std::vector<std::string> texts_;    // the extra text of edges_[i]
};

// A labelled edge list read into node numbers: graph.records holds source << 32 | target, nodes
// numbered 0, 1, ... in order of first appearance (a record's source before its target), so the
// records sorted by number come in that order, which is the native format's numeric order when
// the labels are "0", "1", ... in order.
struct LabelledEdgeList {
    TableDialect dialect = TableDialect::Tsv;
    bool hasHeader = false;
    std::string header;  // the header line as read, line end excluded
    EdgeRecords graph;
    LabelTable labels;
    EdgeExtras extras;
};

// The pieces a labelled file is read in: a record may straddle their ends.
constexpr std::size_t kLabelledPieceBytes = std::size_t{16} << 20;

// Reads a labelled edge list. With header set, the first record (after comments) is the header,
// written back as it was. Throws an Error naming the file and line for an unterminated quote,
// text after a closing quote, or a record without a target; TooLarge when the labels do not fit
// in memory or pass 2^31 - 1 nodes. progress hears the share of the file read. Large pieces of the
// text are read on the workers' pool; the result is the same on any number of threads.
LabelledEdgeList readLabelledEdgeList(const std::string& path, TableDialect dialect, bool header,
                                      const ProgressFunction& progress = {}, Workers workers = {},
                                      std::size_t pieceBytes = kLabelledPieceBytes);
LabelledEdgeList parseLabelledEdgeList(std::string_view text, const std::string& path,
                                       TableDialect dialect, bool header, Workers workers = {});

// Writes the header (when there was one), then one record per edge of kept (sorted and unique
// records of the list's node numbers) in the list's dialect: source label, target label, the
// first record's extra columns, LF. Labels are quoted in CSV where they must be.
void writeLabelledEdges(const LabelledEdgeList& list, const std::vector<std::uint64_t>& kept,
                        OutputFile& file, const ProgressFunction& progress = {});
void writeLabelledEdges(const LabelledEdgeList& list, const std::vector<std::uint64_t>& kept,
                        const std::string& path, const ProgressFunction& progress = {});

// The same for any labelled graph: header (when not null) first, then the kept edges, with
// their extra columns when extras is not null. Batches of records are formatted on the workers'
// pool.
void writeLabelledEdges(const LabelTable& labels, TableDialect dialect,
                        const std::vector<std::uint64_t>& kept, OutputFile& file,
                        const std::string* header, const EdgeExtras* extras,
                        const ProgressFunction& progress = {}, Workers workers = {});

// Appends one field in the dialect's form: as is in TSV; in CSV quoted, its quotes doubled,
// when it holds a comma, a quote or a line end.
void appendTableField(std::string& out, std::string_view field, TableDialect dialect);

}  // namespace fwprune
