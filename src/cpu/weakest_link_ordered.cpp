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
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/parallel.h"
#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_ordered_internal.h"
#include "cpu/weakest_link_ordered_shared.h"

namespace fwprune::cpu {
namespace {

using namespace ordered;

// What one pass over the input tells: whether it holds a NaN, the largest question (kNoMagnitude
// when there is none), and, when asked for, how many cells take part per top-level bucket, per
// chunk of rows.
struct Census {
    bool hasNaN = false;
    std::uint32_t largestQuestion = kNoMagnitude;
    ChunkCounts counts;
};

Census takeCensus(const Matrix& m, const Thresholds& t, const RowChunks& chunks, bool histogram) {
    Census census;
    if (histogram) {
        census.counts.assign(chunks.count(), std::vector<std::uint32_t>(kTopBuckets, 0));
    }
    // Per chunk: a NaN seen, and the largest question + 1 (0 for none).
    std::vector<unsigned char> nan(chunks.count(), 0);
    std::vector<std::uint64_t> largest(chunks.count(), 0);
    chunks.forEachRow([&](std::size_t c, std::size_t i) {
        const CellBits* const row = m.row(i);
        bool nanSeen = false;
        std::uint64_t top = largest[c];
        for (std::size_t j = 0; j < m.n(); ++j) {
            const std::uint32_t bits = row[j];
            nanSeen |= isNaN(magnitude(bits));
            if (t.question(bits)) top = std::max<std::uint64_t>(top, std::uint64_t{bits} + 1);
        }
        if (histogram) {
            std::uint32_t* const count = census.counts[c].data();
            for (std::size_t j = 0; j < m.n(); ++j) {
                if (takesPart(t, i, j, row[j])) ++count[(row[j] & kMagnitudeBits) >> kTopShift];
            }
        }
        nan[c] |= nanSeen;
        largest[c] = top;
    });
    for (std::size_t c = 0; c < chunks.count(); ++c) {
        census.hasNaN |= nan[c] != 0;
        if (largest[c] > 0) {
            const auto top = static_cast<std::uint32_t>(largest[c] - 1);
            census.largestQuestion = census.largestQuestion == kNoMagnitude
                                         ? top
                                         : std::max(census.largestQuestion, top);
        }
    }
    return census;
}

}  // namespace

namespace detail {

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const ProgressFunction& progress, const OrderedOptions& options) {
    if (n < 0 || n > 0xffff) throw std::invalid_argument("the node count is out of range");
    if (n == 0) return true;
    if (rowStride < static_cast<std::size_t>(n)) {
        throw std::invalid_argument("the row stride is shorter than a row");
    }
    const Matrix m(matrix, static_cast<std::size_t>(n), rowStride);
    const Thresholds t(lower_threshold, upper_threshold);
    ThreadPool pool(threads);
    const RowChunks chunks(m.n(), pool);
    // Symmetry first: it is settled by the first tile of most matrices that lack it, and a
    // symmetric matrix needs no histogram.
    const bool spanningTree =
        options.method == OrderedMethod::SpanningTree ||
        (options.method == OrderedMethod::Auto && magnitudesSymmetric(m, pool));
    const Census census = takeCensus(m, t, chunks, !spanningTree);
    if (census.hasNaN) return false;
    if (census.largestQuestion == kNoMagnitude) {
        cutRows(m, t, pool);
    } else if (spanningTree) {
        pruneSymmetric(m, t, pool, progress);
    } else {
        pruneByClosure(m, t, pool, chunks, progress, options, census.counts,
                       census.largestQuestion);
    }
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

}  // namespace fwprune::cpu
