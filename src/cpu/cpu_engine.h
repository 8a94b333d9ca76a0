// The native CPU engine: the same results as the device kernels' sweeps, bit for bit, computed
// by cache-friendly, vectorised, multithreaded code instead of one launch per sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/progress.h"

namespace fwprune {
class ThreadPool;
}

// Every engine runs on the job's pool of workers (the overloads taking a thread count start a
// pool of their own, for tests and benchmarks; 0 or less asks for resolveThreadCount's default).
// Each reports the fraction of its work done now and then (per block
// of rows or batch of nodes) from the calling thread, and throws std::bad_alloc when its scratch
// memory is short.
namespace fwprune::cpu {

// Transitive reduction of an n x n byte adjacency matrix (row-major, rows n bytes apart), in
// place. On entry a non-zero cell is an edge. On return cell (i, j) is 1 exactly when it was an
// edge and no walk of two or more edges leads from i to j; every other cell is 0. (This is what
// the n reachability sweeps followed by the reduction pass leave behind.)
void reduceTransitively(std::uint8_t* matrix, std::int64_t n, ThreadPool& pool,
                        const ProgressFunction& progress = {});
void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ProgressFunction& progress = {});

// The n weakest-link sweeps (k = 0 .. n-1 in order) followed by the threshold pass, in place, on
// an n x n float matrix whose rows lie rowStride floats apart (rowStride >= n).
void pruneWeakestLinks(float* matrix, std::int64_t n, std::size_t rowStride, float lower_threshold,
                       float upper_threshold, ThreadPool& pool,
                       const ProgressFunction& progress = {});
void pruneWeakestLinks(float* matrix, std::int64_t n, std::size_t rowStride, float lower_threshold,
                       float upper_threshold, int threads, const ProgressFunction& progress = {});

// The same result as pruneWeakestLinks, bit for bit, for a matrix without NaN, computed without
// the sweeps: each cell is answered from reachability among the legs lighter than itself (see
// weakest_link_ordered.cpp). Returns false and leaves the matrix untouched when it holds a NaN,
// whose result depends on the order of the sweeps. progress, when set, is told the fraction done
// now and then, on the calling thread. n must be below 65536.
bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, ThreadPool& pool,
                              const ProgressFunction& progress = {});
bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const ProgressFunction& progress = {});

// Transitive reduction of a graph given as edge records (source << 32 | target, both node
// numbers >= 0), in any order, repeats allowed: `kept` holds the records of the surviving edges,
// each once, in ascending order (by source, then target), and `distinct` the number of distinct
// records. Memory follows the number of records and of distinct nodes, never the largest node
// number.
struct ReducedEdges {
    std::vector<std::uint64_t> kept;
    std::size_t distinct = 0;
};
ReducedEdges reduceEdgeRecords(const std::vector<std::uint64_t>& records, int threads,
                               const ProgressFunction& progress = {});
// The same, taking the records over: their memory becomes the route's own, which keeps its peak
// near 30 bytes an edge.
ReducedEdges reduceEdgeRecords(std::vector<std::uint64_t>&& records, ThreadPool& pool,
                               const ProgressFunction& progress = {});

// reduceTransitively for a graph given as edge records whose node numbers are all below n: the
// same surviving edges, as records in ascending order, computed on n x n bits without the byte
// matrix.
ReducedEdges reduceEdgeRecordsOnBits(const std::vector<std::uint64_t>& records, std::int64_t n,
                                     ThreadPool& pool, const ProgressFunction& progress = {});
ReducedEdges reduceEdgeRecordsOnBits(const std::vector<std::uint64_t>& records, std::int64_t n,
                                     int threads, const ProgressFunction& progress = {});

}  // namespace fwprune::cpu
