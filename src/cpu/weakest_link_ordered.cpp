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

#include "common/parallel.h"
#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_ordered_internal.h"

namespace fwprune::cpu {
namespace {

using Bits = std::uint32_t;
constexpr Bits kSignBit = 0x80000000u;
constexpr Bits kMagnitudeBits = 0x7fffffffu;
constexpr Bits kInfBits = 0x7f800000u;
constexpr Bits kTwoBits = 0x40000000u;      // 2.0f, the absent mark
constexpr Bits kNoMagnitude = 0xffffffffu;  // above every magnitude

Bits bitsOf(float value) {
    Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The threshold tests on bit patterns, as IEEE comparisons answer them for values that are not
// NaN, whatever the thread's floating-point mode: subnormals compare as themselves.
class Thresholds {
  public:
    Thresholds(float lower, float upper)
        : hasLower_((bitsOf(lower) & kMagnitudeBits) <= kInfBits),
          hasUpper_((bitsOf(upper) & kMagnitudeBits) <= kInfBits),
          lowerKey_(orderKey(bitsOf(lower))),
          upperKey_(orderKey(bitsOf(upper))) {}

    // Ends 2.0 whatever the paths: the sign bit is set, or the value is at or above upper.
    bool cut(Bits bits) const {
        return (bits & kSignBit) != 0 || (hasUpper_ && orderKey(bits) >= upperKey_);
    }
    // Ends 2.0 exactly when lighter legs lead around it: clear sign bit, above lower, below upper.
    bool question(Bits bits) const { return !cut(bits) && hasLower_ && orderKey(bits) > lowerKey_; }

  private:
    // Unsigned keys in the order of the values; -0.0 and +0.0 get the same key.
    static Bits orderKey(Bits bits) {
        if ((bits & kMagnitudeBits) == 0) return kSignBit;
        return (bits & kSignBit) ? ~bits : (bits | kSignBit);
    }
    bool hasLower_;
    bool hasUpper_;
    Bits lowerKey_;
    Bits upperKey_;
};

using Progress = std::function<void(double)>;

class Matrix {
  public:
    Matrix(float* cells, std::size_t n, std::size_t rowStride)
        : cells_(reinterpret_cast<Bits*>(cells)), n_(n), rowStride_(rowStride) {}
    std::size_t n() const { return n_; }
    Bits* row(std::size_t i) const { return cells_ + i * rowStride_; }

  private:
    Bits* cells_;
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

// The final pass: every cell becomes 2.0 when cut, or when it is a question that beaten(i, j)
// answers yes; every other cell keeps its value.
template <typename Beaten>
void writeResult(const Matrix& m, const Thresholds& t, ThreadPool& pool, Beaten&& beaten) {
    pool.parallelFor(0, static_cast<std::int64_t>(m.n()),
                     [&](std::int64_t begin, std::int64_t end, int) {
                         for (std::size_t i = static_cast<std::size_t>(begin);
                              i < static_cast<std::size_t>(end); ++i) {
                             Bits* const row = m.row(i);
                             for (std::size_t j = 0; j < m.n(); ++j) {
                                 const Bits bits = row[j];
                                 if (t.cut(bits) || (t.question(bits) && beaten(i, j, bits)))
                                     row[j] = kTwoBits;
                             }
                         }
                     });
}

// What one pass over the input tells: whether it holds a NaN, and the largest magnitude of a
// question (kNoMagnitude when there is none).
struct Survey {
    bool hasNaN = false;
    Bits largestQuestion = kNoMagnitude;
};

Survey survey(const Matrix& m, const Thresholds& t, ThreadPool& pool) {
    std::vector<Survey> parts(static_cast<std::size_t>(pool.size()));
    pool.parallelFor(0, static_cast<std::int64_t>(m.n()),
                     [&](std::int64_t begin, std::int64_t end, int worker) {
                         bool nan = false;
                         Bits largest = 0;
                         bool any = false;
                         for (std::int64_t i = begin; i < end && !nan; ++i) {
                             const Bits* const row = m.row(static_cast<std::size_t>(i));
                             for (std::size_t j = 0; j < m.n(); ++j) {
                                 const Bits bits = row[j];
                                 nan |= (bits & kMagnitudeBits) > kInfBits;
                                 if (t.question(bits)) {
                                     any = true;
                                     largest = std::max(largest, bits);
                                 }
                             }
                         }
                         Survey& part = parts[static_cast<std::size_t>(worker)];
                         part.hasNaN = nan;
                         if (any) part.largestQuestion = largest;
                     });
    Survey all;
    for (const Survey& part : parts) {
        all.hasNaN |= part.hasNaN;
        if (part.largestQuestion != kNoMagnitude) {
            all.largestQuestion = all.largestQuestion == kNoMagnitude
                                      ? part.largestQuestion
                                      : std::max(all.largestQuestion, part.largestQuestion);
        }
    }
    return all;
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
                    Bits differ = 0;
                    for (std::size_t i = ti * kTile; i < iEnd; ++i) {
                        const Bits* const row = m.row(i);
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
        Bits weight;
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
                tree.push_back(
                    {static_cast<Bits>(best >> 32), from[u], static_cast<std::uint32_t>(u)});
            }
            reach[u] = kInTree;
            const Bits* const row = m.row(u);
            for (std::size_t x = 0; x < n; ++x) {
                const std::uint64_t leg = (std::uint64_t{row[x] & kMagnitudeBits} << 32) | x;
                if (leg < reach[x] && reach[x] != kInTree) {
                    reach[x] = leg;
                    from[x] = static_cast<std::uint32_t>(u);
                }
            }
            if (progress && (added & 1023) == 1023) progress(0.5 * double(added) / double(n));
        }
    }
    // Join the tree's edges lightest first; each join appends one component's node list to the
    // other's and records the join weight between them.
    std::sort(tree.begin(), tree.end(),
              [](const Edge& x, const Edge& y) { return x.weight < y.weight; });
    std::vector<std::uint32_t> leader(n), head(n), tail(n), next(n, 0);
    std::vector<Bits> joinAfter(n, 0);
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
    std::vector<std::uint32_t> order(n);
    std::vector<Bits> gap(n, 0);  // gap[p]: join weight between positions p and p + 1
    for (std::size_t p = 0, x = head[find(0)]; p < n; ++p, x = next[x]) {
        order[p] = static_cast<std::uint32_t>(x);
        gap[p] = joinAfter[x];
    }
    std::vector<std::uint32_t> position(n);
    for (std::size_t p = 0; p < n; ++p) position[order[p]] = static_cast<std::uint32_t>(p);

    std::vector<std::vector<Bits>> weakest(static_cast<std::size_t>(pool.size()),
                                           std::vector<Bits>(n));
    pool.parallelFor(0, static_cast<std::int64_t>(n),
                     [&](std::int64_t begin, std::int64_t end, int worker) {
                         Bits* const link = weakest[static_cast<std::size_t>(worker)].data();
                         for (std::size_t i = static_cast<std::size_t>(begin);
                              i < static_cast<std::size_t>(end); ++i) {
                             // link[j]: the lightest weakest link of a path from i to j.
                             const std::size_t p = position[i];
                             Bits running = 0;
                             for (std::size_t q = p + 1; q < n; ++q) {
                                 running = std::max(running, gap[q - 1]);
                                 link[order[q]] = running;
                             }
                             running = 0;
                             for (std::size_t q = p; q-- > 0;) {
                                 running = std::max(running, gap[q]);
                                 link[order[q]] = running;
                             }
                             const Bits* const row = m.row(i);
                             Bits lightest = kNoMagnitude;
                             for (std::size_t j = 0; j < n; ++j) {
                                 if (j != i) lightest = std::min(lightest, row[j] & kMagnitudeBits);
                             }
                             link[i] = lightest;
                             Bits* const out = m.row(i);
                             for (std::size_t j = 0; j < n; ++j) {
                                 const Bits bits = out[j];
                                 if (t.cut(bits) || (t.question(bits) && link[j] < bits))
                                     out[j] = kTwoBits;
                             }
                         }
                     });
}

// --- General matrices: cells in ascending magnitude, reachability kept incrementally.

// Reachability among the legs inserted so far. Nodes in one strongly connected component share
// their component leader's rows:
//   reach.row(c): the nodes reachable from c by one or more legs;
//   reachedBy.row(y): the leaders c whose reach has y (bits of former leaders go stale and are
//   masked out by isLeader).
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
          size_(n, 1) {
        for (std::size_t x = 0; x < n; ++x) {
            leader_[x] = static_cast<std::uint32_t>(x);
            BitMatrix::set(isLeader_.data(), x);
        }
    }

