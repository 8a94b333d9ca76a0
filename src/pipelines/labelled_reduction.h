// A reduction whose input or output is labelled (TSV, CSV, DOT): labels numbered as read, the
// records reduced as any others, the survivors written with their labels.
#pragma once

#include <string>

#include "pipelines/job.h"
#include "pipelines/pipelines.h"

namespace fwprune {

void runLabelledReduction(JobContext& job, const std::string& inputPath,
                          const std::string& outputPath, ReductionFormats formats);

}  // namespace fwprune
