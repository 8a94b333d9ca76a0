// The four kernels of the device source unit. Each sweep kernel runs one Floyd-Warshall sweep
// for one intermediate node k with one block per row; the pipelines launch it for k = 0 .. n-1 in
// order, then the finishing kernel once.
#pragma once

// One reachability sweep: marks CELL_IMPLIED every pair connected through k. Grid: exactly n
// blocks (block = row); any block width.
__global__ void floydWarshall_AllPairsLongestPath_kernel(
    unsigned char* deviceUnsignedCharFloydWarshallMatrix, int k, int nodes);

// Clears every CELL_IMPLIED cell. A 2D grid of 2D blocks covering at least n x n threads.
__global__ void transitiveReduction_kernel(unsigned char* deviceUnsignedCharMatrix, int nodes);

// One weakest-link sweep over a pitched float matrix. Grid: exactly n blocks (block = row).
__global__ void floydWarshall_AllPairsWeakestLink_kernel(float* deviceFloatMatrix, int k, int nodes,
                                                         unsigned int pitch, float lower_threshold);

// Marks absent (2.0) every cell with its sign bit set or at or above upper_threshold. Grid y is
// the row (exactly n rows of blocks); grid x times the block width covers at least n columns.
__global__ void transitiveReductionPlusThresholdPlusDecrementWeights_kernel(
    float* deviceFloatMatrix, int nodes, unsigned int pitch, float upper_threshold);
