// The report of the cells weakest-link pruning removed, and why.
#pragma once

#include <vector>

#include "common/graphs.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"

namespace fwprune {

// Writes the report of every cell that held an edge in `input` (the matrix before pruning, not
// 2.0) and is absent in `output`: negative, at or above `upper`, or replaced (with a node of a
// better walk and that walk's weakest link). The caller commits the file.
void writeRemovedCellsReport(const std::vector<float>& input, const WeightMatrix& output,
                             float upper, OutputFile& file, Workers workers,
                             const ProgressFunction& progress = {});

}  // namespace fwprune
