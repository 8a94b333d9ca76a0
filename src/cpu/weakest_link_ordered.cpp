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
// Two ways to answer all those questions:
// - Symmetric magnitudes (|m[i][j]| == |m[j][i]| for all i, j): reachability among legs lighter
//   than v is connectivity, and the lightest possible weakest link from i to j is the heaviest leg
//   on their path in a minimum spanning tree. Ordering the nodes as the tree's edges join them
//   (lightest first, each join appending one component's list to the other's) puts every
//   component into a contiguous run, so that weakest link is the largest join weight between the
//   two nodes' positions: one running maximum per row. A diagonal cell (i, i) is beaten by the
//   cycle i -> k -> i over i's lightest leg. O(n^2) in all.
// - Otherwise, cells in ascending magnitude, each group of equal magnitude answered before its own
//   legs are inserted (a leg equal to v does not beat v), with reachability kept as bit rows and
//   updated as legs are inserted. Strongly connected components are merged as they form and share
//   one row; once a single component holds every node, every cell still to come is beaten, and
//   the rest of the matrix is never sorted. Inserting u -> v ORs v's row into the row of each
//   component that reaches u but not v; each such OR adds at least one bit, so the work is at most
//   n^2 row ORs of n bits (n^3 / 64 words) however the weights fall, and on random weights a few
//   hundred thousand events settle everything.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "common/cancel.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "cpu/cpu_engine.h"
#include "common/float_bits.h"
#include "cpu/weakest_link_ordered_internal.h"

namespace fwprune::cpu {
namespace {

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

using Progress = EngineProgress;

class Matrix {
  public:
    Matrix(float* cells, std::size_t n, std::size_t rowStride)
        : cells_(reinterpret_cast<CellBits*>(cells)), n_(n), rowStride_(rowStride) {}
    std::size_t n() const { return n_; }
    CellBits* row(std::size_t i) const { return cells_ + i * rowStride_; }

  private:
    CellBits* cells_;
    std::size_t n_;
    std::size_t rowStride_;
};

// n x n bits, row-major, rows a whole number of 64-bit words.
class BitMatrix {
  public:
    explicit BitMatrix(std::size_t n) : words_((n + 63) / 64), bits_(n * words_) {}
    std::size_t words() const { return words_; }
    std::uint64_t* row(std::size_t i) { return bits_.data() + i * words_; }
    const std::uint64_t* row(std::size_t i) const { return bits_.data() + i * words_; }
    static bool test(const std::uint64_t* row, std::size_t j) {
        return (row[j >> 6] >> (j & 63)) & 1u;
    }
    static void set(std::uint64_t* row, std::size_t j) {
        row[j >> 6] |= std::uint64_t{1} << (j & 63);
    }

  private:
    std::size_t words_;
    std::vector<std::uint64_t> bits_;
};

// Rows split into a fixed number of chunks, visited in parallel: a pass that counts per chunk
// and a later pass that writes per chunk see the same rows in each.
class RowChunks {
  public:
    RowChunks(std::size_t n, ThreadPool& pool)
        : n_(n), pool_(pool), count_(std::min<std::size_t>(n, std::size_t(pool.size()))) {}
    std::size_t count() const { return count_; }

    // visit(chunk, i) for every row i.
    template <typename Visit>
    void forEachRow(Visit&& visit) const {
        pool_.parallelFor(
            0, static_cast<std::int64_t>(count_), [&](std::int64_t begin, std::int64_t end, int) {
                for (auto c = static_cast<std::size_t>(begin); c < static_cast<std::size_t>(end);
                     ++c) {
                    for (std::size_t i = n_ * c / count_; i < n_ * (c + 1) / count_; ++i) {
                        visit(c, i);
                    }
                }
            });
    }

