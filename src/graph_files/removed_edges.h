// The report of what a job removed and why: a table of tab-separated columns with the header
// "source	target	reason	via	value", one line per removed edge, in the order of the
// output.
#pragma once

#include <cstdint>
#include <vector>

#include "common/progress.h"
#include "graph_files/file_io.h"

namespace fwprune {

enum class RemovalReason : std::uint8_t {
    Bypassed,     // via: a node w with walks source -> ... -> w -> ... -> target
    Cycle,        // via: another node of a cycle the edge's source or target lies on
    SelfLoop,     // no via
    Condensed,    // inside a component kept as one cycle; via: the cycle's first (smallest) node
    Represented,  // another edge joins the same two components; via, value: its source, target
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
void writeRemovedEdges(const std::vector<RemovedEdge>& removed, OutputFile& file, int threads = 0,
                       const ProgressFunction& progress = {});

}  // namespace fwprune
