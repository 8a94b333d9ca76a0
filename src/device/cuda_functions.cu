// The device source unit: the reachability kernels and the weakest-link kernels.
//
// This file is compiled twice: by nvcc for the GPU, and as host C++ for the CPU stand-in (see
// stand_in/emulation.h for the stand-in's rule). Keep it to kernels and the rules they apply.
#include "device/cuda_functions.h"
#include "device/kernel_rules.h"

__global__ void floydWarshall_AllPairsLongestPath_kernel(
    unsigned char* deviceUnsignedCharFloydWarshallMatrix, int k, int nodes) {
    unsigned char* const matrix = deviceUnsignedCharFloydWarshallMatrix;
    const unsigned long long n = static_cast<unsigned long long>(nodes);
    unsigned char* const rowI = matrix + blockIdx.x * n;
    const unsigned char* const rowK = matrix + static_cast<unsigned long long>(k) * n;
    // Every thread of the block reads the same cell and takes the same decision. Only block k
    // writes row k, and only over non-zero cells, so which cells of row k and column k are empty
    // cannot change during this sweep whatever the order of the blocks.
    const unsigned char cellIK = rowI[k];
    if (cellIK == fwprune::CELL_EMPTY) return;
    for (unsigned int j = threadIdx.x; j < n; j += blockDim.x) {
        if (fwprune::rules::connectsThrough(cellIK, rowK[j])) rowI[j] = fwprune::CELL_IMPLIED;
    }
}

__global__ void transitiveReduction_kernel(unsigned char* deviceUnsignedCharMatrix, int nodes) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= static_cast<unsigned int>(nodes) || y >= static_cast<unsigned int>(nodes)) return;
    unsigned char* const cell =
        deviceUnsignedCharMatrix + static_cast<unsigned long long>(y) * nodes + x;
    if (fwprune::rules::isImplied(*cell)) *cell = fwprune::CELL_EMPTY;
}

__global__ void floydWarshall_AllPairsWeakestLink_kernel(float* deviceFloatMatrix, int k, int nodes,
                                                         unsigned int pitch,
                                                         float lower_threshold) {
    __shared__ float absValueIK;
    char* const base = reinterpret_cast<char*>(deviceFloatMatrix);
    float* const rowI =
        reinterpret_cast<float*>(base + static_cast<unsigned long long>(blockIdx.x) * pitch);
    const float* const rowK =
        reinterpret_cast<const float*>(base + static_cast<unsigned long long>(k) * pitch);
    // One read of the leg i -> k per block. No thread of this block can change cell (i, k) in
    // this sweep (the weakest link through k is never below |cell (i, k)|), so the value stays
    // right for the whole row.
    if (threadIdx.x == 0) absValueIK = fabsf(rowI[k]);
    // Every thread waits here, those beyond n included, before any reads absValueIK.
    __syncthreads();
    for (unsigned int j = threadIdx.x; j < static_cast<unsigned int>(nodes); j += blockDim.x) {
        const float value = rowI[j];
        if (!fwprune::rules::takesPart(value, lower_threshold)) continue;
        const float weakest = fwprune::rules::weakestLink(absValueIK, fabsf(rowK[j]));
        if (fwprune::rules::pathBeats(weakest, value)) rowI[j] = -weakest;
    }
}

__global__ void transitiveReductionPlusThresholdPlusDecrementWeights_kernel(
    float* deviceFloatMatrix, int nodes, unsigned int pitch, float upper_threshold) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= static_cast<unsigned int>(nodes)) return;
    float* const row =
        reinterpret_cast<float*>(reinterpret_cast<char*>(deviceFloatMatrix) +
                                 static_cast<unsigned long long>(blockIdx.y) * pitch);
    if (fwprune::rules::marksAbsent(row[x], upper_threshold)) row[x] = fwprune::WEIGHT_ABSENT;
}
