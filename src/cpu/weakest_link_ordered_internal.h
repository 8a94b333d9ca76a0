// Knobs behind pruneWeakestLinksOrdered, exposed so tests and benchmarks can pin the method and
// shrink the batches instead of taking the defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpu/cpu_engine.h"

namespace fwprune::cpu::detail {

enum class OrderedMethod {
    Auto,          // the spanning tree when the magnitudes are symmetric, else the closure
    SpanningTree,  // only valid on symmetric magnitudes
    Closure,       // cells in ascending magnitude with incremental reachability
};

struct OrderedOptions {
    OrderedMethod method = OrderedMethod::Auto;
    // Most events sorted at once, and the size of the first batch (for the spanning tree: about
    // how many light legs the census gathers, a quarter of what it may hold); 0 takes the
    // defaults (an eighth of the cells, at least 4 Mi; 2 n log2 n). Tiny values make every path
    // of the batching (several batches, buckets split again, single magnitudes streamed, the
    // spanning tree taken from the whole matrix) run on small matrices.
    std::size_t batchCapacity = 0;
    std::size_t firstBatch = 0;
};

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const ProgressFunction& progress, const OrderedOptions& options);
bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, ThreadPool& pool,
                              const ProgressFunction& progress, const OrderedOptions& options);

// Sorts each bucket keys[bucketStart[k], bucketStart[k + 1]) by bits [lowBit, highBit), the
// buckets shared out among the pool's threads, each with the same part of scratch (which holds as
// many keys) as room. The calling thread asks the caller whether to stop every 64 Ki keys, and
// keeps asking while the others finish; they stop within 64 Ki keys once it has heard yes, and
// the cancel is thrown.
void sortBuckets(std::uint64_t* keys, const std::vector<std::size_t>& bucketStart, int lowBit,
                 int highBit, ThreadPool& pool, std::uint64_t* scratch);

}  // namespace fwprune::cpu::detail