  private:
    std::size_t n_;
    ThreadPool& pool_;
    std::size_t count_;
};

// The final pass when there is no question: cut cells become 2.0.
void cutRows(const Matrix& m, const Thresholds& t, ThreadPool& pool) {
    pool.parallelFor(
        0, static_cast<std::int64_t>(m.n()), [&](std::int64_t begin, std::int64_t end, int) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                CellBits* const row = m.row(i);
                for (std::size_t j = 0; j < m.n(); ++j) {
                    if (t.cut(row[j])) row[j] = kAbsentBits;
                }
            }
        });
}

// Cells that take part in the closure: every question, and every leg but the diagonal (a leg
// from a node to itself adds no path).
bool takesPart(const Thresholds& t, std::size_t i, std::size_t j, std::uint32_t bits) {
    return i != j || t.question(bits);
}

// Top-level buckets of the closure's histogram: the magnitude's top 12 bits (exponent and three
// bits of mantissa), 16 KiB of counters per chunk, which stay in the first-level cache.
constexpr int kTopShift = 19;
constexpr std::size_t kTopBuckets = std::size_t{1} << (31 - kTopShift);

// What one pass over the input tells: whether it holds a NaN, the largest question (kNoMagnitude
// when there is none), and, when asked for, how many cells take part per top-level bucket, per
// chunk of rows.
struct Census {
    bool hasNaN = false;
    std::uint32_t largestQuestion = kNoMagnitude;
    std::vector<std::vector<std::uint32_t>> counts;
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

  private:
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> gap_;
    std::vector<std::uint32_t> position_;
};

// The final pass of both methods: a cell becomes 2.0 when it is cut, or when it is a question
// that is beaten, that is, its bit in `beaten` (when given) is set, or its magnitude is above the
// weight at which its two ends were joined (for a diagonal cell, above diagonal(i, row)). Every
// other cell keeps its value.
template <typename Diagonal>
void finishWithJoins(const Matrix& m, const Thresholds& t, ThreadPool& pool, const JoinOrder& joins,
                     const BitMatrix* beaten, Diagonal&& diagonal, const Progress& progress) {
    std::vector<std::vector<std::uint32_t>> links(static_cast<std::size_t>(pool.size()),
                                                  std::vector<std::uint32_t>(m.n()));
    pool.parallelFor(
        0, static_cast<std::int64_t>(m.n()), [&](std::int64_t begin, std::int64_t end, int worker) {
            std::uint32_t* const link = links[static_cast<std::size_t>(worker)].data();
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                CellBits* const row = m.row(i);
                joins.joinWeightsFrom(i, link);
                link[i] = diagonal(i, row);
                for (std::size_t j0 = 0; j0 < m.n(); j0 += 64) {
                    const std::uint64_t word = beaten ? beaten->row(i)[j0 / 64] : 0;
                    const std::size_t count = std::min<std::size_t>(64, m.n() - j0);
                    for (std::size_t k = 0; k < count; ++k) {
                        const std::uint32_t bits = row[j0 + k];
                        const bool beatenHere = ((word >> k) & 1u) != 0 || bits > link[j0 + k];
                        if (t.cut(bits) || (t.question(bits) && beatenHere))
                            row[j0 + k] = kAbsentBits;
                    }
                }
                // The calling thread's share of the rows stands for everyone's.
                if (worker == 0 && progress && (i + 1 - begin) % 64 == 0) {
                    progress(double(i + 1 - begin) / double(end - begin));
                }
            }
        });
}

