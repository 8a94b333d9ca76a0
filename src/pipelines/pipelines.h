// The two jobs: read a graph, run the sweeps on the chosen engine, write the result.
#pragma once

#include <string>

#include "graph_files/graph_matrices.h"
#include "pipelines/device_runtime.h"

namespace fwprune {

enum class Backend { Auto, Gpu, Cpu, Emulated };

struct RunOptions {
    Backend backend = Backend::Auto;
    int threads = 0;  // CPU threads; 0 = every hardware thread
};

// The engine a request runs on: Auto becomes Gpu when a device is usable, else Cpu. A request for
// Gpu with no usable device is a Device error.
Backend resolveBackend(Backend requested);

// The n reachability sweeps and the reduction pass on a device, in place on the host matrix.
void reduceTransitivelyOnDevice(DeviceRuntime& runtime, ByteAdjacencyMatrix& matrix);

// The n weakest-link sweeps and the threshold pass on a device, in place on the host matrix.
void pruneWeakestLinksOnDevice(DeviceRuntime& runtime, WeightMatrix& matrix, float lower_threshold,
                               float upper_threshold);

// The same on the engine the options choose.
void reduceTransitively(ByteAdjacencyMatrix& matrix, const RunOptions& options);
void pruneWeakestLinks(WeightMatrix& matrix, float lower_threshold, float upper_threshold,
                       const RunOptions& options);

// File to file. Outputs are written whole or not at all; the input is read completely before any
// output is opened, so an output may name the input.
void runTransitiveReductionPipeline(const std::string& inputPath, const std::string& outputPath,
                                    const RunOptions& options);
void runWeakestLinkPipeline(const std::string& inputPath, const std::string& edgeListPath,
                            const std::string& matrixPath, float lower_threshold,
                            float upper_threshold, const RunOptions& options);

}  // namespace fwprune
