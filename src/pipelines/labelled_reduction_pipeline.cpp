#include <optional>
#include <variant>

#include "common/cancel.h"
#include "common/error.h"
#include "graph_files/dot_graph.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "graph_files/labelled_edge_list.h"
#include "graph_files/removed_edges.h"
#include "pipelines/job.h"
#include "pipelines/labelled_reduction.h"
#include "pipelines/pipelines.h"
#include "pipelines/reduction_cycles.h"

namespace fwprune {

ReductionFormats resolveReductionFormats(const RunOptions& options, const std::string& inputPath,
                                         const std::string& outputPath) {
    ReductionFormats formats{formatOfPath(inputPath, options.inputFormat),
                             formatOfPath(outputPath, options.outputFormat)};
    if (formats.input == FileFormat::Npy) {
        fail(Status::InvalidArgument,
             inputPath +
                 ": an .npy file holds a weight matrix; the reduction reads an edge list "
                 "(native, TSV, CSV or DOT)");
    }
    if (options.outputFormat == FileFormat::Auto && formats.output == FileFormat::Native &&
        isLabelled(formats.input)) {
        formats.output = formats.input;
    }
    if (formats.output == FileFormat::Npy) {
        fail(
            Status::InvalidArgument,
            outputPath + ": the reduction writes an edge list (native, TSV, CSV or DOT), not .npy");
    }
    if (formats.output == FileFormat::Native && isLabelled(formats.input)) {
        fail(Status::InvalidArgument,
             outputPath + ": the nodes of " + inputPath +
                 " have labels, which native text (node numbers) cannot hold; write TSV, CSV or "
                 "DOT");
    }
    return formats;
}

namespace {

TableDialect dialectOf(FileFormat format) {
    return format == FileFormat::Csv ? TableDialect::Csv : TableDialect::Tsv;
}

}  // namespace

void runLabelledReduction(JobContext& job, const std::string& inputPath,
                          const std::string& outputPath, ReductionFormats formats) {
    const RunOptions& options = job.options();
    checkCancelled();
    PhaseTimer reading(job, Phase::Read);
    // The input as read: its records are what is reduced, its labels what is written.
    std::variant<LabelledEdgeList, DotGraph, EdgeRecords> input;
    EdgeRecords* graph = nullptr;
    LabelTable numbers = LabelTable::numbers();
    const LabelTable* labels = &numbers;
    if (formats.input == FileFormat::Dot) {
        DotGraph& dot = input.emplace<DotGraph>(readDotGraph(inputPath, reading.progress()));
        graph = &dot.graph;
        labels = &dot.labels;
    } else if (isLabelled(formats.input)) {
        LabelledEdgeList& list = input.emplace<LabelledEdgeList>(readLabelledEdgeList(
            inputPath, dialectOf(formats.input), options.header, reading.progress(), job.pool()));
        graph = &list.graph;
        labels = &list.labels;
    } else {
        graph = &input.emplace<EdgeRecords>(readEdgeRecords(
            inputPath, options.strict, job.pool(), kEdgeListPieceBytes, reading.progress()));
    }
    reading.done();
    checkCancelled();
    PhaseTimer computing(job, Phase::Compute);
    std::vector<std::uint64_t> kept;
    const bool report = !options.removedPath.empty();
    std::vector<RemovedEdge> removed;
    const JobPlan plan = planReduction(options, graph->n, graph->records.size(), inputPath);
    if (formats.input == FileFormat::Dot) {
        // The DOT writer matches each statement's edges against the survivors, and a device
        // route gives the records up: it reduces a copy.
        EdgeRecords copy = *graph;
        kept = reduceEdgeRecordsWithCycles(job, plan, copy, inputPath, report ? &removed : nullptr);
    } else {
        kept =
            reduceEdgeRecordsWithCycles(job, plan, *graph, inputPath, report ? &removed : nullptr);
        std::vector<std::uint64_t>().swap(graph->records);
    }
    computing.done();
    checkCancelled();
    PhaseTimer writing(job, Phase::Write);
    // The report, in the input's labels, comes first, so that a path it shares with the output
    // ends holding the output; both are replaced together or not at all.
    std::optional<OutputFile> reportFile;
    if (report) {
        reportFile.emplace(options.removedPath);
        writeRemovedEdges(removed, *labels, *reportFile, job.pool());
    }
    OutputFile file(outputPath);
    if (formats.output == FileFormat::Dot) {
        if (const DotGraph* dot = std::get_if<DotGraph>(&input)) {
            writeDotGraph(*dot, kept, file);
        } else {
            writePlainDotGraph(*labels, kept, file);
        }
    } else {
        // A header and extra columns go along within one dialect only.
        const LabelledEdgeList* list = std::get_if<LabelledEdgeList>(&input);
        const bool sameDialect = list != nullptr && formats.input == formats.output;
        writeLabelledEdges(*labels, dialectOf(formats.output), kept, file,
                           sameDialect && list->hasHeader ? &list->header : nullptr,
                           sameDialect ? &list->extras : nullptr, writing.progress(), job.pool());
    }
    if (reportFile)
        commitTogether(*reportFile, file);
    else
        file.commit();
    writing.done();
}

}  // namespace fwprune