bool magnitudesSymmetric(const Matrix& m, ThreadPool& pool) {
    constexpr std::size_t kTile = 64;
    const std::size_t tiles = (m.n() + kTile - 1) / kTile;
    std::atomic<bool> symmetric{true};
    pool.parallelFor(
        0, static_cast<std::int64_t>(tiles), [&](std::int64_t begin, std::int64_t end, int) {
            for (std::size_t ti = static_cast<std::size_t>(begin);
                 ti < static_cast<std::size_t>(end) && symmetric.load(std::memory_order_relaxed);
                 ++ti) {
                for (std::size_t tj = 0; tj <= ti; ++tj) {
                    const std::size_t iEnd = std::min(m.n(), (ti + 1) * kTile);
                    const std::size_t jEnd = std::min(m.n(), (tj + 1) * kTile);
                    std::uint32_t differ = 0;
                    for (std::size_t i = ti * kTile; i < iEnd; ++i) {
                        const CellBits* const row = m.row(i);
                        for (std::size_t j = tj * kTile; j < jEnd && j < i; ++j)
                            differ |= (row[j] ^ m.row(j)[i]) & kMagnitudeBits;
                    }
                    if (differ != 0) {
                        symmetric.store(false, std::memory_order_relaxed);
                        return;
                    }
                }
            }
        });
    return symmetric.load();
}

// --- Symmetric magnitudes: the minimum spanning tree.

void pruneSymmetric(const Matrix& m, const Thresholds& t, ThreadPool& pool,
                    const Progress& progress) {
    const std::size_t n = m.n();
    // Prim's algorithm on the dense matrix; a node not yet in the tree holds its lightest leg
    // to the tree in `reach` (magnitude in the high half, node in the low half, so that the
    // smallest entry names it), and a node in the tree holds all ones.
    struct Edge {
        std::uint32_t weight;
        std::uint32_t a, b;
    };
    std::vector<Edge> tree;
    tree.reserve(n);
    {
        constexpr std::uint64_t kInTree = ~std::uint64_t{0};
        std::vector<std::uint64_t> reach(n);
        std::vector<std::uint32_t> from(n, 0);
        for (std::size_t x = 0; x < n; ++x) reach[x] = (std::uint64_t{kNoMagnitude} << 32) | x;
        std::size_t u = 0;
        for (std::size_t added = 0; added < n; ++added) {
            if (added > 0) {
                std::uint64_t best = kInTree;
                for (std::size_t x = 0; x < n; ++x) best = std::min(best, reach[x]);
                u = static_cast<std::uint32_t>(best);
                tree.push_back({static_cast<std::uint32_t>(best >> 32), from[u],
                                static_cast<std::uint32_t>(u)});
            }
            reach[u] = kInTree;
            const CellBits* const row = m.row(u);
            for (std::size_t x = 0; x < n; ++x) {
                const std::uint64_t leg = (std::uint64_t{row[x] & kMagnitudeBits} << 32) | x;
                if (leg < reach[x] && reach[x] != kInTree) {
                    reach[x] = leg;
                    from[x] = static_cast<std::uint32_t>(u);
                }
            }
            if ((added & 255) == 255) {
                pollCancelled();
                if (progress) progress(0.5 * double(added) / double(n));
            }
        }
    }
    // Join the tree's edges lightest first; each join appends one component's node list to the
    // other's and records the join weight between them.
    std::sort(tree.begin(), tree.end(),
              [](const Edge& x, const Edge& y) { return x.weight < y.weight; });
    std::vector<std::uint32_t> leader(n), head(n), tail(n), next(n, 0);
    std::vector<std::uint32_t> joinAfter(n, 0);
    for (std::size_t x = 0; x < n; ++x)
        leader[x] = head[x] = tail[x] = static_cast<std::uint32_t>(x);
    const auto find = [&](std::uint32_t x) {
        while (leader[x] != x) x = leader[x] = leader[leader[x]];
        return x;
    };
    for (const Edge& e : tree) {
        const std::uint32_t a = find(e.a);
        const std::uint32_t b = find(e.b);
        next[tail[a]] = head[b];
        joinAfter[tail[a]] = e.weight;
        leader[b] = a;
        tail[a] = tail[b];
    }
    JoinOrder joins(n);
    for (std::size_t p = 0, x = head[find(0)]; p < n; ++p, x = next[x]) {
        joins.append(static_cast<std::uint32_t>(x), joinAfter[x]);
    }
    finishWithJoins(
        m, t, pool, joins, nullptr,
        [&](std::size_t i, const CellBits* row) {
            // i -> k -> i over i's lightest leg.
            std::uint32_t lightest = kNoMagnitude;
            for (std::size_t j = 0; j < n; ++j) {
                if (j != i) lightest = std::min(lightest, row[j] & kMagnitudeBits);
            }
            return lightest;
        },
        progressPart(progress, 0.5, 1));
}

