// Weakest-link pruning without the sweeps: every cell is answered from reachability among the legs
// lighter than itself.
//
// Why this gives the sweeps' bytes, for a matrix without NaN. A sweep only ever writes -w where w
// is the weakest link (larger leg magnitude) of a real path of two legs whose magnitudes are
// themselves input magnitudes or weakest links of earlier paths; so every magnitude a cell takes
// is the weakest link of some walk of the input. Fix a cell (i, j) with clear sign bit and value
// v > lower, and call a leg light when its magnitude is below v. A held cell (0 <= value <= lower)
// never changes, but its magnitude is at most lower < v, so it is light whatever the sweeps would
// have made of it; every other cell only shrinks. Seen through "is it light", sweep k therefore
// makes (x, y) light exactly when (x, k) and (k, y) are light, which is one step of Warshall's
// closure of the light legs. After all n sweeps, (i, j) is light, that is replaced, exactly when
// the light legs lead from i to j. The leg (i, j) itself has magnitude v and is not light, so such
// a path has at least two legs (for i == j: a cycle through another node); self-loops of other
// nodes add nothing. Replaced cells and cells with the sign bit set are written 2.0, as are cells
// at or above upper; every other cell keeps its value. So the result depends only on, for each
// such cell, whether j is reachable from i among the legs lighter than v. (A NaN breaks this: a
// NaN leg passes beside a number but two NaN legs block, so the order of the sweeps matters; such
// matrices are left to the sweeps.)
//
// Two ways answer all those questions: a minimum spanning tree when the magnitudes are symmetric
// (weakest_link_ordered_spanning_tree.cpp), and otherwise an incremental closure over the cells in
// ascending magnitude (weakest_link_ordered_closure.cpp).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "common/parallel.h"
#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_ordered_internal.h"
#include "cpu/weakest_link_ordered_shared.h"

namespace fwprune::cpu {
namespace detail {

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const ProgressFunction& progress, const OrderedOptions& options) {
    ThreadPool pool(threads);
    return pruneWeakestLinksOrdered(matrix, n, rowStride, lower_threshold, upper_threshold, pool,
                                    progress, options);
}

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, ThreadPool& pool,
                              const ProgressFunction& progress, const OrderedOptions& options) {
    using namespace ordered;
    if (n < 0 || n > 0xffff) throw std::invalid_argument("the node count is out of range");
    if (n == 0) return true;
    if (rowStride < static_cast<std::size_t>(n)) {
        throw std::invalid_argument("the row stride is shorter than a row");
    }
    const Matrix m{matrix, n, rowStride};
    const Thresholds t(lower_threshold, upper_threshold);
    // Symmetry first: it is settled by the first tiles of most matrices that lack it, and on a
    // symmetric matrix the same pass is the census.
    // The light legs: about as many as join every node on random weights; the spanning tree
    // gathers them during the census, the closure takes them as its first batch.
    LightSample light;
    if (options.method != OrderedMethod::Closure) {
        light.target = options.firstBatch > 0 ? options.firstBatch : joiningLegs(side(m));
        light.magnitude = lightMagnitude(m, t, light.target);
        SymmetryCensus census = takeSymmetryCensus(m, t, pool, light.magnitude, 4 * light.target);
        if (census.symmetric) {
            if (census.hasNaN) return false;
            if (!census.hasQuestion) {
                cutRows(m, t, pool);
            } else {
                pruneSymmetric(m, t, pool, std::move(census.lightLegs), progress);
            }
            if (progress) progress(1.0);
            return true;
        }
        if (options.method == OrderedMethod::SpanningTree) {
            throw std::invalid_argument("the spanning tree needs symmetric magnitudes");
        }
    }
    const RowChunks chunks(side(m), pool);
    if (!pruneByClosure(m, t, pool, chunks, progress, options, light)) return false;
    if (progress) progress(1.0);
    return true;
}

}  // namespace detail

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const ProgressFunction& progress) {
    return detail::pruneWeakestLinksOrdered(matrix, n, rowStride, lower_threshold, upper_threshold,
                                            threads, progress, {});
}

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, ThreadPool& pool,
                              const ProgressFunction& progress) {
    return detail::pruneWeakestLinksOrdered(matrix, n, rowStride, lower_threshold, upper_threshold,
                                            pool, progress, {});
}

}  // namespace fwprune::cpu