    bool reaches(std::size_t i, std::size_t j) {
        const std::uint32_t c = find(static_cast<std::uint32_t>(i));
        if (size_[c] > 1 && find(static_cast<std::uint32_t>(j)) == c) return true;
        return BitMatrix::test(reach_.row(c), j);
    }

    // Every node reaches every node: each question still to come is beaten.
    bool complete() { return n_ >= 2 && size_[find(0)] == n_; }

    void insert(std::uint32_t u, std::uint32_t v) {
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
            for (std::size_t w = 0; w < words_; ++w) {
                std::uint64_t joining = (toU[w] | candidates_[w]) & isLeader_[w] & from_[w];
                for (; joining != 0; joining &= joining - 1) {
                    const auto x = static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(joining));
                    if (x == cv) continue;
                    leader_[x] = cv;
                    size_[cv] += size_[x];
                    isLeader_[w] &= ~(std::uint64_t{1} << (x & 63));
                }
            }
        }
    }

  private:
    std::uint32_t find(std::uint32_t x) {
        while (leader_[x] != x) x = leader_[x] = leader_[leader_[x]];
        return x;
    }

    void addReach(std::uint32_t c) {
        std::uint64_t* const row = reach_.row(c);
        for (std::size_t w = 0; w < words_; ++w) {
            std::uint64_t fresh = from_[w] & ~row[w];
            if (fresh == 0) continue;
            row[w] |= fresh;
            for (; fresh != 0; fresh &= fresh - 1) {
                BitMatrix::set(reachedBy_.row(w * 64 + __builtin_ctzll(fresh)), c);
            }
        }
    }

    std::size_t n_;
    BitMatrix reach_;
    BitMatrix reachedBy_;
    std::size_t words_;
    std::vector<std::uint64_t> isLeader_;
    std::vector<std::uint64_t> from_;
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint32_t> leader_;
    std::vector<std::size_t> size_;
};