// --- General matrices: cells in ascending magnitude, reachability kept incrementally.

// Reachability among the legs inserted so far. Nodes in one strongly connected component share
// their component leader's rows:
//   reach.row(c): the nodes reachable from c by one or more legs;
//   reachedBy.row(y): the leaders c whose reach has y (bits of former leaders go stale and are
//   masked out by isLeader).
// Components only ever merge; the magnitude of each merge is kept (a JoinOrder of the members), so
// that a question whose two ends already shared a component at its time is answered at the end
// instead of being recorded as it comes.
class Closure {
  public:
    explicit Closure(std::size_t n)
        : n_(n),
          reach_(n),
          reachedBy_(n),
          words_(reach_.words()),
          isLeader_(words_, 0),
          from_(words_),
          candidates_(words_),
          leader_(n),
          size_(n, 1),
          tail_(n),
          next_(n),
          joinAfter_(n, kNoMagnitude),
          selfJoin_(n, kNoMagnitude) {
        for (std::size_t x = 0; x < n; ++x) {
            leader_[x] = tail_[x] = static_cast<std::uint32_t>(x);
            next_[x] = kNoNode;
            BitMatrix::set(isLeader_.data(), x);
        }
    }

    // Whether i reaches j, when the two are not in one component (true) or when they are (false:
    // that answer follows from the join order).
    bool reachesAcross(std::size_t i, std::size_t j) {
        const std::uint32_t c = find(static_cast<std::uint32_t>(i));
        if (size_[c] > 1 && find(static_cast<std::uint32_t>(j)) == c) return false;
        return BitMatrix::test(reach_.row(c), j);
    }

    // Every node reaches every node: each question still to come is beaten.
    bool complete() { return n_ >= 2 && size_[find(0)] == n_; }

