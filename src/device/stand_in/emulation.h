// What the kernels' source needs from CUDA when it is compiled as plain host C++ for the CPU
// stand-in. Under nvcc this header adds nothing.
//
// The stand-in's execution model, and the one rule that makes it exact:
//   - every block of a grid runs on one host thread, blocks in parallel with each other;
//   - the threads of a block run one after another, in index order (x fastest, then y, then z),
//     each to completion, so a "__shared__" variable is one variable per host thread, which is one
//     per block at any moment;
//   - hence a __syncthreads() barrier is exact only when everything written before it comes from
//     lower-numbered threads than the threads that read it after it (thread 0 filling a shared
//     value that all threads then read is the typical case). A kernel may pass at most one barrier,
//     and either every thread of a block passes it or none does; the grid runner checks both and
//     fails the launch otherwise, since no sequential order can honour a second barrier.
#pragma once

#if !defined(__CUDACC__)

#include <math.h>

#define __global__
#define __host__
#define __device__
#define __forceinline__ inline
#define __shared__ static thread_local

namespace fwprune::emulated {

struct Index3 {
    unsigned int x = 0, y = 0, z = 0;
};
struct Extent3 {
    unsigned int x = 1, y = 1, z = 1;
};

// The running thread's coordinates, set by the grid runner before each emulated thread starts.
extern thread_local Index3 threadIdx;
extern thread_local Index3 blockIdx;
extern thread_local Extent3 blockDim;
extern thread_local Extent3 gridDim;

// Counts the barriers the current emulated thread passes; see the rule above.
void __syncthreads();

}  // namespace fwprune::emulated

#endif