// One cell as the sorting sees it: magnitude, whether it is a question, row, column.
using Event = std::uint64_t;
Event eventOf(Bits magnitude, bool question, std::size_t i, std::size_t j) {
    return (std::uint64_t{magnitude} << 33) | (std::uint64_t{question} << 32) | (i << 16) | j;
}
Bits magnitudeOf(Event e) {
    return static_cast<Bits>(e >> 33);
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

class OrderedPruning {
  public:
    OrderedPruning(const Matrix& m, const Thresholds& t, ThreadPool& pool, Bits largestQuestion,
                   const Progress& progress, const detail::OrderedOptions& options)
        : m_(m),
          t_(t),
          pool_(pool),
          largestQuestion_(largestQuestion),
          progress_(progress),
          chunks_(std::min<std::size_t>(m.n(), static_cast<std::size_t>(pool.size()))),
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
                      : std::min(capacity_, 16 * m.n() * (64 - __builtin_clzll(m.n() | 1)))) {}

    void run() {
        processRange(0, largestQuestion_, true);
        writeResult(m_, t_, pool_, [&](std::size_t i, std::size_t j, Bits bits) {
            return (bits & kMagnitudeBits) > completeAfter_ || BitMatrix::test(beaten_.row(i), j);
        });
    }

  private:
    // Calls visit(chunk, i) for every row i, rows split into chunks_ fixed chunks, in parallel.
    template <typename Visit>
    void forEachChunk(Visit&& visit) {
        pool_.parallelFor(0, static_cast<std::int64_t>(chunks_),
                          [&](std::int64_t begin, std::int64_t end, int) {
                              for (auto c = static_cast<std::size_t>(begin);
                                   c < static_cast<std::size_t>(end); ++c) {
                                  const std::size_t first = m_.n() * c / chunks_;
                                  const std::size_t last = m_.n() * (c + 1) / chunks_;
                                  for (std::size_t i = first; i < last; ++i) visit(c, i);
                              }
                          });
    }

    // A cell takes part when it is a question, or a leg that can be lighter than a question.
    bool takesPart(std::size_t i, std::size_t j, Bits bits) const {
        return t_.question(bits) || (i != j && (bits & kMagnitudeBits) < largestQuestion_);
    }

    // Answers every question and inserts every leg with magnitude in [lo, hi], in ascending
    // magnitude, unless the closure completes on the way. A histogram of the range (one pass)
    // splits it into batches small enough to sort; a bucket too big for one batch is split again,
    // and a single magnitude too big for one batch is streamed.
    void processRange(Bits lo, Bits hi, bool top) {
        int shift = 0;
        while (((hi - lo) >> shift) >= (1u << 16)) ++shift;
        const std::size_t buckets = ((hi - lo) >> shift) + 1;
        // Counted per fixed chunk of rows, so that the gathering pass can give each chunk its own
        // places in the batch.
        std::vector<std::vector<std::uint32_t>> counts(chunks_,
                                                       std::vector<std::uint32_t>(buckets, 0));
        forEachChunk([&](std::size_t chunk, std::size_t i) {
            std::uint32_t* const count = counts[chunk].data();
            const Bits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                const Bits magnitude = row[j] & kMagnitudeBits;
                if (magnitude < lo || magnitude > hi || !takesPart(i, j, row[j])) continue;
                ++count[(magnitude - lo) >> shift];
            }
        });
        std::vector<std::size_t> total(buckets, 0);
        for (const auto& count : counts) {
            for (std::size_t b = 0; b < buckets; ++b) total[b] += count[b];
        }
        if (top) {
            for (const std::size_t c : total) events_ += c;
        }
        std::size_t b = 0;
        while (b < buckets && !complete_) {
            if (total[b] > capacity_) {
                const Bits bucketLo = lo + (static_cast<Bits>(b) << shift);
                if (shift == 0) {
                    streamMagnitude(bucketLo);
                } else {
                    const Bits bucketHi =
                        std::min<std::uint64_t>(hi, bucketLo + (std::uint64_t{1} << shift) - 1);
                    processRange(bucketLo, bucketHi, false);
                }
                ++b;
                continue;
            }
            std::size_t e = b;
            std::size_t size = 0;
            while (e < buckets && total[e] <= capacity_ - size && size < target_)
                size += total[e++];
            if (size > 0) sortAndProcess(lo, hi, shift, b, e, counts);
            target_ = std::min(capacity_, target_ * 4);
            b = e;
        }
    }

    // Gathers the cells of buckets [b, e) into their buckets' places, sorts each bucket, and
    // processes the events in order.
    void sortAndProcess(Bits lo, Bits hi, int shift, std::size_t b, std::size_t e,
                        const std::vector<std::vector<std::uint32_t>>& counts) {
        std::vector<std::vector<std::size_t>> cursor(chunks_, std::vector<std::size_t>(e - b));
        std::vector<std::size_t> bucketStart(e - b + 1, 0);
        std::size_t at = 0;
        for (std::size_t k = b; k < e; ++k) {
            bucketStart[k - b] = at;
            for (std::size_t c = 0; c < chunks_; ++c) {
                cursor[c][k - b] = at;
                at += counts[c][k];
            }
        }
        bucketStart[e - b] = at;
        batch_.resize(at);
        const Bits magLo = lo + (static_cast<Bits>(b) << shift);
        const Bits magHi = static_cast<Bits>(
            std::min<std::uint64_t>(hi, std::uint64_t{lo} + (std::uint64_t{e} << shift) - 1));
        Event* const out = batch_.data();
        forEachChunk([&](std::size_t chunk, std::size_t i) {
            std::size_t* const next = cursor[chunk].data();
            const Bits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                const Bits bits = row[j];
                const Bits magnitude = bits & kMagnitudeBits;
                if (magnitude < magLo || magnitude > magHi || !takesPart(i, j, bits)) continue;
                out[next[((magnitude - lo) >> shift) - b]++] =
                    eventOf(magnitude, t_.question(bits), i, j);
            }
        });
        if (shift > 0) {
            pool_.parallelFor(0, static_cast<std::int64_t>(e - b),
                              [&](std::int64_t begin, std::int64_t end, int) {
                                  for (std::int64_t k = begin; k < end; ++k) {
                                      std::sort(batch_.begin() + bucketStart[k],
                                                batch_.begin() + bucketStart[k + 1]);
                                  }
                              });
        }
        processEvents(batch_.data(), batch_.size());
    }

    void processEvents(const Event* events, std::size_t count) {
        for (std::size_t g = 0; g < count && !complete_;) {
            const Bits magnitude = magnitudeOf(events[g]);
            std::size_t h = g;
            while (h < count && magnitudeOf(events[h]) == magnitude) ++h;
            for (std::size_t x = g; x < h; ++x) {
                if (isQuestion(events[x])) answer(rowOf(events[x]), columnOf(events[x]));
            }
            for (std::size_t x = g; x < h; ++x) {
                const std::uint32_t i = rowOf(events[x]);
                const std::uint32_t j = columnOf(events[x]);
                if (i != j) closure_.insert(i, j);
            }
            afterGroup(magnitude, h - g);
            g = h;
        }
    }

    // One magnitude holding more cells than a batch: its questions in one pass, then its legs in
    // another.
    void streamMagnitude(Bits magnitude) {
        std::size_t cells = 0;
        for (std::size_t i = 0; i < m_.n(); ++i) {
            const Bits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                if ((row[j] & kMagnitudeBits) == magnitude && t_.question(row[j])) answer(i, j);
            }
        }
        for (std::size_t i = 0; i < m_.n(); ++i) {
            const Bits* const row = m_.row(i);
            for (std::size_t j = 0; j < m_.n(); ++j) {
                if ((row[j] & kMagnitudeBits) != magnitude || !takesPart(i, j, row[j])) continue;
                ++cells;
                if (i != j) {
                    closure_.insert(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
                }
            }
        }
        afterGroup(magnitude, cells);
    }

    void answer(std::size_t i, std::size_t j) {
        if (closure_.reaches(i, j)) BitMatrix::set(beaten_.row(i), j);
    }

    void afterGroup(Bits magnitude, std::size_t cells) {
        if (closure_.complete()) {
            complete_ = true;
            completeAfter_ = magnitude;
        }
        done_ += cells;
        if (progress_ && done_ >= nextReport_) {
            progress_(events_ > 0 ? std::min(1.0, double(done_) / double(events_)) : 1.0);
            nextReport_ = done_ + std::max<std::size_t>(events_ / 100, 1);
        }
    }

    const Matrix& m_;
    const Thresholds& t_;
    ThreadPool& pool_;
    const Bits largestQuestion_;
    const Progress& progress_;
    const std::size_t chunks_;
    Closure closure_;
    BitMatrix beaten_;
    const std::size_t capacity_;
    std::size_t target_;
    std::vector<Event> batch_;
    bool complete_ = false;
    Bits completeAfter_ = kNoMagnitude;  // questions above it are beaten
    std::size_t events_ = 0;
    std::size_t done_ = 0;
    std::size_t nextReport_ = 0;
};

}  // namespace