    // Inserts the leg u -> v of the given magnitude.
    void insert(std::uint32_t u, std::uint32_t v, std::uint32_t magnitude) {
        const std::uint32_t cu = find(u);
        const std::uint32_t cv = find(v);
        if (cu == cv || BitMatrix::test(reach_.row(cu), v)) return;
        // New pairs: (every leader reaching u, and cu) x (v and everything v reaches). Leaders
        // that already reach v already reach all of it.
        const std::uint64_t* const toU = reachedBy_.row(u);
        const std::uint64_t* const toV = reachedBy_.row(v);
        const std::uint64_t* const fromV = reach_.row(cv);
        for (std::size_t w = 0; w < words_; ++w) {
            from_[w] = fromV[w];
            candidates_[w] = toU[w] & isLeader_[w] & ~toV[w];
        }
        BitMatrix::set(from_.data(), v);
        // Rows are ORed only where from_ has bits: few words while the components are small.
        fromWords_.clear();
        for (std::size_t w = 0; w < words_; ++w) {
            if (from_[w] != 0) fromWords_.push_back(static_cast<std::uint32_t>(w));
        }
        BitMatrix::set(candidates_.data(), cu);
        const bool cycle = BitMatrix::test(fromV, u);
        for (std::size_t w = 0; w < words_; ++w) {
            for (std::uint64_t bits = candidates_[w]; bits != 0; bits &= bits - 1) {
                addReach(static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(bits)));
            }
        }
        if (cycle) {
            // u -> v closes cycles: every leader that reaches u and is reachable from v joins
            // cv's component, whose row (from_) is already theirs.
            if (size_[cv] == 1) selfJoin_[cv] = magnitude;
            for (std::size_t w = 0; w < words_; ++w) {
                std::uint64_t joining = (toU[w] | candidates_[w]) & isLeader_[w] & from_[w];
                for (; joining != 0; joining &= joining - 1) {
                    const auto x = static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(joining));
                    if (x != cv) join(x, cv, magnitude);
                }
            }
        }
    }

    // The members of every component in join order, components one after another.
    JoinOrder joinOrder() const {
        JoinOrder joins(n_);
        for (std::uint32_t c = 0; c < n_; ++c) {
            if (leader_[c] != c) continue;
            for (std::uint32_t x = c; x != kNoNode; x = next_[x]) joins.append(x, joinAfter_[x]);
        }
        return joins;
    }

    // The magnitude at which i joined a component of more than one node (kNoMagnitude if never).
    std::uint32_t selfJoin(std::size_t i) const { return selfJoin_[i]; }

  private:
    static constexpr std::uint32_t kNoNode = 0xffffffffu;

    std::uint32_t find(std::uint32_t x) {
        while (leader_[x] != x) x = leader_[x] = leader_[leader_[x]];
        return x;
    }

    void addReach(std::uint32_t c) {
        std::uint64_t* const row = reach_.row(c);
        for (const std::uint32_t w : fromWords_) {
            std::uint64_t fresh = from_[w] & ~row[w];
            if (fresh == 0) continue;
            row[w] |= fresh;
            for (; fresh != 0; fresh &= fresh - 1) {
                BitMatrix::set(reachedBy_.row(w * 64 + __builtin_ctzll(fresh)), c);
            }
        }
    }

    // Component x joins component c: its members follow c's.
    void join(std::uint32_t x, std::uint32_t c, std::uint32_t magnitude) {
        if (size_[x] == 1) selfJoin_[x] = magnitude;
        next_[tail_[c]] = x;
        joinAfter_[tail_[c]] = magnitude;
        tail_[c] = tail_[x];
        leader_[x] = c;
        size_[c] += size_[x];
        isLeader_[x >> 6] &= ~(std::uint64_t{1} << (x & 63));
    }

    std::size_t n_;
    BitMatrix reach_;
    BitMatrix reachedBy_;
    std::size_t words_;
    std::vector<std::uint64_t> isLeader_;
    std::vector<std::uint64_t> from_;
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint32_t> fromWords_;  // the words of from_ that are not zero
    std::vector<std::uint32_t> leader_;
    std::vector<std::size_t> size_;
    // Members of each component as a list from its leader: next_, and the list's tail_.
    std::vector<std::uint32_t> tail_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> joinAfter_;  // join weight between a member and the next
    std::vector<std::uint32_t> selfJoin_;
};

// One cell as the sorting sees it: magnitude, whether it is a question, row, column.
using Event = std::uint64_t;
Event eventOf(std::uint32_t magnitude, bool question, std::size_t i, std::size_t j) {
    return (std::uint64_t{magnitude} << 33) | (std::uint64_t{question} << 32) | (i << 16) | j;
}
std::uint32_t magnitudeOf(Event e) {
    return static_cast<std::uint32_t>(e >> 33);
}
bool isQuestion(Event e) {
    return (e >> 32) & 1u;
}
std::uint32_t rowOf(Event e) {
    return static_cast<std::uint32_t>(e >> 16) & 0xffffu;
}
std::uint32_t columnOf(Event e) {
    return static_cast<std::uint32_t>(e) & 0xffffu;
}

using ChunkCounts = std::vector<std::vector<std::uint32_t>>;

// Batches larger than this are sorted in parallel before they are processed.
constexpr std::size_t kSortAheadFrom = std::size_t{1} << 20;

