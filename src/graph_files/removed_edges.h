// The report of what a job removed and why: a table of tab-separated columns with the header
// "source	target	reason	via	value", one line per removed edge, in the order of the
// output.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"

namespace fwprune {

enum class RemovalReason : std::uint8_t {
    Bypassed,     // via: a node w with walks source -> ... -> w -> ... -> target
    Cycle,        // via: another node of a cycle the edge's source or target lies on
    SelfLoop,     // no via
    Condensed,    // inside a component kept as one cycle; via: the cycle's first (smallest) node
    Represented,  // another edge joins the same two components; via, value: its source, target
    // Weakest link:
    Replaced,  // via: a node of a better walk; value: its weakest link (none known: both empty)
    Negative,  // value: the cell's weight
    Upper,     // at or above the upper threshold; value: the cell's weight
};

// The word the report uses for a reason.
const char* removalReasonName(RemovalReason reason);

struct RemovedEdge {
    std::uint64_t record;  // source << 32 | target
    std::uint32_t via;
    std::uint32_t value;  // a node number, for Represented only
    RemovalReason reason;
};

// Writes the header and one line per entry, in the given order. The caller commits the file.
void writeRemovedEdges(const std::vector<RemovedEdge>& removed, OutputFile& file,
                       Workers workers = {}, const ProgressFunction& progress = {});

// The same naming each node by its label in `labels`, as the labelled formats write them (the
// report is TSV: a label holding a tab or a line end would break its line, as in a TSV output).
class LabelTable;
void writeRemovedEdges(const std::vector<RemovedEdge>& removed, const LabelTable& labels,
                       OutputFile& file, Workers workers = {},
                       const ProgressFunction& progress = {});

// One removed cell of a weight matrix's row.
struct RemovedCell {
    std::uint32_t column;
    RemovalReason reason;
    std::uint32_t via;  // Replaced: kNoVia when no witness is known
    float value;
    static constexpr std::uint32_t kNoVia = 0xffffffffu;
};

// Writes the header, then for each row i of an n x n matrix the cells that explainRow(i, cells)
// lists (columns ascending). explainRow is called from several threads at once. The caller
// commits the file.
using ExplainRow = std::function<void(std::int64_t, std::vector<RemovedCell>&)>;
void writeRemovedCells(std::int64_t n, OutputFile& file, Workers workers,
                       const ExplainRow& explainRow, const ProgressFunction& progress = {});

}  // namespace fwprune
