// What the ordered route's methods share: the thresholds as ranges of bit patterns, the matrix
// and bit-matrix views, rows split into chunks for parallel passes, and the join order that both
// methods answer their questions from in the final pass. (Why the route gives the sweeps' bytes is
// written in weakest_link_ordered.cpp; each method's own argument is beside it.)
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "common/bit_rows.h"
#include "common/cancel.h"
#include "common/float_bits.h"
#include "common/matrix_view.h"
#include "common/parallel.h"
#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_ordered_internal.h"

namespace fwprune::cpu::ordered {

constexpr std::uint32_t kNoMagnitude = 0xffffffffu;  // above every magnitude

// The threshold tests on bit patterns, as IEEE comparisons answer them for values that are not
// NaN, whatever the thread's floating-point mode: subnormals compare as themselves. Both tests come
// down to unsigned ranges of the bit pattern, since bit patterns with a clear sign bit are in the
// order of their values and those with a set sign bit lie above them all.
class Thresholds {
  public:
    Thresholds(float lower, float upper) {
        const std::uint32_t lowerBits = bitsOf(lower);
        const std::uint32_t upperBits = bitsOf(upper);
        // upper <= v, for v with a clear sign bit: v's bits at or above those of upper when upper
        // is not negative (-0.0 counts as 0); always when it is; never when it is NaN.
        if (isNaN(magnitude(upperBits))) {
            cutFrom_ = kSignBit;
        } else if ((upperBits & kSignBit) != 0) {
            cutFrom_ = 0;
        } else {
            cutFrom_ = upperBits;
        }
        // v > lower: v's bits above those of lower when lower is not negative (-0.0 counts as 0);
        // always when it is (+0.0 > -1); never when it is NaN.
        if (isNaN(magnitude(lowerBits))) {
            questionFrom_ = kSignBit;
        } else if ((lowerBits & kSignBit) != 0 && lowerBits != kSignBit) {
            questionFrom_ = 0;
        } else {
            questionFrom_ = (lowerBits & kMagnitudeBits) + 1;
        }
        questionEnd_ = std::max(questionFrom_, cutFrom_);
    }

    // Ends 2.0 whatever the paths: the sign bit is set, or the value is at or above upper.
    bool cut(std::uint32_t bits) const { return bits >= cutFrom_; }
    // Ends 2.0 exactly when lighter legs lead around it: clear sign bit, above lower, below upper.
    bool question(std::uint32_t bits) const {
        return bits - questionFrom_ < questionEnd_ - questionFrom_;
    }

  private:
    std::uint32_t cutFrom_;
    std::uint32_t questionFrom_;
    std::uint32_t questionEnd_;
};

using Progress = ProgressFunction;

// The caller's matrix; its cells are read and written as bit patterns (cellsOf: row i).
using Matrix = MatrixView<float>;
inline std::size_t side(const Matrix& m) {
    return static_cast<std::size_t>(m.n);
}
inline CellBits* cellsOf(const Matrix& m, std::size_t i) {
    return reinterpret_cast<CellBits*>(m.row(static_cast<std::int64_t>(i)));
}

// A cancel heard by a parallel pass. Only the calling thread (worker 0) may ask the caller; it
// tells the other threads, which stop at their next check. Once its own share is done it keeps
// asking until the others have finished theirs, so a cancel lands within one check's work of any
// thread, however unevenly the shares end.
class StopTogether {
  public:
    // shares: how many threads run a share (one call of run each).
    explicit StopTogether(std::size_t shares) : running_(shares) {}

    // Whether this thread is to stop now; on the calling thread, throws the caller's cancel.
    bool stopped(int worker) {
        if (worker != 0) return stop_.load(std::memory_order_relaxed);
        try {
            pollCancelled();
        } catch (...) {
            stop_.store(true, std::memory_order_relaxed);
            throw;
        }
        return false;
    }