// Sorts events by the low `bits` bits of their magnitude (the rest is equal within a bucket), by
// least significant digit first, 11 bits a pass. The order among equal magnitudes does not
// matter: a group's questions are all answered before any of its legs is inserted.
void sortByMagnitude(Event* events, std::size_t count, int bits, std::vector<Event>& scratch) {
    if (count < 64) {
        std::sort(events, events + count);
        return;
    }
    if (scratch.size() < count) scratch.resize(count);
    Event* from = events;
    Event* to = scratch.data();
    constexpr int kDigitBits = 11;
    std::uint32_t counts[std::size_t{1} << kDigitBits];
    for (int low = 0; low < bits; low += kDigitBits) {
        const int width = std::min(kDigitBits, bits - low);
        const std::uint32_t mask = (1u << width) - 1;
        const int shift = 33 + low;
        std::fill(counts, counts + (std::size_t{1} << width), 0u);
        for (std::size_t x = 0; x < count; ++x) ++counts[(from[x] >> shift) & mask];
        std::uint32_t at = 0;
        for (std::uint32_t d = 0; d <= mask; ++d) {
            const std::uint32_t c = counts[d];
            counts[d] = at;
            at += c;
        }
        for (std::size_t x = 0; x < count; ++x) to[counts[(from[x] >> shift) & mask]++] = from[x];
        std::swap(from, to);
    }
    if (from != events) std::copy(from, from + count, events);
}

class OrderedPruning {
  public:
    OrderedPruning(const Matrix& m, const Thresholds& t, ThreadPool& pool, const RowChunks& chunks,
                   const Progress& progress, const detail::OrderedOptions& options)
        : m_(m),
          t_(t),
          pool_(pool),
          chunks_(chunks),
          progress_(progress),
          closure_(m.n()),
          beaten_(m.n()),
          // The largest batch sorted at once: an eighth of the matrix's cells (a quarter of its
          // bytes as 8-byte events), and at least 4 Mi events.
          capacity_(options.batchCapacity > 0
                        ? options.batchCapacity
                        : std::max<std::size_t>(m.n() * m.n() / 8, std::size_t{1} << 22)),
          // The first batch: enough for random weights to join every node into one component
          // (about n ln n legs), so that one pass usually settles the matrix.
          target_(options.firstBatch > 0
                      ? options.firstBatch
                      : std::min(capacity_, 2 * m.n() * (64 - __builtin_clzll(m.n() | 1)))),
          firstBatch_(target_),
          scratch_(static_cast<std::size_t>(pool.size())) {}

    // counts: the census's top-level histogram. Questions end at largestQuestion, so the buckets
    // above its own are never visited.
    void run(const ChunkCounts& counts, std::uint32_t largestQuestion) {
        const std::size_t lastBucket = largestQuestion >> kTopShift;
        for (const auto& count : counts) {
            for (std::size_t b = 0; b <= lastBucket; ++b) events_ += count[b];
        }
        processRange(0, kTopShift, lastBucket + 1, counts);
        finishWithJoins(
            m_, t_, pool_, closure_.joinOrder(), &beaten_,
            [&](std::size_t i, const CellBits*) { return closure_.selfJoin(i); },
            progressPart(progress_, 0.5, 1));
    }

