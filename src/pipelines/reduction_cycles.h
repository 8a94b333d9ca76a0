// The reduction's handling of cycles (drop them, or keep one cycle per component) and the
// explanation of every edge it removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/graphs.h"
#include "graph_files/removed_edges.h"
#include "pipelines/job.h"
#include "pipelines/pipelines.h"

namespace fwprune {

// The reduction of a graph given as edge records under options.cycles: the surviving records,
// sorted and unique. When removed is set it receives every distinct input edge that did not
// survive, in the order of the output, with its reason. Fills the statistics but for the phase
// times; source names the graph in error messages.
// plan is the job's, made on this graph (planReduction).
std::vector<std::uint64_t> reduceEdgeRecordsWithCycles(JobContext& job, const JobPlan& plan,
                                                       EdgeRecords& graph,
                                                       const std::string& source,
                                                       std::vector<RemovedEdge>* removed = nullptr);
// The same as a job of its own, planned here, for tests.
std::vector<std::uint64_t> reduceEdgeRecordsWithCycles(EdgeRecords& graph,
                                                       const RunOptions& options,
                                                       const std::string& source,
                                                       std::vector<RemovedEdge>* removed = nullptr);

// reduceEdgeRecordsWithCycles for the in-memory calls: the report, when options.removedPath asks
// for one, is written and committed before the surviving records are returned.
std::vector<std::uint64_t> reduceInMemory(JobContext& job, const JobPlan& plan, EdgeRecords& graph,
                                          const std::string& source);

}  // namespace fwprune
