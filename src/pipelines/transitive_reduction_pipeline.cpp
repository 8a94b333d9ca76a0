// Transitive reduction, file to file.
#include <vector>

#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "pipelines/job.h"
#include "pipelines/labelled_reduction.h"
#include "pipelines/pipelines.h"
#include "pipelines/reduction_cycles.h"

namespace fwprune {
namespace {

struct Reduced {
    std::vector<std::uint64_t> kept;
    std::vector<RemovedEdge> removed;
};

}  // namespace

void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options) {
    const ReleaseReadersOnFailure release({outputPath, options.removedPath});
    const ReductionFormats formats = resolveReductionFormats(options, inputPath, outputPath);
    JobContext job(options);
    if (formats.input != FileFormat::Native || formats.output != FileFormat::Native) {
        runLabelledReduction(job, inputPath, outputPath, formats);
        return;
    }
    const bool report = !job.options().removedPath.empty();
    runJobPhases(
        job,
        [&](const ProgressFunction& progress) {
            return readEdgeRecords(inputPath, job.options().strict, job.pool(), kEdgeListPieceBytes,
                                   progress);
        },
        [&](EdgeRecords& graph) {
            Reduced reduced;
            const JobPlan plan =
                planReduction(job.options(), graph.n, graph.records.size(), inputPath);
            reduced.kept = reduceEdgeRecordsWithCycles(job, plan, graph, inputPath,
                                                       report ? &reduced.removed : nullptr);
            // The records are not needed past this point: free them before writing.
            std::vector<std::uint64_t>().swap(graph.records);
            return reduced;
        },
        [&](const Reduced& reduced, const ProgressFunction& progress) {
            if (!report) {
                writeSortedEdges(reduced.kept, outputPath, job.pool(), progress);
                return;
            }
            // Both files or neither; when both name one file, it ends holding the reduced graph.
            OutputFile removedFile(job.options().removedPath);
            OutputFile output(outputPath);
            const double share = double(reduced.removed.size()) /
                                 double(reduced.removed.size() + reduced.kept.size() + 1);
            writeRemovedEdges(reduced.removed, removedFile, job.pool(),
                              progressPart(progress, 0, share));
            writeSortedEdges(reduced.kept, output, job.pool(), progressPart(progress, share, 1));
            commitTogether(removedFile, output);
        });
}

}  // namespace fwprune