  private:
    // Answers every question and inserts every leg of buckets [0, buckets) of the range that
    // starts at magnitude lo, with buckets 2^shift magnitudes wide, in ascending magnitude,
    // unless the closure completes on the way. Consecutive buckets are gathered and sorted in
    // batches; a bucket too big for one batch is split again by a histogram of its own, and a
    // single magnitude too big for one batch is streamed.
    void processRange(std::uint32_t lo, int shift, std::size_t buckets, const ChunkCounts& counts) {
        std::vector<std::size_t> total(buckets, 0);
        for (const auto& count : counts) {
            for (std::size_t b = 0; b < buckets; ++b) total[b] += count[b];
        }
        std::size_t b = 0;
        while (b < buckets && !complete_) {
            const std::uint32_t bucketLo = lo + (static_cast<std::uint32_t>(b) << shift);
            if (total[b] > capacity_) {
                if (shift == 0) {
                    streamMagnitude(bucketLo);
                } else {
                    const int subShift = std::max(0, shift - 12);
                    const std::size_t subBuckets = std::size_t{1} << (shift - subShift);
                    processRange(bucketLo, subShift, subBuckets,
                                 histogram(bucketLo, shift, subShift, subBuckets));
                }
                ++b;
                continue;
            }
            std::size_t e = b;
            std::size_t size = 0;
            while (e < buckets && total[e] <= capacity_ - size && size < target_)
                size += total[e++];
            if (size > 0) sortAndProcess(lo, shift, b, e, counts);
            target_ = std::min(capacity_, target_ * 4);
            b = e;
        }
    }