namespace detail {

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const std::function<void(double)>& progress,
                              const OrderedOptions& options) {
    if (n < 0 || n > 0xffff) throw std::invalid_argument("the node count is out of range");
    if (n == 0) return true;
    if (rowStride < static_cast<std::size_t>(n)) {
        throw std::invalid_argument("the row stride is shorter than a row");
    }
    const Matrix m(matrix, static_cast<std::size_t>(n), rowStride);
    const Thresholds t(lower_threshold, upper_threshold);
    ThreadPool pool(threads);
    const Survey found = survey(m, t, pool);
    if (found.hasNaN) return false;
    if (found.largestQuestion == kNoMagnitude) {
        writeResult(m, t, pool, [](std::size_t, std::size_t, Bits) { return false; });
    } else if (options.method == OrderedMethod::SpanningTree ||
               (options.method == OrderedMethod::Auto && magnitudesSymmetric(m, pool))) {
        pruneSymmetric(m, t, pool, progress);
    } else {
        OrderedPruning(m, t, pool, found.largestQuestion, progress, options).run();
    }
    if (progress) progress(1.0);
    return true;
}

}  // namespace detail

bool pruneWeakestLinksOrdered(float* matrix, std::int64_t n, std::size_t rowStride,
                              float lower_threshold, float upper_threshold, int threads,
                              const std::function<void(double)>& progress) {
    return detail::pruneWeakestLinksOrdered(matrix, n, rowStride, lower_threshold, upper_threshold,
                                            threads, progress, {});
}

}  // namespace fwprune::cpu