    // Runs this thread's share; an exception from it stops the others too.
    template <typename Share>
    void run(int worker, Share&& share) {
        try {
            share();
        } catch (...) {
            stop_.store(true, std::memory_order_relaxed);
            running_.fetch_sub(1);
            throw;
        }
        running_.fetch_sub(1);
        while (worker == 0 && running_.load() > 0) {
            stopped(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> running_;
};

// Rows split into a fixed number of chunks, visited in parallel: a pass that counts per chunk
// and a later pass that writes per chunk see the same rows in each.
class RowChunks {
  public:
    RowChunks(std::size_t n, ThreadPool& pool)
        : n_(n), pool_(pool), count_(std::min<std::size_t>(n, std::size_t(pool.size()))) {}
    std::size_t count() const { return count_; }

    // visit(chunk, i) for every row i, each chunk on a thread of its own. Asks whether to stop
    // before each row (see StopTogether).
    template <typename Visit>
    void forEachRow(Visit&& visit) const {
        StopTogether stop(count_);
        pool_.parallelFor(0, static_cast<std::int64_t>(count_),
                          [&](std::int64_t begin, std::int64_t, int worker) {
                              const auto c = static_cast<std::size_t>(begin);
                              stop.run(worker, [&] {
                                  for (std::size_t i = n_ * c / count_; i < n_ * (c + 1) / count_;
                                       ++i) {
                                      if (stop.stopped(worker)) return;
                                      visit(c, i);
                                  }
                              });
                          });
    }

  private:
    std::size_t n_;
    ThreadPool& pool_;
    std::size_t count_;
};

// The final pass when there is no question: cut cells become 2.0.
void cutRows(const Matrix& m, const Thresholds& t, ThreadPool& pool);

// Cells that take part in the closure: every question, and every leg but the diagonal (a leg
// from a node to itself adds no path).
inline bool takesPart(const Thresholds& t, std::size_t i, std::size_t j, std::uint32_t bits) {
    return i != j || t.question(bits);
}

// About as many legs as random weights need to join every node into one component (about n ln n
// of them), with room to spare: 2 n log2 n.
inline std::size_t joiningLegs(std::size_t n) {
    return 2 * n * std::size_t(64 - __builtin_clzll(n | 1));
}

// A magnitude at or below which about `target` cells take part, read off a sample of cells.
std::uint32_t lightMagnitude(const Matrix& m, const Thresholds& t, std::size_t target);

// A magnitude taken by lightMagnitude, and the target it was taken for, so that a method that
// wants the same target reads no second sample (target 0: none taken).
struct LightSample {
    std::size_t target = 0;
    std::uint32_t magnitude = kNoMagnitude;
};

// Top-level buckets of the closure's histogram: the magnitude's top 12 bits (exponent and three
// bits of mantissa), 16 KiB of counters per chunk, which stay in the first-level cache.
constexpr int kTopShift = 19;
constexpr std::size_t kTopBuckets = std::size_t{1} << (31 - kTopShift);

// Counts per chunk of rows, per bucket.
using ChunkCounts = std::vector<std::vector<std::uint32_t>>;

// Nodes in the order in which groups of them were joined, with the join weight between
// neighbours: each join appends one group's run to another's, so a group is always a contiguous
// run and the weight at which two nodes were first joined is the largest gap between their
// positions. Unjoined runs follow each other with gap kNoMagnitude.
class JoinOrder {
  public:
    explicit JoinOrder(std::size_t n) : position_(n) {
        order_.reserve(n);
        gap_.reserve(n);
    }
    // Appends x; gapAfter is the join weight between x and the node that follows it.
    void append(std::uint32_t x, std::uint32_t gapAfter) {
        position_[x] = static_cast<std::uint32_t>(order_.size());
        order_.push_back(x);
        gap_.push_back(gapAfter);
    }
    // link[j] = the weight at which i and j were joined, for every j but i.
    void joinWeightsFrom(std::size_t i, std::uint32_t* link) const {
        const std::size_t n = order_.size();
        const std::size_t p = position_[i];
        std::uint32_t running = 0;
        for (std::size_t q = p + 1; q < n; ++q) {
            running = std::max(running, gap_[q - 1]);
            link[order_[q]] = running;
        }
        running = 0;
        for (std::size_t q = p; q-- > 0;) {
            running = std::max(running, gap_[q]);
            link[order_[q]] = running;
        }
    }

    // Builds the table joinWeight reads; called once every node is appended.
    void seal();
    // The weight at which i and j (i != j) were joined: the largest gap between their positions,
    // as the larger of two overlapping power-of-two spans of the sealed table.
    std::uint32_t joinWeight(std::size_t i, std::size_t j) const {
        std::size_t p = position_[i];
        std::size_t q = position_[j];
        if (p > q) std::swap(p, q);
        const int level = 63 - __builtin_clzll(q - p);
        const std::uint32_t* const span = spans_.data() + std::size_t(level) * order_.size();
        return std::max(span[p], span[q - (std::size_t{1} << level)]);
    }
    // The heaviest join when all nodes were joined into one run (so any two were joined at or
    // below it), else kNoMagnitude.
    std::uint32_t allJoinedBy() const { return allJoinedBy_; }

  private:
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> gap_;
    std::vector<std::uint32_t> position_;
    // spans_[level * n + p]: the largest of the gaps p .. p + 2^level - 1.
    std::vector<std::uint32_t> spans_;
    std::uint32_t allJoinedBy_ = kNoMagnitude;
};

// The final pass of both methods: a cell becomes 2.0 when it is cut, or when it is a question
// that is beaten, that is, its bit in `beaten` (when given) is set, or its magnitude is above the
// weight at which its two ends were joined (for a diagonal cell, above diagonal(i)). Every
// other cell keeps its value. It allocates nothing and is not cancelled once it writes, so a
// failure leaves the matrix as it was.
using DiagonalJoin = std::function<std::uint32_t(std::size_t i)>;
void finishWithJoins(const Matrix& m, const Thresholds& t, ThreadPool& pool, JoinOrder joins,
                     const BitRows* beaten, const DiagonalJoin& diagonal, const Progress& progress);

// The spanning-tree method (weakest_link_ordered_spanning_tree.cpp).
// One pass over the pairs of mirrored cells, stopped as soon as two differ in magnitude: whether
// the magnitudes are symmetric and, when they are, whether the matrix holds a NaN and a question.
// On the way it gathers the legs (one of each mirrored pair) of magnitude at or below `light`,
// unless they are more than `room`.
struct SymmetryCensus {
    bool symmetric = false;
    bool hasNaN = false;
    bool hasQuestion = false;
    // When symmetric: the light legs as magnitude << 32 | row << 16 | column, or none if they
    // were more than `room`.
    std::vector<std::uint64_t> lightLegs;
};
SymmetryCensus takeSymmetryCensus(const Matrix& m, const Thresholds& t, ThreadPool& pool,
                                  std::uint32_t light, std::size_t room);
// Takes the spanning tree from the census's light legs when they join every node, without
// reading the matrix again; else from the matrix.
void pruneSymmetric(const Matrix& m, const Thresholds& t, ThreadPool& pool,
                    std::vector<std::uint64_t> lightLegs, const Progress& progress);

// The closure (weakest_link_ordered_closure.cpp), which takes its own census. Returns false, with
// the matrix untouched, when it holds a NaN.
bool pruneByClosure(const Matrix& m, const Thresholds& t, ThreadPool& pool, const RowChunks& chunks,
                    const Progress& progress, const detail::OrderedOptions& options,
                    const LightSample& sample);

}  // namespace fwprune::cpu::ordered