    // Counts per chunk of the cells that take part with magnitude in [lo, lo + 2^shift), in
    // buckets 2^subShift wide.
    ChunkCounts histogram(std::uint32_t lo, int shift, int subShift, std::size_t buckets) const {
        ChunkCounts counts(chunks_.count(), std::vector<std::uint32_t>(buckets, 0));
        chunks_.forEachRow([&](std::size_t c, std::size_t i) {
            std::uint32_t* const count = counts[c].data();
            const CellBits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                const std::uint32_t offset = (row[j] & kMagnitudeBits) - lo;
                if ((offset >> shift) == 0 && takesPart(t_, i, j, row[j]))
                    ++count[offset >> subShift];
            }
        });
        return counts;
    }

    // Gathers the cells of buckets [b, e) into their buckets' places, sorts each bucket, and
    // processes the events in order.
    void sortAndProcess(std::uint32_t lo, int shift, std::size_t b, std::size_t e,
                        const ChunkCounts& counts) {
        std::vector<std::vector<std::size_t>> cursor(chunks_.count(),
                                                     std::vector<std::size_t>(e - b));
        std::vector<std::size_t> bucketStart(e - b + 1, 0);
        std::size_t at = 0;
        for (std::size_t k = b; k < e; ++k) {
            bucketStart[k - b] = at;
            for (std::size_t c = 0; c < chunks_.count(); ++c) {
                cursor[c][k - b] = at;
                at += counts[c][k];
            }
        }
        bucketStart[e - b] = at;
        batch_.resize(at);
        const std::uint32_t first = lo + (static_cast<std::uint32_t>(b) << shift);
        const std::uint64_t span = std::uint64_t{e - b} << shift;
        Event* const out = batch_.data();
        chunks_.forEachRow([&](std::size_t c, std::size_t i) {
            std::size_t* const next = cursor[c].data();
            const CellBits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                const std::uint32_t bits = row[j];
                const std::uint32_t offset = (bits & kMagnitudeBits) - first;
                if (offset >= span || !takesPart(t_, i, j, bits)) continue;
                out[next[offset >> shift]++] =
                    eventOf(bits & kMagnitudeBits, t_.question(bits), i, j);
            }
        });
        // A small batch is sorted bucket by bucket as it is processed, so that the buckets past
        // the point where the closure completes are never sorted; a large one is sorted in
        // parallel first.
        const bool sortAhead = shift > 0 && at > kSortAheadFrom && pool_.size() > 1;
        if (sortAhead) {
            pool_.parallelFor(0, static_cast<std::int64_t>(e - b),
                              [&](std::int64_t begin, std::int64_t end, int worker) {
                                  for (std::int64_t k = begin; k < end; ++k) {
                                      sortByMagnitude(out + bucketStart[k],
                                                      bucketStart[k + 1] - bucketStart[k], shift,
                                                      scratch_[static_cast<std::size_t>(worker)]);
                                  }
                              });
        }
        for (std::size_t k = 0; k < e - b && !complete_; ++k) {
            const std::size_t size = bucketStart[k + 1] - bucketStart[k];
            if (shift > 0 && !sortAhead) {
                sortByMagnitude(out + bucketStart[k], size, shift, scratch_[0]);
            }
            processEvents(out + bucketStart[k], size);
        }
    }

    void processEvents(const Event* events, std::size_t count) {
        for (std::size_t g = 0; g < count && !complete_;) {
            const std::uint32_t magnitude = magnitudeOf(events[g]);
            std::size_t h = g;
            while (h < count && magnitudeOf(events[h]) == magnitude) ++h;
            for (std::size_t x = g; x < h; ++x) {
                if (isQuestion(events[x])) answer(rowOf(events[x]), columnOf(events[x]));
            }
            for (std::size_t x = g; x < h; ++x) {
                const std::uint32_t i = rowOf(events[x]);
                const std::uint32_t j = columnOf(events[x]);
                if (i != j) closure_.insert(i, j, magnitude);
            }
            afterGroup(h - g);
            g = h;
        }
    }

    // One magnitude holding more cells than a batch: its questions in one pass, then its legs in
    // another.
    void streamMagnitude(std::uint32_t magnitude) {
        std::size_t cells = 0;
        for (std::size_t i = 0; i < m_.n(); ++i) {
            const CellBits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                if ((row[j] & kMagnitudeBits) == magnitude && t_.question(row[j])) answer(i, j);
            }
        }
        for (std::size_t i = 0; i < m_.n(); ++i) {
            const CellBits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                if ((row[j] & kMagnitudeBits) != magnitude || !takesPart(t_, i, j, row[j]))
                    continue;
                ++cells;
                if (i != j) {
                    closure_.insert(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j),
                                    magnitude);
                }
            }
        }
        afterGroup(cells);
    }

    void answer(std::size_t i, std::size_t j) {
        if (closure_.reachesAcross(i, j)) BitMatrix::set(beaten_.row(i), j);
    }

    void afterGroup(std::size_t cells) {
        // Once complete, every question still to come has its two ends in one component.
        if (closure_.complete()) complete_ = true;
        done_ += cells;
        if (done_ >= nextPoll_) {
            pollCancelled();
            nextPoll_ = done_ + 4096;
        }
        // The events are the first half of the progress. Most matrices complete the closure
        // within about a first batch of them, so the share told is the larger of the events
        // done and done / (done + first batch), which is a half after one batch.
        if (progress_ && done_ >= nextReport_) {
            const double done = static_cast<double>(done_);
            const double share = std::max(events_ > 0 ? done / double(events_) : 1.0,
                                          done / (done + double(firstBatch_)));
            progress_(0.5 * std::min(1.0, share));
            nextReport_ = done_ + std::max<std::size_t>(std::min(events_, firstBatch_) / 100, 1);
        }
    }

    const Matrix& m_;
    const Thresholds& t_;
    ThreadPool& pool_;
    const RowChunks& chunks_;
    const Progress& progress_;
    Closure closure_;
    BitMatrix beaten_;
    const std::size_t capacity_;
    std::size_t target_;
    const std::size_t firstBatch_;
    std::vector<Event> batch_;
    std::vector<std::vector<Event>> scratch_;  // per worker, for sorting
    bool complete_ = false;
    std::size_t events_ = 0;
    std::size_t done_ = 0;
    std::size_t nextReport_ = 0;
    std::size_t nextPoll_ = 0;
};

}  // namespace

namespace detail {

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const EngineProgress& progress, const OrderedOptions& options) {
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
        OrderedPruning(m, t, pool, chunks, progress, options)
            .run(census.counts, census.largestQuestion);
    }
    if (progress) progress(1.0);
    return true;
}

}  // namespace detail

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const EngineProgress& progress) {
    return detail::pruneWeakestLinksOrdered(matrix, n, rowStride, lower_threshold, upper_threshold,
                                            threads, progress, {});
}

}  // namespace fwprune::cpu
