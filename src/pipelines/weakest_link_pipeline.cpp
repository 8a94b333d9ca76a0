#include <algorithm>

#include "common/cancel.h"
#include "common/error.h"
#include "graph_files/file_io.h"
#include "graph_files/npy_matrix.h"
#include "graph_files/weight_matrix.h"
#include "pipelines/engines.h"
#include "pipelines/job.h"
#include "pipelines/pipelines.h"
#include "pipelines/removed_cells.h"

namespace fwprune {

void runWeakestLinkPipeline(const std::string& inputPath, const std::string& edgeListPath,
                            const std::string& matrixPath, float lower_threshold,
                            float upper_threshold, const RunOptions& options) {
    const ReleaseReadersOnFailure release({edgeListPath, matrixPath, options.removedPath});
    // A weight matrix is native text or .npy; the edge list is always native text.
    const FileFormat inputFormat = formatOfPath(inputPath, options.inputFormat);
    const FileFormat matrixFormat = formatOfPath(matrixPath, options.outputFormat);
    if (inputFormat != FileFormat::Native && inputFormat != FileFormat::Npy) {
        fail(Status::InvalidArgument, inputPath +
                                          ": weakest-link pruning reads a weight matrix "
                                          "(native text or .npy), not " +
                                          formatName(inputFormat));
    }
    const bool npyOut = matrixFormat == FileFormat::Npy;
    if (!npyOut && options.outputFormat != FileFormat::Auto &&
        options.outputFormat != FileFormat::Native) {
        fail(Status::InvalidArgument, matrixPath +
                                          ": weakest-link pruning writes its matrix as "
                                          "native text or .npy, not " +
                                          formatName(options.outputFormat));
    }
    const bool report = !options.removedPath.empty();
    std::vector<float> input;  // the matrix before pruning, kept only for the report
    JobContext job(options);
    runJobPhases(
        job,
        [&](const ProgressFunction& progress) {
            if (inputFormat == FileFormat::Npy) {
                return readNpyMatrix(inputPath, job.pool(), progress);
            }
            return readWeightMatrix(inputPath, job.options().strict, job.pool(), progress);
        },
        [&](WeightMatrix& matrix) -> WeightMatrix& {
            if (report) {
                input = reportingOutOfMemory(
                    [&] { return describeAt(inputPath, "not enough memory for its copy"); },
                    [&] { return matrix.cells; });
            }
            pruneWeakestLinks(job, matrix, lower_threshold, upper_threshold);
            return matrix;
        },
        [&](const WeightMatrix& matrix, const ProgressFunction& progress) {
            // Both outputs are written completely before either replaces its target, and then
            // both replace their targets or neither does. The matrix is committed first: when
            // both paths name one file, it ends holding the edge list.
            OutputFile matrixFile(matrixPath);
            OutputFile edgeFile(edgeListPath);
            if (report) {
                // The report, when asked for, joins them, first, so that a path it shares with
                // another output ends holding that output.
                OutputFile reportFile(options.removedPath);
                writeRemovedCellsReport(input, matrix, upper_threshold, reportFile, job.pool(),
                                        progressPart(progress, 0, 0.5));
                std::vector<float>().swap(input);
                if (npyOut) {
                    writeNpyMatrix(matrix, matrixFile, progressPart(progress, 0.5, 0.9));
                } else {
                    writeWeightMatrix(matrix, matrixFile, job.pool(),
                                      progressPart(progress, 0.5, 0.9));
                }
                writeWeightEdgeList(matrix, edgeFile, job.pool(), progressPart(progress, 0.9, 1));
                OutputFile* const outputs[] = {&reportFile, &matrixFile, &edgeFile};
                commitTogether(outputs, 3);
                return;
            }
            // The matrix text is several times the edge list's, and takes most of the time.
            if (npyOut) {
                writeNpyMatrix(matrix, matrixFile, progressPart(progress, 0, 0.8));
            } else {
                writeWeightMatrix(matrix, matrixFile, job.pool(), progressPart(progress, 0, 0.8));
            }
            writeWeightEdgeList(matrix, edgeFile, job.pool(), progressPart(progress, 0.8, 1));
            commitTogether(matrixFile, edgeFile);
        });
}

}  // namespace fwprune
