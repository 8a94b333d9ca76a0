// The engines a plan runs, for the file jobs and the in-memory jobs alike. Each fills the job's
// statistics but for the phase times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/graphs.h"
#include "common/matrix_view.h"
#include "pipelines/job.h"

namespace fwprune {

// The reduction of a graph given as edge records, on its plan: the surviving records, sorted and
// unique. source names the input in messages. The records may be released on the way (the
// sparse route takes them over).
std::vector<std::uint64_t> reduceOnPlan(JobContext& job, const JobPlan& plan, EdgeRecords& graph,
                                        const std::string& source);

// The reduction of a byte matrix, in place, on the sweeps route of its plan (CPU or device): a
// cell ends 1 for a surviving edge and 0 elsewhere.
void reduceByteMatrix(JobContext& job, const JobPlan& plan, ByteAdjacencyMatrix& matrix);

// Weakest-link pruning of a matrix in place, on the plan the options and the matrix choose.
void pruneWeakestLinks(JobContext& job, WeightMatrix& matrix, float lower_threshold,
                       float upper_threshold);

// The same on a matrix the caller owns, changed only when the job succeeds: the ordered route
// reads it where it lies and writes it in its last pass, which allocates nothing and is not
// cancelled; the sweeps, which write as they go, run on a copy that replaces the cells at the end.
void pruneWeakestLinksInPlace(JobContext& job, MatrixView<float> matrix, float lower_threshold,
                              float upper_threshold);

}  // namespace fwprune
