// Transitive reduction on edge arrays: memory and time follow the edges and the reachability among
// nearby nodes, never the square of the node count, whatever the node numbers.
//
// Threads. The passes over whole arrays (sorting, building and relabelling rows, inverses, counts,
// plans, reading back) are split between the pool's threads into fixed ranges, each thread
// writing only its own part (a pass that writes at its edges' targets splits by target), so what
// they compute does not depend on the thread count. Kahn's queue, the walks before Tarjan's
// search, the searches and the main pass run on the calling thread, which alone reports progress,
// but for the main pass's rows when the spans are known before it: those are made in blocks of
// ranks on the threads (see RankedReduction).
//
// An edge (u, v) survives iff neither end lies on a cycle (a self-loop counts) and no walk of two
// or more edges leads from u to v. Collapsing strongly connected components keeps that question
// intact: such a walk has an inner node w outside u's and v's (singleton) components, so it is a
// path of two or more steps in the condensation, and back. On the condensation, a DAG, we number
// the nodes so that every edge goes up (a topological rank); then (u, v) is bypassed iff v is a
// descendant of another successor w of u, and only successors ranked below v can reach it.
//
// The numbers. Nodes are numbered densely in the order of the input's numbers, or, when those
// scatter the edges while the input's lines list them in an order that keeps them near (numbers
// given at random to a history listed commit by commit), in the order the lines first name them
// (numberByFirstAppearance); the kept edges are then sorted back into the input's order.
//
// The rank. Any topological rank gives the same answer; they differ in how long they leave the
// edges, and in what computing them costs when the numbering scatters the graph.
// - The input's own order when every edge already goes one way and its edges are short (version
//   histories listed in order, generated DAGs), also when a few go the other way, each leaving a
//   node without predecessors or entering one without successors (a history numbered by first
//   appearance): such nodes carry no walk, so the edges at them are answered apart (answerApart).
// - Otherwise Kahn's order: a node is ranked once its predecessors are, first ready, first
//   ranked. What becomes ready at the same time sits together: a history's commits, a node's
//   leaves, the layers of a layered graph. The nodes waiting in its queue are independent of one
//   another, so their memory waits overlap however the input is numbered.
//   A large graph whose edges mostly join far-apart numbers is ranked so a path at a time
//   (rankByPaths): a chain's nodes then take consecutive ranks, and the queue, which waits for
//   memory at each step in such a numbering, takes a step a path instead of a node.
// - When Kahn's order leaves many edges longer than the window can afford (a chain with
//   shortcuts, a hub), a depth-first search of the graph renumbered by it, whose reverse
//   finishing order has two properties the main pass uses:
//   - the search enters a node's successors with the most successors first, and the reverse
//     finishing order puts the successor entered last right after its parent: a node's leaves
//     and short side branches sit next to it, its long continuation after them;
//   - the nodes a node's search discovers (its subtree) take the ranks right after it, all of
//     them descendants of it.
// - When there is a cycle (Kahn's order then leaves nodes unranked), Tarjan's search, entering
//   successors in the same order, collapses the strongly connected components and ranks them. A
//   large scattered graph is first renumbered along walks that follow its edges (many walks at
//   once, so that their memory waits overlap): then a chain's next node mostly sits next to its
//   last, and the search's steps mostly hit the caches.
//
// The window. For each node u, one row of H bits says which of the nodes ranked u+1 .. u+H are
// descendants of u. Rows are built from the top rank down; u's row is the OR of its successors'
// rows, each shifted by the successor's distance, plus the successors themselves. A successor's
// row covers every rank above it that u's window covers, so the OR is exact. Before the
// successors are added, the OR answers "is successor v reachable through another successor" for
// every v in the window at the cost of one bit test: O(m * H / 64) in all.
//
// Edges longer than the window are answered with three facts known of every node x above u:
// - span(x): every rank in [x, span(x)] is x or a descendant of x. It is computed with the row:
//   span(x) starts at x and grows over x's successors s in ascending rank while s <= span + 1,
//   to span(s). (A subtree of the search is such an interval, so span(x) covers it.) So a long
//   edge (u, v) is bypassed when a lower successor w has span(w) >= v;
// - lastPredecessor(v): the highest rank with an edge to v. Only a node ranked at or below it
//   can reach v, so an edge (u, v) with lastPredecessor(v) == u survives: nothing between u and
//   v leads to v (a leaf, a branch's tip reached only by its merge);
// - its row, exact within its window.
// The rest are answered by a search from u's lower successors that never enters a node ranked
// above v's last predecessor, stops as soon as a node's span or row shows v, and follows edges
// only where neither can tell. A node with many such edges answers them all with one search.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/bit_rows.h"
#include "common/cancel.h"
#include "common/edge_record.h"
#include "common/huge_pages.h"
#include "common/parallel.h"
#include "common/radix_sort.h"
#include "common/strong_components.h"
#include "cpu/cpu_engine.h"
#include "cpu/sparse_reduction_internal.h"
#include "cpu/unset_arrays.h"
namespace fwprune::cpu {
namespace {

// Asks the memory for what p points at without waiting for it.
#if defined(__GNUC__) || defined(__clang__)
#define FWPRUNE_PREFETCH(p) __builtin_prefetch(p)
#define FWPRUNE_PREFETCH_WRITE(p) __builtin_prefetch(p, 1)
// Inlined before the compiler judges the caller: a function that only reads and prefetches looks
// free of effects to it, and its calls would be dropped.
#define FWPRUNE_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define FWPRUNE_PREFETCH(p) static_cast<void>(p)
#define FWPRUNE_PREFETCH_WRITE(p) static_cast<void>(p)
#define FWPRUNE_ALWAYS_INLINE inline
#endif

int bitsFor(std::uint64_t values) {
    int bits = 0;
    while (bits < 64 && (std::uint64_t{1} << bits) < values) ++bits;
    return bits;
}

// Tells the engine's caller the fraction done of one stage of the route, as its share [from, to]
// of the whole, and lets the caller stop the job there.
class Stage {
  public:
    Stage(const ProgressFunction& whole, double from, double to)
        : whole_(whole), from_(from), to_(to) {}
    void operator()(double fraction) const {
        pollCancelled();
        if (whole_) whole_(from_ + (to_ - from_) * std::clamp(fraction, 0.0, 1.0));
    }
    // The share [from, to] of this stage.
    Stage part(double from, double to) const {
        return Stage(whole_, from_ + (to_ - from_) * from, from_ + (to_ - from_) * to);
    }

  private:
    const ProgressFunction& whole_;
    double from_;
    double to_;
};

// Told once for every this many items of a stage's loop.
constexpr std::uint32_t kReportEvery = 1u << 20;

// Sorts keys on bits [lowBit, keyBits), two 11-bit digits at a time, so that the caller hears of
// every other pass and (the passes going back and forth between keys and scratch) the keys are
// not copied back after each.
template <class Keys>
void radixSort(Keys& keys, int keyBits, ThreadPool& pool, const Stage& stage, int lowBit = 0) {
    constexpr int kBitsAtOnce = 22;
    Array<std::uint64_t> scratch = unsetArray<std::uint64_t>(keys.size());
    for (int low = lowBit; low < keyBits; low += kBitsAtOnce) {
        fwprune::radixSort(keys.data(), keys.size(), low, std::min(low + kBitsAtOnce, keyBits),
                           scratch.data(), pool, [] {});
        stage(double(low + kBitsAtOnce - lowBit) / (keyBits - lowBit));
    }
}

// Calls body(slice) on the pool's threads for parts slices of keys (source << bits | target)
// sorted by source, cut where the source changes, so that each source's keys are one slice's;
// cut[slice] .. cut[slice + 1] are a slice's keys.
template <class Body>
void forEachSourceSlice(const std::vector<std::uint64_t>& keys, int bits, ThreadPool& pool,
                        Body&& body) {
    const auto parts = static_cast<std::size_t>(pool.size());
    std::vector<std::size_t> cut(parts + 1, keys.size());
    cut[0] = 0;
    for (std::size_t p = 1; p < parts; ++p) {
        const std::size_t at = std::max(cut[p - 1], keys.size() * p / parts);
        cut[p] = at == 0 || at == keys.size()
                     ? at
                     : static_cast<std::size_t>(
                           std::lower_bound(keys.begin() + static_cast<std::ptrdiff_t>(at),
                                            keys.end(), ((keys[at - 1] >> bits) + 1) << bits) -
                           keys.begin());
    }
    pool.parallelFor(
        0, static_cast<std::int64_t>(parts), [&](std::int64_t begin, std::int64_t end, int) {
            for (auto p = static_cast<std::size_t>(begin); p < static_cast<std::size_t>(end); ++p)
                body(p, cut[p], cut[p + 1]);
        });
}

// Sorts the size keys at from on bits [0, bits), going back and forth between from and to, and
// returns where they end: by radix on bits [low, bits), in as few passes as take at most 11 bits
// each, all counted in one look at the keys, then each run of keys that share those bits in
// place. With low a target's bits (keys source << low | target) and a few targets a source, the
// runs are short, and the passes half as many. counts is scratch.
std::uint64_t* sortBucket(std::uint64_t* from, std::uint64_t* to, std::size_t size, int bits,
                          int low, std::vector<std::uint32_t>& counts) {
    if (bits > low) {
        const int passes = (bits - low + 10) / 11;
        const int digitBits = (bits - low + passes - 1) / passes;
        const std::size_t digits = std::size_t{1} << digitBits;
        const std::uint64_t mask = digits - 1;
        // (The last digit may take bits above bits: they are the bucket's, the same in every key.)
        counts.assign(static_cast<std::size_t>(passes) * digits, 0u);
        for (std::size_t x = 0; x < size; ++x) {
            for (int p = 0; p < passes; ++p)
                ++counts[static_cast<std::size_t>(p) * digits +
                         ((from[x] >> (low + p * digitBits)) & mask)];
        }
        for (int p = 0; p < passes; ++p) {
            std::uint32_t* const c = counts.data() + static_cast<std::size_t>(p) * digits;
            std::uint32_t place = 0;
            for (std::size_t d = 0; d < digits; ++d) place += std::exchange(c[d], place);
            const int shift = low + p * digitBits;
            for (std::size_t x = 0; x < size; ++x) to[c[(from[x] >> shift) & mask]++] = from[x];
            std::swap(from, to);
        }
    }
    if (low > 0) {
        for (std::size_t run = 0; run < size;) {
            std::size_t last = run + 1;
            while (last < size && (from[last] >> low) == (from[run] >> low)) ++last;
            if (last - run == 2) {
                if (from[run + 1] < from[run]) std::swap(from[run], from[run + 1]);
            } else if (last - run > 2) {
                std::sort(from + run, from + last);
            }
            run = last;
        }
    }
    return from;
}

// Keys (source << bits | target) of sources with this many targets on average, or fewer, are
// sorted by their sources' bits first, then each source's targets.
constexpr std::size_t kFewTargets = 3;

// Keys go to buckets by their top bits, as many as leave a few thousand keys a bucket, up to
// 2048 buckets, when the buckets come out even enough: none holds more than 32 times the average.
// (More buckets than that would leave the sorts of each, whose digits take up to 11 bits, counting
// more than they place.)
int bucketBitsFor(std::size_t keys) {
    return std::clamp(bitsFor(keys) - 12, 1, 11);
}
std::size_t bucketAtMost(std::size_t keys, int bucketBits) {
    return std::max<std::size_t>(keys >> std::max(bucketBits - 5, 0), 4096);
}

// Sorts keys on bits [0, keyBits) when their top bits spread them evenly, as a densely numbered
// source leading each key does: a pass places the keys by their top 11 bits into buckets of a few
// thousand, which the caches hold, and the threads then sort each bucket on the rest of its bits
// apart (sortBucket, low as there). The radix sort's passes over all the keys take the memory's
// time instead. Returns false, the keys as they were, when one bucket would hold too many (a
// hub's edges).
bool sortInBuckets(std::vector<std::uint64_t>& keys, int keyBits, int low, ThreadPool& pool,
                   const Stage& stage) {
    const std::size_t count = keys.size();
    const int bucketBits = bucketBitsFor(count);
    const std::size_t buckets = std::size_t{1} << bucketBits;
    const int restBits = keyBits - bucketBits;
    if (restBits <= 0) return false;
    const auto parts = static_cast<std::size_t>(pool.size());
    const auto inParts = [&](std::size_t items, auto&& body) {
        pool.parallelFor(0, static_cast<std::int64_t>(parts),
                         [&](std::int64_t begin, std::int64_t end, int) {
                             for (auto p = static_cast<std::size_t>(begin);
                                  p < static_cast<std::size_t>(end); ++p)
                                 body(p, items * p / parts, items * (p + 1) / parts);
                         });
    };
    // Slice p's count of keys in bucket b, then where its next one goes: at[p * buckets + b].
    std::vector<std::size_t> at(parts * buckets, 0);
    inParts(count, [&](std::size_t p, std::size_t begin, std::size_t end) {
        std::size_t* const c = at.data() + p * buckets;
        for (std::size_t x = begin; x < end; ++x) ++c[keys[x] >> restBits];
    });
    std::vector<std::size_t> first(buckets + 1, count);
    std::size_t next = 0;
    std::size_t largest = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        first[b] = next;
        for (std::size_t p = 0; p < parts; ++p) next += std::exchange(at[p * buckets + b], next);
        largest = std::max(largest, next - first[b]);
    }
    if (largest > bucketAtMost(count, bucketBits)) return false;
    Array<std::uint64_t> scratch = unsetArray<std::uint64_t>(count);
    inParts(count, [&](std::size_t p, std::size_t begin, std::size_t end) {
        std::size_t* const c = at.data() + p * buckets;
        for (std::size_t x = begin; x < end; ++x) scratch[c[keys[x] >> restBits]++] = keys[x];
    });
    stage(0.5);
    // Each bucket from scratch back to the keys.
    inParts(buckets, [&](std::size_t, std::size_t begin, std::size_t end) {
        std::vector<std::uint32_t> counts;
        for (std::size_t b = begin; b < end; ++b) {
            std::uint64_t* const to = keys.data() + first[b];
            const std::size_t size = first[b + 1] - first[b];
            const std::uint64_t* const sorted =
                sortBucket(scratch.data() + first[b], to, size, restBits, low, counts);
            if (sorted != to) std::copy(sorted, sorted + size, to);
        }
    });
    stage(1);
    return true;
}

// Sorts keys (source << bits | target) and drops repeats. Files often come sorted, or sorted by
// source (a history lists each commit's parents together), or by descending source (the same
// history numbered newest first): then only each source's few targets are sorted, which costs
// one look at the keys. A few sorted pieces one after another are merged. Otherwise the keys are
// sorted whole in buckets of their top bits (sortInBuckets), unless one bucket would hold too many
// of them; then, when sources have few targets each (nodes of them on average at most
// kFewTargets), they are radix sorted by source alone, which takes half the passes, and then
// each source's targets; else by the whole key.
void sortUnique(std::vector<std::uint64_t>& keys, std::uint32_t nodes, int bits, ThreadPool& pool,
                const Stage& stage) {
    // Whether no key comes after one that `before` puts ahead of it (or, when `before` says
    // whether two keys are the same, whether none repeats the one before it): a look at the keys
    // on the pool's threads, each taking a range, which stops at the first such key.
    const auto noneAfter = [&](auto&& before) {
        if (keys.size() < 2) return true;
        std::vector<char> found(static_cast<std::size_t>(pool.size()), 0);
        pool.parallelFor(1, static_cast<std::int64_t>(keys.size()),
                         [&](std::int64_t begin, std::int64_t end, int worker) {
                             for (auto k = static_cast<std::size_t>(begin);
                                  k < static_cast<std::size_t>(end); ++k) {
                                 if (before(keys[k], keys[k - 1])) {
                                     found[static_cast<std::size_t>(worker)] = 1;
                                     return;
                                 }
                             }
                         });
        return std::find(found.begin(), found.end(), 1) == found.end();
    };
    const auto bySource = [bits](std::uint64_t a, std::uint64_t b) {
        return (a >> bits) < (b >> bits);
    };
    const bool sorted = noneAfter(std::less<std::uint64_t>());
    const bool bySourceAlready =
        !sorted && (noneAfter(bySource) ||
                    noneAfter([&](std::uint64_t a, std::uint64_t b) { return bySource(b, a); }));
    // Where each sorted piece starts, when a few sorted lists were appended one after another
    // (a graph's chain, then its leaves); empty when there are more.
    constexpr std::size_t kFewPieces = 4;
    std::vector<std::size_t> pieces;
    if (!sorted && !bySourceAlready) {
        std::vector<std::vector<std::size_t>> starts(static_cast<std::size_t>(pool.size()));
        pool.parallelFor(
            1, static_cast<std::int64_t>(keys.size()),
            [&](std::int64_t begin, std::int64_t end, int worker) {
                std::vector<std::size_t>& mine = starts[static_cast<std::size_t>(worker)];
                for (auto k = static_cast<std::size_t>(begin);
                     k < static_cast<std::size_t>(end) && mine.size() < kFewPieces; ++k) {
                    if (keys[k] < keys[k - 1]) mine.push_back(k);
                }
            });
        pieces.push_back(0);
        for (const std::vector<std::size_t>& mine : starts)
            pieces.insert(pieces.end(), mine.begin(), mine.end());
        if (pieces.size() > kFewPieces) pieces.clear();
    }
    if (sorted) {
    } else if (!pieces.empty()) {
        // Merged in pairs, in place.
        pieces.push_back(keys.size());
        while (pieces.size() > 2) {
            std::vector<std::size_t> merged;
            for (std::size_t p = 0; p + 1 < pieces.size(); p += 2) {
                merged.push_back(pieces[p]);
                if (p + 2 < pieces.size()) {
                    std::inplace_merge(keys.begin() + static_cast<std::ptrdiff_t>(pieces[p]),
                                       keys.begin() + static_cast<std::ptrdiff_t>(pieces[p + 1]),
                                       keys.begin() + static_cast<std::ptrdiff_t>(pieces[p + 2]));
                }
            }
            merged.push_back(keys.size());
            pieces = std::move(merged);
        }
    } else if (!bySourceAlready &&
               sortInBuckets(keys, 2 * bits, keys.size() <= kFewTargets * nodes ? bits : 0, pool,
                             stage)) {
    } else if (!bySourceAlready && keys.size() > kFewTargets * nodes) {
        radixSort(keys, 2 * bits, pool, stage);
    } else {
        if (bySourceAlready) {
            if ((keys.front() >> bits) > (keys.back() >> bits))
                std::reverse(keys.begin(), keys.end());
        } else {
            radixSort(keys, 2 * bits, pool, stage.part(0, 0.9), bits);
        }
        forEachSourceSlice(keys, bits, pool, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t run = begin; run < end;) {
                std::size_t last = run + 1;
                while (last < end && (keys[last] >> bits) == (keys[run] >> bits)) ++last;
                if (last - run > 1)
                    std::sort(keys.begin() + static_cast<std::ptrdiff_t>(run),
                              keys.begin() + static_cast<std::ptrdiff_t>(last));
                run = last;
            }
        });
    }
    if (!noneAfter(std::equal_to<std::uint64_t>()))
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    stage(1);
}

// Adjacency in compressed rows: the successors of node x are target[offset[x] .. offset[x+1]),
// ascending.
struct Csr {
    Array<std::uint32_t> offset;
    Array<std::uint32_t> target;
    std::uint32_t nodes() const { return static_cast<std::uint32_t>(offset.size() - 1); }
};

// Row offsets from row lengths: offset[x + 1] holds the length of row x on entry, offset[0] 0.
void sumLengths(Array<std::uint32_t>& offset) {
    for (std::size_t x = 1; x < offset.size(); ++x) offset[x] += offset[x - 1];
}

// Calls body(begin, end, worker) on the pool's threads for disjoint ranges that cover
// [0, count), one a thread, in ascending order of worker; worker 0 is the calling thread, the one
// that may report progress.
template <class Index, class Body>
void inParallel(ThreadPool& pool, Index count, Body&& body) {
    pool.parallelFor(0, static_cast<std::int64_t>(count),
                     [&body](std::int64_t begin, std::int64_t end, int worker) {
                         body(static_cast<Index>(begin), static_cast<Index>(end), worker);
                     });
}

// From sorted unique keys (source << bits | target), without the self-loops, whose nodes are
// marked in cyclic instead: a self-loop carries no walk between two other nodes, and the edges of
// a node on a cycle are dropped anyway. Each thread takes the keys of its own sources.
Csr csrOf(const std::vector<std::uint64_t>& keys, std::uint32_t nodes, int bits,
          Array<std::uint8_t>& cyclic, ThreadPool& pool) {
    Csr g;
    g.offset = filledArray<std::uint32_t>(std::size_t{nodes} + 1, 0, pool);
    g.target = unsetArray<std::uint32_t>(keys.size());
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    std::vector<std::size_t> loops(static_cast<std::size_t>(pool.size()) + 1, 0);
    forEachSourceSlice(keys, bits, pool, [&](std::size_t p, std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            const auto source = static_cast<std::uint32_t>(keys[e] >> bits);
            if (source == (keys[e] & mask)) {
                cyclic[source] = 1;
                ++loops[p + 1];
            } else {
                ++g.offset[source + 1];
            }
        }
    });
    // Self-loops in the slices before each.
    for (std::size_t p = 1; p < loops.size(); ++p) loops[p] += loops[p - 1];
    forEachSourceSlice(keys, bits, pool, [&](std::size_t p, std::size_t begin, std::size_t end) {
        std::size_t write = begin - loops[p];
        for (std::size_t e = begin; e < end; ++e) {
            const auto target = static_cast<std::uint32_t>(keys[e] & mask);
            if (target != keys[e] >> bits) g.target[write++] = target;
        }
    });
    g.target.resize(keys.size() - loops.back());
    sumLengths(g.offset);
    return g;
}

// Graphs of more nodes than this, whose edges mostly join numbers more than kFarApart apart, are
// ranked a path at a time, and renumbered along walks before Tarjan's search: their arrays
// outgrow the caches, and every step would wait.
constexpr std::uint32_t kScatteredFrom = 1u << 20;
constexpr std::uint32_t kFarApart = 1u << 16;

// Node numbers in the order in which the keys (source << bits | target, in the input's order)
// first name the nodes, when the numbers scatter the edges and that order keeps them near; the
// keys then take them, and the result is the numbers they had, by new number. Empty otherwise.
//
// Numbers often carry no order (ids from a database, numbers given at random) while the lines do:
// a tool lists a history's commits each after its parents or before them, a build its targets
// after their dependencies. Numbered as they first appear, such a graph's edges join near numbers,
// and the route takes the ways of an input in order, not those of a scattered one.
//
// Both are asked of a sample first: whether most edges join far numbers, and whether the lines
// mostly share a node with one of the few lines before them. With always (a window held small by
// the caller, tests) any graph is asked, "far" then relative to its node count.
//
// Each thread takes a slice of the keys and marks the nodes it names in a bitmap of its own (a
// few MiB, which the caches mostly hold); a node is numbered by the first slice that names it,
// and the slices' counts of such nodes say where each slice's numbers begin. So each thread then
// numbers its own nodes in the order its slice names them, without waiting on the others, and
// gives its keys their new numbers as it goes; a key naming a node of an earlier slice waits for
// a pass of its own.
Array<std::uint32_t> numberByFirstAppearance(std::vector<std::uint64_t>& keys, std::uint32_t nodes,
                                             int bits, bool always, ThreadPool& pool,
                                             const Stage& stage) {
    const std::size_t m = keys.size();
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    const std::uint32_t farApart = always ? std::max(nodes / 64, 1u) : kFarApart;
    const auto farIn = [&](std::size_t step, auto&& numberOf) {
        std::vector<std::size_t> farOf(static_cast<std::size_t>(pool.size()), 0);
        inParallel(pool, (m + step - 1) / step, [&](std::size_t begin, std::size_t end, int p) {
            std::size_t far = 0;
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint32_t s =
                    numberOf(static_cast<std::uint32_t>(keys[k * step] >> bits));
                const std::uint32_t t = numberOf(static_cast<std::uint32_t>(keys[k * step] & mask));
                far += (s < t ? t - s : s - t) > farApart;
            }
            farOf[static_cast<std::size_t>(p)] = far;
        });
        std::size_t far = 0;
        for (const std::size_t f : farOf) far += f;
        return far;
    };
    // Each question is asked of a sample of the keys.
    constexpr std::size_t kSampleStep = 16;
    const auto same = [](std::uint32_t x) { return x; };
    const std::size_t farBefore = (always || nodes > kScatteredFrom) ? farIn(kSampleStep, same) : 0;
    if (2 * farBefore <= (m + kSampleStep - 1) / kSampleStep) return {};
    // Lines in an order that means something mostly share a node with one of the few lines before
    // them (a commit's line names its parent, whose line follows); shuffled ones hardly ever do,
    // and are left as they are.
    constexpr std::size_t kLinesBefore = 8;
    std::size_t sampled = 0;
    std::size_t sharing = 0;
    for (std::size_t e = kLinesBefore; e < m; e += 4 * kSampleStep) {
        const std::uint64_t s = keys[e] >> bits;
        const std::uint64_t t = keys[e] & mask;
        bool shares = false;
        for (std::size_t b = e - kLinesBefore; b < e; ++b) {
            const std::uint64_t bs = keys[b] >> bits;
            const std::uint64_t bt = keys[b] & mask;
            shares = shares || s == bs || s == bt || t == bs || t == bt;
        }
        ++sampled;
        sharing += shares;
    }
    if (4 * sharing < sampled) return {};
    constexpr std::size_t kSlices = 8;
    const std::size_t slices = std::min(static_cast<std::size_t>(pool.size()), kSlices);
    const std::size_t words = (std::size_t{nodes} + kWordBits - 1) / kWordBits;
    Array<Word> marked = filledArray<Word>(slices * words, 0, pool);
    // (Slices start at whole words of a bitmap of the keys.)
    const auto sliceOf = [&](std::size_t p) {
        const auto at = [&](std::size_t q) {
            return q == slices ? m : m * q / slices / kWordBits * kWordBits;
        };
        return std::make_pair(at(p), at(p + 1));
    };
    inParallel(pool, slices, [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t p = begin; p < end; ++p) {
            Word* const marks = marked.data() + p * words;
            const auto [first, last] = sliceOf(p);
            for (std::size_t e = first; e < last; ++e) {
                setBit(marks, keys[e] >> bits);
                setBit(marks, keys[e] & mask);
            }
        }
    });
    // Each slice keeps the marks of the nodes no slice before it names, counted by ranges of words.
    const auto parts = static_cast<std::size_t>(pool.size());
    std::vector<std::uint32_t> owned(parts * slices, 0);  // [range * slices + slice]
    inParallel(pool, words, [&](std::size_t begin, std::size_t end, int range) {
        std::uint32_t* const count = owned.data() + static_cast<std::size_t>(range) * slices;
        for (std::size_t w = begin; w < end; ++w) {
            Word before = 0;
            for (std::size_t p = 0; p < slices; ++p) {
                Word& marks = marked[p * words + w];
                const Word mine = marks & ~before;
                before |= marks;
                marks = mine;
                count[p] += static_cast<std::uint32_t>(__builtin_popcountll(mine));
            }
        }
    });
    std::vector<std::uint32_t> firstOf(slices, 0);  // the first number of each slice's nodes
    std::size_t named = 0;
    for (std::size_t p = 0; p < slices; ++p) {
        firstOf[p] = static_cast<std::uint32_t>(named);
        for (std::size_t range = 0; range < parts; ++range) named += owned[range * slices + p];
    }
    if (named != nodes) return {};  // (the keys name every node, as renumber() leaves them)
    stage(0.4);
    // Each thread numbers its slice's own nodes as they come, and gives the keys their new numbers
    // as it goes, but for those that name a node a slice before numbers: they are marked in
    // waiting, and take theirs once every slice is done.
    constexpr std::uint32_t kLater = std::numeric_limits<std::uint32_t>::max();
    Array<std::uint32_t> number = unsetArray<std::uint32_t>(nodes);
    Array<std::uint32_t> was = unsetArray<std::uint32_t>(nodes);
    Array<Word> numbered = filledArray<Word>(slices * words, 0, pool);
    Array<Word> waiting = filledArray<Word>((m + kWordBits - 1) / kWordBits, 0, pool);
    inParallel(pool, slices, [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t p = begin; p < end; ++p) {
            const Word* const owns = marked.data() + p * words;
            Word* const done = numbered.data() + p * words;
            std::uint32_t next = firstOf[p];
            const auto name = [&](std::uint32_t x) {
                if (!testBit(owns, x)) return kLater;
                if (testBit(done, x)) return number[x];
                setBit(done, x);
                number[x] = next;
                was[next] = x;
                return next++;
            };
            const auto [first, last] = sliceOf(p);
            for (std::size_t e = first; e < last; ++e) {
                // (The numbers are all over; asked for ahead, their waits overlap.)
                if (e + 32 < last) {
                    FWPRUNE_PREFETCH_WRITE(&number[keys[e + 32] >> bits]);
                    FWPRUNE_PREFETCH_WRITE(&number[keys[e + 32] & mask]);
                }
                const std::uint32_t source = name(static_cast<std::uint32_t>(keys[e] >> bits));
                const std::uint32_t target = name(static_cast<std::uint32_t>(keys[e] & mask));
                if (source == kLater || target == kLater) {
                    setBit(waiting.data(), e);
                } else {
                    keys[e] = std::uint64_t{source} << bits | target;
                }
            }
        }
    });
    release(marked);
    release(numbered);
    inParallel(pool, waiting.size(), [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t w = begin; w < end; ++w) {
            forEachSetBit(
                waiting[w], static_cast<std::int64_t>(w * kWordBits), [&](std::int64_t e) {
                    keys[e] =
                        std::uint64_t{number[keys[e] >> bits]} << bits | number[keys[e] & mask];
                });
        }
    });
    release(waiting);
    release(number);
    stage(0.7);
    // Kept only when a sample of the edges shows them much nearer; else the keys take back the
    // numbers they had.
    if (4 * farIn(kSampleStep, same) > farBefore) {
        inParallel(pool, m, [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t e = begin; e < end; ++e)
                keys[e] = std::uint64_t{was[keys[e] >> bits]} << bits | was[keys[e] & mask];
        });
        return {};
    }
    stage(1);
    return was;
}

// Node numbers of the records, renumbered 0 .. V-1 in ascending order, so that sorting by the
// new numbers sorts by the old. The records become the keys, in place. Memory follows the
// records: a lookup table only when the largest number is within a small multiple of them, a sort
// otherwise.
struct Renumbered {
    std::uint32_t nodes = 0;
    Array<std::int32_t> original;     // new number -> node number; empty when they are the same
    std::vector<std::uint64_t> keys;  // records as (source << bits | target), new numbers
    int bits = 0;
};

Renumbered renumber(std::vector<std::uint64_t>&& records, ThreadPool& pool, const Stage& stage) {
    Renumbered r;
    const auto parts = static_cast<std::size_t>(pool.size());
    std::vector<std::uint32_t> largestOf(parts, 0);
    inParallel(pool, records.size(), [&](std::size_t begin, std::size_t end, int worker) {
        std::uint32_t largest = 0;
        for (std::size_t e = begin; e < end; ++e) {
            largest =
                std::max({largest, EdgeRecord::source(records[e]), EdgeRecord::target(records[e])});
        }
        largestOf[static_cast<std::size_t>(worker)] = largest;
    });
    const std::uint32_t largest = *std::max_element(largestOf.begin(), largestOf.end());
    const std::size_t endpoints = 2 * records.size();
    if (std::uint64_t{largest} < 2 * endpoints + 1024) {
        // Which numbers are used, as bits. The records are cut into at most kMarkers slices,
        // each marked by a thread in a bitmap of its own: a few MiB, which the caches mostly hold
        // however the numbers scatter. The bitmaps are then or'd into the first, each thread
        // taking a range of words, whose used numbers it counts.
        constexpr std::size_t kMarkers = 8;
        const std::size_t numbers = std::size_t{largest} + 1;
        const std::size_t words = (numbers + kWordBits - 1) / kWordBits;
        const std::size_t markers = std::min(parts, kMarkers);
        Array<Word> used = filledArray<Word>(markers * words, 0, pool);
        inParallel(pool, markers, [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t p = begin; p < end; ++p) {
                Word* marks = used.data() + p * words;
                const std::size_t last = records.size() * (p + 1) / markers;
                for (std::size_t e = records.size() * p / markers; e < last; ++e) {
                    setBit(marks, EdgeRecord::source(records[e]));
                    setBit(marks, EdgeRecord::target(records[e]));
                }
            }
        });
        const auto rangeOf = [words, parts](std::size_t p) {  // of words
            return std::make_pair(words * p / parts, words * (p + 1) / parts);
        };
        std::vector<std::uint32_t> before(parts + 1, 0);  // used numbers below each range
        inParallel(pool, parts, [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t p = begin; p < end; ++p) {
                const auto [low, high] = rangeOf(p);
                std::uint32_t count = 0;
                for (std::size_t w = low; w < high; ++w) {
                    for (std::size_t q = 1; q < markers; ++q) used[w] |= used[q * words + w];
                    count += static_cast<std::uint32_t>(__builtin_popcountll(used[w]));
                }
                before[p + 1] = count;
            }
        });
        for (std::size_t p = 0; p < parts; ++p) before[p + 1] += before[p];
        r.nodes = before.back();
        stage(0.5);
        r.bits = bitsFor(r.nodes);
        // Numbers without a gap are their own new numbers, and need no look-up each.
        Array<std::uint32_t> table;
        if (r.nodes != numbers) {
            table = unsetArray<std::uint32_t>(numbers);
            r.original = unsetArray<std::int32_t>(r.nodes);
            inParallel(pool, parts, [&](std::size_t begin, std::size_t end, int) {
                for (std::size_t p = begin; p < end; ++p) {
                    const auto [low, high] = rangeOf(p);
                    std::uint32_t next = before[p];
                    for (std::size_t w = low; w < high; ++w) {
                        forEachSetBit(used[w], static_cast<std::int64_t>(w * kWordBits),
                                      [&](std::int64_t x) {
                                          table[x] = next;
                                          r.original[next++] = static_cast<std::int32_t>(x);
                                      });
                    }
                }
            });
        }
        release(used);
        inParallel(pool, records.size(), [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t e = begin; e < end; ++e) {
                const std::uint32_t source = EdgeRecord::source(records[e]);
                const std::uint32_t target = EdgeRecord::target(records[e]);
                records[e] = table.empty() ? std::uint64_t{source} << r.bits | target
                                           : std::uint64_t{table[source]} << r.bits | table[target];
            }
        });
        r.keys = std::move(records);
        return r;
    }
    // (node number << 32 | endpoint index), sorted on the node number only; the records then
    // take their endpoints' new numbers in their two halves.
    Array<std::uint64_t> byNode = unsetArray<std::uint64_t>(endpoints);
    inParallel(pool, records.size(), [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t e = begin; e < end; ++e) {
            byNode[2 * e] = std::uint64_t{EdgeRecord::source(records[e])} << 32 | (2 * e);
            byNode[2 * e + 1] = std::uint64_t{EdgeRecord::target(records[e])} << 32 | (2 * e + 1);
        }
    });
    radixSort(byNode, 64, pool, stage.part(0, 0.8), 32);
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < endpoints; ++i) {
        const auto node = static_cast<std::uint32_t>(byNode[i] >> 32);
        if (i == 0 || node != static_cast<std::uint32_t>(byNode[i - 1] >> 32)) {
            r.original.push_back(static_cast<std::int32_t>(node));
            ++next;
        }
        const auto endpoint = static_cast<std::uint32_t>(byNode[i]);
        std::uint64_t& record = records[endpoint / 2];
        record = endpoint % 2 == 0 ? EdgeRecord::pack(next - 1, EdgeRecord::target(record))
                                   : EdgeRecord::pack(EdgeRecord::source(record), next - 1);
    }
    release(byNode);
    r.nodes = next;
    if (r.original.back() == static_cast<std::int32_t>(next - 1)) release(r.original);
    r.bits = bitsFor(next);
    inParallel(pool, records.size(), [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t e = begin; e < end; ++e) {
            records[e] = std::uint64_t{EdgeRecord::source(records[e])} << r.bits |
                         EdgeRecord::target(records[e]);
        }
    });
    r.keys = std::move(records);
    return r;
}

// The window's width for a graph, chosen from its edge lengths: each edge inside the window costs
// at most one pass over the successor's row, each edge beyond it a search, counted as 64 words per
// successor a node has on average (searches fan out with the degree). The width that costs least
// is taken, within 64 MiB of rows: a graph of up to 23,000 nodes can have rows as wide as the
// graph, and no search at all; and within maxWords when it is not 0. lengthsOf(begin, end, visit)
// calls visit(length) for every edge of the nodes begin .. end-1, on the pool's threads.
struct WindowPlan {
    std::uint32_t words = 1;
    std::uint64_t cost = 0;  // word operations, estimated
};

template <class LengthsOf>
WindowPlan planWindow(std::uint32_t nodes, std::size_t edges, std::uint32_t maxWords,
                      ThreadPool& pool, LengthsOf&& lengthsOf) {
    constexpr std::uint64_t kBudgetBits = std::uint64_t{64} << 23;
    const std::uint64_t searchCost = 64 * (edges / std::max<std::uint32_t>(nodes, 1) + 1);
    const auto affordable = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
        kBudgetBits / kWordBits / std::max<std::uint32_t>(nodes, 1), 1,
        std::min<std::uint64_t>((std::uint64_t{nodes} + kWordBits - 1) / kWordBits,
                                maxWords != 0 ? maxWords : ~std::uint64_t{0})));
    // Each thread counts its own nodes' edges.
    std::vector<std::vector<std::uint64_t>> counted(static_cast<std::size_t>(pool.size()));
    inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::vector<std::uint64_t> count(std::size_t{affordable} + 1, 0);
        lengthsOf(begin, end, [&](std::uint32_t length) {
            const std::uint32_t words = (length + kWordBits - 1) / kWordBits;
            ++count[std::min(words, affordable + 1) - 1];
        });
        counted[static_cast<std::size_t>(worker)] = std::move(count);
    });
    std::vector<std::uint64_t> longer(std::size_t{affordable} + 1, 0);  // edges over w words
    for (const std::vector<std::uint64_t>& count : counted)
        for (std::size_t w = 0; w < count.size(); ++w) longer[w] += count[w];
    for (std::uint32_t w = affordable; w-- > 0;) longer[w] += longer[w + 1];
    WindowPlan plan;
    plan.cost = ~std::uint64_t{0};
    for (std::uint32_t w = 1; w <= affordable; ++w) {
        const std::uint64_t cost = (edges - longer[w]) * w + longer[w] * searchCost;
        if (cost < plan.cost) plan = {w, cost};
    }
    return plan;
}

// The nodes without predecessors, ascending: where the search starts.
std::vector<std::uint32_t> sourcesOf(const Csr& g) {
    std::vector<std::uint8_t> entered(g.nodes(), 0);
    for (const std::uint32_t t : g.target) entered[t] = 1;
    std::vector<std::uint32_t> sources;
    for (std::uint32_t x = 0; x < g.nodes(); ++x)
        if (!entered[x]) sources.push_back(x);
    return sources;
}

// Ranks g's nodes by the reverse finishing order of a depth-first search from its sources that
// enters each node's successors in the order of its row. Returns false, with rank unfinished,
// when the search meets a cycle (self-loops aside). When the numbering scatters the graph, each
// step of the search is a wait for memory: a node's row bounds and first successor sit side by
// side, and its state takes one byte, so a step waits for one load at a time, not three in turn.
bool rankBySearch(const Csr& g, Array<std::uint32_t>& rank, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    struct Head {
        std::uint32_t begin;  // of the node's row
        std::uint32_t first;  // its first successor, if any
    };
    std::vector<Head> head(std::size_t{n} + 1);
    for (std::uint32_t x = 0; x <= n; ++x) {
        head[x].begin = g.offset[x];
        head[x].first = x < n && g.offset[x] < g.offset[x + 1] ? g.target[g.offset[x]] : 0;
    }
    enum : std::uint8_t { kUnseen, kOnPath, kFinished };
    std::vector<std::uint8_t> state(n, kUnseen);
    struct Frame {
        std::uint32_t node;
        std::uint32_t edge;  // the next successor's
        std::uint32_t end;
        std::uint32_t first;  // the first successor, until it is taken
    };
    constexpr std::uint32_t kTaken = std::numeric_limits<std::uint32_t>::max();
    std::vector<Frame> frames;
    const auto enter = [&](std::uint32_t x) {
        state[x] = kOnPath;
        frames.push_back({x, head[x].begin, head[x + 1].begin, head[x].first});
    };
    std::uint32_t next = n;  // the first to finish takes the highest rank
    for (const std::uint32_t root : sourcesOf(g)) {
        enter(root);
        while (!frames.empty()) {
            Frame& frame = frames.back();
            const std::uint32_t v = frame.node;
            if (frame.edge < frame.end) {
                const std::uint32_t w = frame.first != kTaken ? frame.first : g.target[frame.edge];
                frame.first = kTaken;
                ++frame.edge;
                if (state[w] == kUnseen) {
                    enter(w);
                } else if (state[w] == kOnPath && w != v) {
                    return false;
                }
                continue;
            }
            frames.pop_back();
            state[v] = kFinished;
            rank[v] = --next;
            if (next % kReportEvery == 0) stage(double(n - next) / n);
        }
    }
    // A node left unseen lies on a cycle that no path from a source enters.
    return next == 0;
}

// Fetches ahead what visiting the nodes list[i + 16 .. i + 96] of a worklist will read: their row
// bounds, their first successors, and values[] of the nearest one's successors. In a scattered
// numbering every one of those reads misses the caches; fetched ahead, the waits of the next
// nodes overlap instead of queuing, since no node's reads depend on another's. The distances
// cover a wait of a few hundred nanoseconds, what a miss costs on a loaded virtual machine.
template <class T>
FWPRUNE_ALWAYS_INLINE void fetchAhead(const Csr& g, const std::uint32_t* list, std::size_t i,
                                      std::size_t count, const T* values) {
    if (i + 96 < count) FWPRUNE_PREFETCH(&g.offset[list[i + 96]]);
    if (i + 48 < count) FWPRUNE_PREFETCH(&g.target[g.offset[list[i + 48]]]);
    if (i + 16 < count) {
        const std::uint32_t x = list[i + 16];
        const std::uint32_t end = std::min(g.offset[x + 1], g.offset[x] + 4);
        for (std::uint32_t e = g.offset[x]; e < end; ++e) FWPRUNE_PREFETCH(&values[g.target[e]]);
    }
}

// Calls visit(source, target) for every edge of g on the pool's threads, each taking the edges
// whose targets lie in a range of its own: a pass that writes at its edges' targets needs no
// lock. Each thread visits its edges in ascending order of source. A thread first gathers a batch
// of its edges without a branch on each (in a scattered numbering, whether a target is the
// thread's own is a coin toss, which the processor would mispredict half the time).
// fetchAhead(target) asks for what visit will touch at target, a few edges ahead.
template <class Visit, class FetchAhead>
void forEachEdgeByTarget(const Csr& g, ThreadPool& pool, Visit&& visit, FetchAhead&& fetchAhead) {
    const std::uint32_t n = g.nodes();
    const auto parts = static_cast<std::uint64_t>(pool.size());
    constexpr std::uint32_t kBatch = 1024;
    inParallel(pool, pool.size(), [&](int begin, int end, int) {
        std::array<std::uint32_t, kBatch> sources;
        std::array<std::uint32_t, kBatch> targets;
        for (int p = begin; p < end; ++p) {
            const auto low = static_cast<std::uint32_t>(n * static_cast<std::uint64_t>(p) / parts);
            const auto high =
                static_cast<std::uint32_t>(n * static_cast<std::uint64_t>(p + 1) / parts);
            std::uint32_t gathered = 0;
            const auto visitGathered = [&] {
                constexpr std::uint32_t kAhead = 16;
                for (std::uint32_t i = 0; i < std::min(gathered, kAhead); ++i)
                    fetchAhead(targets[i]);
                for (std::uint32_t i = 0; i < gathered; ++i) {
                    if (i + kAhead < gathered) fetchAhead(targets[i + kAhead]);
                    visit(sources[i], targets[i]);
                }
                gathered = 0;
            };
            for (std::uint32_t x = 0; x < n; ++x) {
                for (std::uint32_t e = g.offset[x]; e < g.offset[x + 1]; ++e) {
                    const std::uint32_t t = g.target[e];
                    sources[gathered] = x;
                    targets[gathered] = t;
                    gathered += t - low < high - low;
                    if (gathered == kBatch) visitGathered();
                }
            }
            visitGathered();
        }
    });
}

template <class Visit>
void forEachEdgeByTarget(const Csr& g, ThreadPool& pool, Visit&& visit) {
    forEachEdgeByTarget(g, pool, std::forward<Visit>(visit), [](std::uint32_t) {});
}

// What Kahn's algorithm reads of a node, side by side: counting a successor down brings in its
// row bounds and first successor, which ranking it next reads.
struct KahnHead {
    std::uint32_t begin;    // of the node's row, which the next node's begin ends
    std::uint32_t first;    // its first successor; itself when it has none
    std::uint32_t pending;  // predecessors not yet ranked
};

// g's heads, make(x, first) of each node x and its first successor (x itself when it has none),
// with every node's count of predecessors (self-loops aside) in `pending`, or'd with fromSingle
// when a predecessor has no other successor; one more head ends the last row.
template <class Head, class Make>
Array<Head> headsOf(const Csr& g, ThreadPool& pool, std::uint32_t fromSingle, Make&& make) {
    const std::uint32_t n = g.nodes();
    Array<Head> head = unsetArray<Head>(std::size_t{n} + 1);
    inParallel(pool, n + 1, [&](std::uint32_t begin, std::uint32_t end, int) {
        for (std::uint32_t x = begin; x < end; ++x) {
            const bool any = x < n && g.offset[x] < g.offset[x + 1];
            head[x] = make(x, any ? g.target[g.offset[x]] : x);
        }
    });
    forEachEdgeByTarget(
        g, pool,
        [&](std::uint32_t x, std::uint32_t t) {
            if (t == x) return;
            const bool single = g.offset[x + 1] - g.offset[x] == 1;
            head[t].pending = (head[t].pending + 1) | (single ? fromSingle : 0);
        },
        [&head](std::uint32_t t) { FWPRUNE_PREFETCH_WRITE(&head[t].pending); });
    return head;
}

Array<KahnHead> kahnHeadsOf(const Csr& g, ThreadPool& pool) {
    return headsOf<KahnHead>(g, pool, 0, [&g](std::uint32_t x, std::uint32_t first) {
        return KahnHead{g.offset[x], first, 0};
    });
}

// Ranks g's nodes in the order Kahn's algorithm takes them: a node is ranked once all its
// predecessors are, first ready, first ranked. order[a] becomes the node of rank a. Returns false
// when a cycle (self-loops aside) leaves some nodes unranked. The order keeps what becomes ready
// at the same time together: a history's commits come about in time order, a chain's leaves next
// to their node.
//
// In a scattered numbering every read of a node's data waits for memory, and a walk along a chain
// waits for each step in turn. So a node's row bounds, first successor and count of predecessors
// not yet ranked sit side by side: counting a successor down brings its record in, and when it
// becomes ready, its own first successor's record is asked for, to be there when the queue
// reaches it. Ready nodes are independent of one another, so those waits overlap.
bool rankByLayers(const Csr& g, Array<std::uint32_t>& order, ThreadPool& pool, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    Array<KahnHead> head = kahnHeadsOf(g, pool);
    order = filledArray<std::uint32_t>(n, 0, pool);
    std::uint32_t ready = 0;  // the queue is order[ranked .. ready)
    for (std::uint32_t x = 0; x < n; ++x)
        if (head[x].pending == 0) order[ready++] = x;
    stage(0.2);
    for (std::uint32_t ranked = 0; ranked < ready; ++ranked) {
        const std::uint32_t x = order[ranked];
        const std::uint32_t begin = head[x].begin;
        const std::uint32_t end = head[x + 1].begin;
        for (std::uint32_t e = begin; e < end; ++e) {
            const std::uint32_t t = e == begin ? head[x].first : g.target[e];
            if (t == x || --head[t].pending != 0) continue;
            order[ready++] = t;
            FWPRUNE_PREFETCH(&head[head[t].first]);
            if (head[t + 1].begin - head[t].begin > 1)
                FWPRUNE_PREFETCH(&g.target[head[t].begin + 1]);
        }
        if (ranked % kReportEvery == 0) stage(0.2 + 0.8 * ranked / n);
    }
    return ready == n;
}

// What Kahn's queue on paths reads of a path (see rankByPaths).
struct PathRecord {
    static constexpr std::uint32_t kHeld = 2;  // successors held in the record
    static constexpr std::uint32_t kMore = std::numeric_limits<std::uint32_t>::max() - 1;
    std::uint32_t pending;  // predecessors not yet ranked; once taken, its first node's rank
    std::uint32_t length;   // nodes
    // The successors, kNone where there is none; {place in a list, kMore} when there are more.
    std::array<std::uint32_t, kHeld> next;
};

// g's paths of links (see rankByPaths): a link x -> y joins a node x whose only successor is y
// to y, whose only predecessor is x.
class Paths {
  public:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    // A walk's step reads a node's first successor and that one's count, not the row bounds
    // (which g's offsets hold), so a head takes two numbers: more of them share the caches.
    Paths(const Csr& g, ThreadPool& pool)
        : head_(headsOf<Head>(g, pool, kFromSingle, [](std::uint32_t, std::uint32_t first) {
              return Head{first, 0};
          })) {}

    void clear() { release(head_); }

    // Once the paths are walked, each start's count of predecessors gives way to the number of
    // the path that starts there, k for start[k]: pathFrom(start[k]) is then k, and only that
    // and the row bounds are of use.
    void numberStarts(const Array<std::uint32_t>& start, ThreadPool& pool) {
        inParallel(pool, static_cast<std::uint32_t>(start.size()),
                   [&](std::uint32_t begin, std::uint32_t end, int) {
                       for (std::uint32_t k = begin; k < end; ++k) head_[start[k]].pending = k;
                   });
    }
    std::uint32_t pathFrom(std::uint32_t x) const { return head_[x].pending; }

    std::uint32_t predecessors(std::uint32_t x) const { return head_[x].pending & ~kFromSingle; }
    // Whether x has a link in: one predecessor, which has no other successor.
    bool linked(std::uint32_t x) const { return head_[x].pending == (kFromSingle | 1); }
    // x's link out, kNone when it has none. (A successor y of x with a link in has it from x,
    // its only predecessor, which then has no other successor.)
    std::uint32_t linkFrom(std::uint32_t x) const {
        const std::uint32_t y = head_[x].first;
        return y != x && linked(y) ? y : kNone;
    }

    // The nodes of paths as the walks list them, in pieces: a piece opens with its path's
    // number, or'd with kOpens (numbers of nodes and paths are below 2^31), then, unless it starts
    // the path, the place of its first node in the path, or'd with kOpens too, then its nodes.
    static constexpr std::uint32_t kOpens = std::uint32_t{1} << 31;
    using Stream = std::vector<std::uint32_t>;

    // Calls done(k, last, nodes) at the end of every path k, whose start is start[k], on the
    // pool's threads, each taking a range of paths and listing their nodes in streams[worker].
    // Each thread follows kWalks paths at once, taking a step of each in turn, with the reads of
    // each step asked for a round ahead: the steps of one path wait for one another, those of
    // different paths overlap. A walk holds its nodes until it has a piece's worth or its path
    // ends, so that a piece is written at once, whatever the length of the path.
    template <class Done>
    void walk(const Array<std::uint32_t>& start, ThreadPool& pool, std::vector<Stream>& streams,
              Done&& done) const {
        constexpr std::uint32_t kWalks = 16;
        constexpr std::uint32_t kPiece = 64;
        const auto paths = static_cast<std::uint32_t>(start.size());
        streams.assign(static_cast<std::size_t>(pool.size()), Stream());
        inParallel(pool, paths, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            struct Walk {
                std::uint32_t path = kNone;
                std::uint32_t at =
                    0;  // the node last visited, whose successor's count is asked for
                std::uint32_t nodes = 0;
                std::uint32_t held = 0;  // the last nodes, not yet in the stream
                std::array<std::uint32_t, kPiece> piece;
            };
            Stream& stream = streams[static_cast<std::size_t>(worker)];
            // Room for its share of the nodes and the openings of their pieces.
            const std::uint64_t share = std::uint64_t{head_.size()} * (end - begin) / paths;
            reserveHugePages(stream, share + share / kPiece + (end - begin) + 1024);
            std::array<Walk, kWalks> walks;
            std::uint32_t next = begin;
            const auto flush = [&stream](Walk& w) {
                stream.push_back(w.path | kOpens);
                if (w.nodes > w.held) stream.push_back((w.nodes - w.held) | kOpens);
                stream.insert(stream.end(), w.piece.begin(), w.piece.begin() + w.held);
                w.held = 0;
            };
            // Visits the node at, and asks for its successor's count.
            const auto step = [&](Walk& w, std::uint32_t at) {
                if (w.held == kPiece) flush(w);
                w.piece[w.held++] = at;
                ++w.nodes;
                w.at = at;
                FWPRUNE_PREFETCH(&head_[head_[at].first]);
            };
            const auto open = [&](Walk& w) {
                if (next + kWalks < end) FWPRUNE_PREFETCH(&head_[start[next + kWalks]]);
                w.path = next < end ? next++ : kNone;
                w.nodes = 0;
                if (w.path != kNone) step(w, start[w.path]);
            };
            for (Walk& w : walks) open(w);
            for (bool any = true; any;) {
                any = false;
                for (Walk& w : walks) {
                    if (w.path == kNone) continue;
                    any = true;
                    const std::uint32_t y = linkFrom(w.at);
                    if (y != kNone) {
                        step(w, y);
                    } else {
                        flush(w);
                        done(w.path, w.at, w.nodes);
                        open(w);
                    }
                }
            }
        });
    }

    // order[rank(k) + i] becomes the i-th node of path k, for the paths the streams list, on the
    // pool's threads, each reading one stream.
    template <class Rank>
    static void place(const std::vector<Stream>& streams, Rank&& rank, Array<std::uint32_t>& order,
                      ThreadPool& pool) {
        inParallel(pool, streams.size(), [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t p = begin; p < end; ++p) {
                const Stream& stream = streams[p];
                for (std::size_t i = 0; i < stream.size();) {
                    std::uint32_t at = rank(stream[i++] & ~kOpens);
                    if (i < stream.size() && (stream[i] & kOpens)) at += stream[i++] & ~kOpens;
                    for (; i < stream.size() && !(stream[i] & kOpens); ++i) order[at++] = stream[i];
                }
            }
        });
    }

  private:
    // In a head's count of predecessors (below 2^31: node numbers are), the mark that one has no
    // other successor.
    static constexpr std::uint32_t kFromSingle = std::uint32_t{1} << 31;
    struct Head {
        std::uint32_t first;    // the node's first successor; itself when it has none
        std::uint32_t pending;  // its predecessors, marked (see kFromSingle)
    };
    Array<Head> head_;
};

// Ranks g's nodes as Kahn's algorithm does, a path at a time: order[a] becomes the node of rank
// a, and ranked g's edges between ranks, in g's arrays (g is left empty). Returns false, leaving
// g as it was, when a cycle (self-loops aside) leaves some nodes unranked.
//
// Call x -> y a link when y is x's only successor and x is y's only predecessor. Each node has at
// most one link out and one in, so the links cut the nodes into paths: a path starts at a node
// without a link in (its start) and follows the links to a node without one out (its last node).
// Each path is ranked as one node: its nodes take consecutive ranks, in the path's order, once
// every predecessor of its start is ranked; ready paths are taken first ready, first ranked. That
// is a topological order: an edge inside a path is a link, ranked in order; an edge leaving a path
// leaves its last node (any other has its link as its only edge out) and enters the start of
// another (any other node has a link in as its only edge in), whose rank waits for it. A cycle
// either has a node with an edge from outside it, whose path never becomes ready, or is all
// links, a path without a start: its nodes stay unranked.
//
// Kahn's queue runs on one thread, and in a scattered numbering waits for memory at each step. On
// the graph of paths it takes one step a path, not a node, over arrays a fraction of the size;
// finding the paths and giving their nodes their ranks are passes split between the threads,
// each taking the paths that start in a range of nodes.
bool rankByPaths(Csr& g, Array<std::uint32_t>& order, Csr& ranked, ThreadPool& pool,
                 const Stage& stage) {
    const std::uint32_t n = g.nodes();
    const auto m = static_cast<std::uint32_t>(g.target.size());
    constexpr std::uint32_t kNone = Paths::kNone;
    Paths graphPaths(g, pool);
    // The paths' starts, numbered in ascending order.
    std::uint32_t paths = 0;
    Array<std::uint32_t> start;
    {
        const auto parts = static_cast<std::size_t>(pool.size());
        std::vector<std::uint32_t> before(parts + 1, 0);  // starts below each thread's nodes
        inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            std::uint32_t starts = 0;
            for (std::uint32_t x = begin; x < end; ++x) starts += !graphPaths.linked(x);
            before[static_cast<std::size_t>(worker) + 1] = starts;
        });
        for (std::size_t p = 0; p < parts; ++p) before[p + 1] += before[p];
        paths = before.back();
        start = unsetArray<std::uint32_t>(paths);
        inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            std::uint32_t k = before[static_cast<std::size_t>(worker)];
            for (std::uint32_t x = begin; x < end; ++x) {
                if (!graphPaths.linked(x)) start[k++] = x;
            }
        });
    }
    stage(0.2);
    // The graph of paths: a path's successors are the paths that start at its last node's
    // successors, and its count of predecessors is its start's. What the queue reads of a path
    // sits in one record, its successors too when it has at most two (most have: a history's
    // merge has two parents), so that a step of the queue waits for two reads in turn, the
    // path's record and its successors' counts.
    Array<PathRecord> record = unsetArray<PathRecord>(paths);
    Array<std::uint32_t> last = unsetArray<std::uint32_t>(paths);
    // The walk lists each path's nodes too, for placing them at their ranks once the queue has
    // ranked the paths.
    std::vector<Paths::Stream> pathNodes;
    graphPaths.walk(start, pool, pathNodes,
                    [&](std::uint32_t k, std::uint32_t x, std::uint32_t nodes) {
                        record[k].pending = graphPaths.predecessors(start[k]);
                        record[k].length = nodes;
                        last[k] = x;
                    });
    graphPaths.numberStarts(start, pool);
    // More successors than a record holds are listed in more[], each list ended by kNone; each
    // thread fills its own paths' lists, after those of the threads before it.
    const auto lastDegree = [&g, &last](std::uint32_t k) {
        return g.offset[last[k] + 1] - g.offset[last[k]];
    };
    std::vector<std::uint32_t> moreBefore(static_cast<std::size_t>(pool.size()) + 1, 0);
    inParallel(pool, paths, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::uint32_t more = 0;
        for (std::uint32_t k = begin; k < end; ++k)
            if (lastDegree(k) > PathRecord::kHeld) more += lastDegree(k) + 1;
        moreBefore[static_cast<std::size_t>(worker) + 1] = more;
    });
    for (std::size_t p = 1; p < moreBefore.size(); ++p) moreBefore[p] += moreBefore[p - 1];
    Array<std::uint32_t> more = unsetArray<std::uint32_t>(moreBefore.back());
    inParallel(pool, paths, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::uint32_t write = moreBefore[static_cast<std::size_t>(worker)];
        for (std::uint32_t k = begin; k < end; ++k) {
            if (k + 16 < end) FWPRUNE_PREFETCH(&g.target[g.offset[last[k + 16]]]);
            const std::uint32_t first = g.offset[last[k]];
            const std::uint32_t past = g.offset[last[k] + 1];
            PathRecord& r = record[k];
            r.next = {kNone, kNone};
            if (past - first > PathRecord::kHeld) {
                r.next = {write, PathRecord::kMore};
                for (std::uint32_t e = first; e < past; ++e)
                    more[write++] = graphPaths.pathFrom(g.target[e]);
                more[write++] = kNone;
            } else {
                for (std::uint32_t e = first; e < past; ++e)
                    r.next[e - first] = graphPaths.pathFrom(g.target[e]);
            }
        }
    });
    // Calls visit(j) for each path j that follows path k.
    const auto forEachNext = [&record, &more](std::uint32_t k, auto&& visit) {
        const PathRecord& r = record[k];
        if (r.next[1] == PathRecord::kMore) {
            for (std::uint32_t e = r.next[0]; more[e] != kNone; ++e) visit(more[e]);
            return;
        }
        for (const std::uint32_t j : r.next)
            if (j != kNone) visit(j);
    };
    // (The rest needs only the graph of paths and the lists of their nodes.)
    graphPaths.clear();
    stage(0.4);
    // Kahn's queue on the paths, in last[], which each path leaves before the queue reaches it.
    Array<std::uint32_t>& queue = last;
    std::uint32_t ready = 0;
    for (std::uint32_t k = 0; k < paths; ++k)
        if (record[k].pending == 0) queue[ready++] = k;
    // A path taken has no predecessor left to count: its count gives way to its first node's rank.
    const auto rankOf = [&record](std::uint32_t k) { return record[k].pending; };
    std::uint32_t placed = 0;  // nodes given ranks
    for (std::uint32_t taken = 0; taken < ready; ++taken) {
        if (taken + 4 < ready)
            forEachNext(queue[taken + 4], [&](std::uint32_t j) { FWPRUNE_PREFETCH(&record[j]); });
        const std::uint32_t k = queue[taken];
        record[k].pending = placed;
        placed += record[k].length;
        forEachNext(k, [&](std::uint32_t j) {
            if (--record[j].pending != 0) return;
            queue[ready++] = j;
            FWPRUNE_PREFETCH(&record[j]);
        });
        if (taken % kReportEvery == 0) stage(0.4 + 0.4 * taken / paths);
    }
    if (placed != n) return false;
    // The nodes of each path at their ranks.
    order = unsetArray<std::uint32_t>(n);
    Paths::place(pathNodes, rankOf, order, pool);
    pathNodes = {};
    stage(0.9);
    // What the ranked graph needs of g is in the graph of paths, so it takes g's arrays, of its
    // sizes: they are mapped already (a fresh page costs a fault and clearing).
    ranked = std::move(g);
    g = Csr{};
    // The edges between ranks, written in rank order, each thread taking a range of the paths in
    // the queue's order: a path's inner nodes have their links as their rows, its last node the
    // starts of the paths that follow it.
    Array<std::uint32_t>& inOrder = queue;
    const auto degree = [&](std::uint32_t k) {
        std::uint32_t count = 0;
        forEachNext(k, [&count](std::uint32_t) { ++count; });
        return count;
    };
    std::vector<std::uint32_t> degreesBefore(static_cast<std::size_t>(pool.size()) + 1, 0);
    inParallel(pool, paths, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::uint32_t degrees = 0;
        for (std::uint32_t q = begin; q < end; ++q) {
            if (q + 16 < end) FWPRUNE_PREFETCH(&record[inOrder[q + 16]]);
            degrees += degree(inOrder[q]);
        }
        degreesBefore[static_cast<std::size_t>(worker) + 1] = degrees;
    });
    for (std::size_t p = 1; p < degreesBefore.size(); ++p) degreesBefore[p] += degreesBefore[p - 1];
    inParallel(pool, paths, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::uint32_t degrees = degreesBefore[static_cast<std::size_t>(worker)];
        for (std::uint32_t q = begin; q < end; ++q) {
            if (q + 16 < end) FWPRUNE_PREFETCH(&record[inOrder[q + 16]]);
            if (q + 8 < end) {
                forEachNext(inOrder[q + 8], [&](std::uint32_t j) { FWPRUNE_PREFETCH(&record[j]); });
            }
            const std::uint32_t k = inOrder[q];
            const std::uint32_t a = rankOf(k);
            // One edge for each inner node ranked below, and the rows of the last nodes.
            const std::uint32_t edge = a - q + degrees;
            const std::uint32_t inner = record[k].length - 1;
            for (std::uint32_t i = 0; i < inner; ++i) {
                ranked.offset[a + i] = edge + i;
                ranked.target[edge + i] = a + i + 1;
            }
            ranked.offset[a + inner] = edge + inner;
            std::uint32_t write = edge + inner;
            forEachNext(k, [&](std::uint32_t j) { ranked.target[write++] = rankOf(j); });
            std::sort(ranked.target.begin() + edge + inner, ranked.target.begin() + write);
            degrees += write - (edge + inner);
        }
    });
    ranked.offset[n] = m;
    stage(1);
    return true;
}

// g renumbered so that walks along its edges stay together: order[k] is the node numbered k, and
// graph holds g's edges in the new numbers.
struct Walked {
    Array<std::uint32_t> order;
    Csr graph;
};

// The inverse of a permutation of 0 .. n-1: inverse[order[a]] == a. Each thread writes apart.
Array<std::uint32_t> inverseOf(const Array<std::uint32_t>& order, ThreadPool& pool) {
    Array<std::uint32_t> inverse = unsetArray<std::uint32_t>(order.size());
    inParallel(pool, static_cast<std::uint32_t>(order.size()),
               [&](std::uint32_t begin, std::uint32_t end, int) {
                   for (std::uint32_t a = begin; a < end; ++a) inverse[order[a]] = a;
               });
    return inverse;
}

// New numbers for g's nodes that keep walks along its edges together. A walk starts at the lowest
// node not yet numbered and goes on to the first successor not yet numbered until there is none;
// its nodes take consecutive numbers (a long one, in pieces of 64). In a scattered
// numbering, a depth-first search, like any order that follows the edges, waits for memory at each
// step of a long chain (a history's main line) in turn: numbered along walks, the next node of a
// chain mostly sits next to the last. The walks themselves are independent, so kWalks of them go at
// once, each step's reads asked for a round ahead, and their waits overlap. A path cut where walks
// started elsewhere on it keeps few pieces: a walk stops where another has been, and few of the
// walks on a path start above every other one.
//
// A walk copies each node's row as it passes, while the row is in the caches: the graph in the
// new numbers then takes one scattered read an edge (its target's new number), not three a node.
Walked renumberAlongWalks(const Csr& g, ThreadPool& pool, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    constexpr std::uint32_t kWalks = 32;
    constexpr std::size_t kPiece = 64;
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    Array<std::uint8_t> taken = filledArray<std::uint8_t>(n, 0, pool);
    Walked walked;
    walked.order = filledArray<std::uint32_t>(n, 0, pool);
    walked.graph.offset = filledArray<std::uint32_t>(std::size_t{n} + 1, 0, pool);
    walked.graph.target = filledArray<std::uint32_t>(g.target.size(), 0, pool);
    std::uint32_t placed = 0;       // nodes of the walks that ended, in order
    std::uint32_t placedEdges = 0;  // and their edges, in the rows
    // Each step of a walk reads three places in turn: the row bounds of the node it is at, a
    // successor in the row, and that successor's mark. Each is asked for when it becomes known
    // and read a round later, when the other walks have had their turns.
    enum class Next : std::uint8_t { kBounds, kSuccessor, kMark };
    struct Walk {
        std::uint32_t at = kNone;  // the node last numbered, kNone when the walk is over
        std::uint32_t begin = 0;   // its row
        std::uint32_t end = 0;
        std::uint32_t edge = 0;  // its successor asked about
        Next next = Next::kBounds;
        std::vector<std::uint32_t> nodes;
        std::vector<std::uint32_t> lengths;  // of their rows
        std::vector<std::uint32_t> targets;  // their rows, in the old numbers
    };
    std::vector<Walk> walks(kWalks);
    std::uint32_t cursor = 0;  // nodes below it are all taken
    std::uint32_t running = 0;
    std::uint32_t numbered = 0;
    const auto take = [&](Walk& w, std::uint32_t x) {
        ++numbered;
        taken[x] = 1;
        w.nodes.push_back(x);
        w.at = x;
        w.next = Next::kBounds;
        FWPRUNE_PREFETCH(&g.offset[x]);
    };
    // Numbers w's nodes so far (whose rows it has copied) next.
    const auto place = [&](Walk& w) {
        std::copy(w.nodes.begin(), w.nodes.end(), walked.order.begin() + placed);
        std::copy(w.lengths.begin(), w.lengths.end(), walked.graph.offset.begin() + placed + 1);
        std::copy(w.targets.begin(), w.targets.end(), walked.graph.target.begin() + placedEdges);
        placed += static_cast<std::uint32_t>(w.nodes.size());
        placedEdges += static_cast<std::uint32_t>(w.targets.size());
        w.nodes.clear();
        w.lengths.clear();
        w.targets.clear();
    };
    // Ends w's walk and starts the next from the lowest node not taken, if any.
    const auto restart = [&](Walk& w) {
        place(w);
        while (cursor < n && taken[cursor]) ++cursor;
        if (cursor < n) {
            take(w, cursor);
        } else {
            w.at = kNone;
            --running;
        }
    };
    for (Walk& w : walks) {
        ++running;
        w.at = 0;
        restart(w);
    }
    for (std::uint32_t reported = 0; running > 0;) {
        if (numbered - reported >= kReportEvery) {
            reported = numbered;
            stage(0.8 * numbered / n);
        }
        for (Walk& w : walks) {
            if (w.at == kNone) continue;
            switch (w.next) {
                case Next::kBounds:
                    w.begin = g.offset[w.at];
                    w.end = g.offset[w.at + 1];
                    w.edge = w.begin;
                    w.lengths.push_back(w.end - w.begin);
                    if (w.edge == w.end) {
                        restart(w);
                    } else {
                        FWPRUNE_PREFETCH(&g.target[w.edge]);
                        w.next = Next::kSuccessor;
                    }
                    break;
                case Next::kSuccessor:
                    if (w.edge == w.begin)
                        w.targets.insert(w.targets.end(), g.target.begin() + w.begin,
                                         g.target.begin() + w.end);
                    FWPRUNE_PREFETCH(&taken[g.target[w.edge]]);
                    w.next = Next::kMark;
                    break;
                case Next::kMark:
                    if (!taken[g.target[w.edge]]) {
                        // A long walk (a history's main line) is numbered piece by piece, so
                        // that what it holds stays small.
                        if (w.nodes.size() >= kPiece) place(w);
                        take(w, g.target[w.edge]);
                    } else if (++w.edge < w.end) {
                        w.next = Next::kSuccessor;
                    } else {
                        restart(w);
                    }
                    break;
            }
        }
    }
    release(taken);
    // The rows' targets in the new numbers, each row sorted.
    sumLengths(walked.graph.offset);
    const Array<std::uint32_t> walkedAs = inverseOf(walked.order, pool);
    Csr& r = walked.graph;
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        const std::uint32_t last = r.offset[end];
        for (std::uint32_t a = begin; a < end; ++a) {
            const std::uint32_t first = r.offset[a];
            const std::uint32_t past = r.offset[a + 1];
            for (std::uint32_t e = first; e < past; ++e) {
                if (e + 32 < last) FWPRUNE_PREFETCH(&walkedAs[r.target[e + 32]]);
                r.target[e] = walkedAs[r.target[e]];
            }
            if (past - first > 1) std::sort(r.target.begin() + first, r.target.begin() + past);
            if (worker == 0 && (a - begin) % kReportEvery == 0)
                stage(0.8 + 0.2 * (a - begin) / (end - begin));
        }
    });
    return walked;
}

// g's edges between ranks when every node has a rank of its own (order[a] is the node of rank
// a) and g has no self-loop: row a holds the ranks of order[a]'s successors, ascending. Written
// in rank order, so only the reads scatter, and those are fetched ahead; each thread writes its
// own range of ranks, once the row lengths have placed them.
Csr relabelOneToOne(const Csr& g, const Array<std::uint32_t>& rank,
                    const Array<std::uint32_t>& order, ThreadPool& pool, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    Csr r;
    r.offset = unsetArray<std::uint32_t>(std::size_t{n} + 1);
    r.target = unsetArray<std::uint32_t>(g.target.size());
    r.offset[0] = 0;
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int) {
        for (std::uint32_t a = begin; a < end; ++a) {
            if (a + 64 < end) FWPRUNE_PREFETCH(&g.offset[order[a + 64]]);
            r.offset[a + 1] = g.offset[order[a] + 1] - g.offset[order[a]];
        }
    });
    sumLengths(r.offset);
    stage(0.2);
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        for (std::uint32_t a = begin; a < end; ++a) {
            fetchAhead(g, order.data(), a, end, rank.data());
            const std::uint32_t x = order[a];
            std::uint32_t write = r.offset[a];
            for (std::uint32_t e = g.offset[x]; e < g.offset[x + 1]; ++e)
                r.target[write++] = rank[g.target[e]];
            if (write - r.offset[a] > 1)
                std::sort(r.target.begin() + r.offset[a], r.target.begin() + write);
            if (worker == 0 && (a - begin) % kReportEvery == 0)
                stage(0.2 + 0.8 * (a - begin) / (end - begin));
        }
    });
    stage(1);
    return r;
}

// Node x of g becomes n - 1 - x, in place: the edges of a graph that all went down go up, and
// every row stays ascending, since it is its old row read backwards.
void reverseNumbering(Csr& g, ThreadPool& pool) {
    const std::uint32_t n = g.nodes();
    const auto m = static_cast<std::uint32_t>(g.target.size());
    // v[i] becomes flip(v[size - 1 - i]), pairs of ends at a time.
    const auto turn = [&pool](Array<std::uint32_t>& v, auto&& flip) {
        const std::size_t size = v.size();
        inParallel(pool, (size + 1) / 2, [&](std::size_t begin, std::size_t end, int) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t low = flip(v[i]);
                v[i] = flip(v[size - 1 - i]);
                v[size - 1 - i] = low;
            }
        });
    };
    turn(g.target, [n](std::uint32_t t) { return n - 1 - t; });
    turn(g.offset, [m](std::uint32_t o) { return m - o; });
}

// Ranks the strongly connected components of g so that edges between them go up, by Tarjan's
// search in the same order as rankBySearch; marks the nodes of components of two or more as
// cyclic. Returns the number of components. rank holds n zeros on entry.
//
// The search keeps one number a node, as Pearce's variant of it does: 0 while unseen; while open
// (on the search's path, or left on the stack of nodes whose component is not closed), the
// lowest discovery number of an open node that it is known to reach, its own at first; once
// closed, kClosed or'd with its component's closing number. A closed node's number is above
// every open one's, so that lowering a node's number to a successor's, when that is lower, is
// Tarjan's rule: only an open successor lowers it. A node whose number stays its own when its
// search ends is the root of its component, which holds it and the nodes on the stack discovered
// after it. One number, not an index, a low link and a flag, keeps each edge to a node already
// seen at one read.
std::uint32_t rankByComponents(const Csr& g, Array<std::uint32_t>& rank,
                               Array<std::uint8_t>& cyclic, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    constexpr std::uint32_t kClosed = std::uint32_t{1} << 31;  // node numbers are below
    Array<std::uint32_t>& number = rank;  // zeros on entry; each number becomes a rank
    struct Frame {
        std::uint32_t node;
        std::uint32_t edge;  // the next successor's
        std::uint32_t end;
        bool root;  // no successor has lowered the node's number yet
    };
    std::vector<Frame> frames;
    std::vector<std::uint32_t> stack;  // nodes whose search ended, their component not closed
    std::uint32_t discovered = 0;
    std::uint32_t components = 0;
    std::uint32_t closed = 0;
    const auto discover = [&](std::uint32_t v) {
        number[v] = ++discovered;
        frames.push_back({v, g.offset[v], g.offset[v + 1], true});
        const std::uint32_t ahead = std::min(g.offset[v + 1], g.offset[v] + 4);
        for (std::uint32_t e = g.offset[v]; e < ahead; ++e) FWPRUNE_PREFETCH(&number[g.target[e]]);
    };
    const auto close = [&](std::uint32_t v) {
        const std::uint32_t own = number[v];
        std::size_t first = stack.size();
        while (first > 0 && number[stack[first - 1]] >= own) --first;
        const std::size_t count = stack.size() - first + 1;
        number[v] = kClosed | components;
        for (std::size_t i = first; i < stack.size(); ++i) number[stack[i]] = kClosed | components;
        if (count > 1) {
            cyclic[v] = 1;
            for (std::size_t i = first; i < stack.size(); ++i) cyclic[stack[i]] = 1;
        }
        stack.resize(first);
        ++components;
        if ((closed + count) / kReportEvery != closed / kReportEvery) stage(double(closed) / n);
        closed += static_cast<std::uint32_t>(count);
    };
    const auto searchFrom = [&](std::uint32_t root) {
        if (number[root] != 0) return;
        discover(root);
        while (!frames.empty()) {
            Frame& frame = frames.back();
            const std::uint32_t v = frame.node;
            if (frame.edge < frame.end) {
                const std::uint32_t w = g.target[frame.edge++];
                if (number[w] == 0) {
                    discover(w);
                } else if (number[w] < number[v]) {
                    number[v] = number[w];
                    frame.root = false;
                }
                continue;
            }
            const bool isRoot = frame.root;
            frames.pop_back();
            if (isRoot) {
                close(v);
            } else {
                stack.push_back(v);
            }
            if (!frames.empty() && number[v] < number[frames.back().node]) {
                number[frames.back().node] = number[v];
                frames.back().root = false;
            }
        }
    };
    for (const std::uint32_t root : sourcesOf(g)) searchFrom(root);
    for (std::uint32_t root = 0; root < n; ++root) searchFrom(root);
    for (std::uint32_t x = 0; x < n; ++x) rank[x] = components - 1 - (number[x] & ~kClosed);
    return components;
}

// g's rows reordered so that a depth-first search enters the successors with the most
// successors first (ties in ascending number): the one entered last ends up right after its
// parent in the rank, and leaves are entered last. Rows are sorted apart, on the threads, each by
// keys that hold a successor's degree (inverted, so that more sorts first) above its number: one
// read of a degree a successor, not two a comparison.
void orderForSearch(Csr& g, ThreadPool& pool) {
    inParallel(pool, g.nodes(), [&g](std::uint32_t begin, std::uint32_t end, int) {
        std::vector<std::uint64_t> keys;
        for (std::uint32_t x = begin; x < end; ++x) {
            const std::uint32_t first = g.offset[x], last = g.offset[x + 1];
            if (last - first < 2) continue;
            keys.clear();
            for (std::uint32_t e = first; e < last; ++e) {
                const std::uint32_t t = g.target[e];
                const std::uint32_t degree = g.offset[t + 1] - g.offset[t];
                keys.push_back(std::uint64_t{~degree} << 32 | t);
            }
            if (keys.size() > 16) {
                std::sort(keys.begin(), keys.end());
            } else {
                // Most rows are a few successors: sorted in place without a call.
                for (std::size_t i = 1; i < keys.size(); ++i) {
                    const std::uint64_t key = keys[i];
                    std::size_t j = i;
                    for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
                    keys[j] = key;
                }
            }
            for (std::uint32_t e = first; e < last; ++e)
                g.target[e] = static_cast<std::uint32_t>(keys[e - first]);
        }
    });
}

// The condensation's edges between ranks, rows ascending, without repeats and without edges
// inside a component; rank[x] is the rank of x's component, and cyclic[x] marks x when it may
// share it (a component of two or more, or a self-loop).
//
// A row has room for its component's edges and is filled but for those inside the component: a
// large component's own edges, most of a cyclic graph's, are never written or sorted. Each thread
// takes a range of nodes in order. A node off every cycle is its component alone, and its thread
// fills its row; one that may share its row lists its edges leaving the component apart, and those
// join their rows after. The rows are then sorted and rid of repeats, and closed up, on the
// threads.
Csr rankedGraph(const Csr& g, const Array<std::uint32_t>& rank, std::uint32_t ranks,
                const Array<std::uint8_t>& cyclic, ThreadPool& pool, const Stage& stage) {
    const std::uint32_t n = g.nodes();
    Array<std::uint32_t> room = filledArray<std::uint32_t>(std::size_t{ranks} + 1, 0, pool);
    for (std::uint32_t x = 0; x < n; ++x) room[rank[x] + 1] += g.offset[x + 1] - g.offset[x];
    sumLengths(room);
    Array<std::uint32_t> rows = unsetArray<std::uint32_t>(g.target.size());
    Array<std::uint32_t> fill = unsetArray<std::uint32_t>(ranks);  // where each row's edges end
    inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int) {
        std::copy(room.begin() + begin, room.begin() + end, fill.begin() + begin);
    });
    std::vector<std::vector<std::uint64_t>> shared(static_cast<std::size_t>(pool.size()));
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        auto& apart = shared[static_cast<std::size_t>(worker)];
        for (std::uint32_t x = begin; x < end; ++x) {
            const std::uint32_t a = rank[x];
            if (cyclic[x]) {
                for (std::uint32_t e = g.offset[x]; e < g.offset[x + 1]; ++e) {
                    const std::uint32_t b = rank[g.target[e]];
                    if (b != a) apart.push_back(std::uint64_t{a} << 32 | b);
                }
                continue;
            }
            std::uint32_t at = room[a];
            for (std::uint32_t e = g.offset[x]; e < g.offset[x + 1]; ++e)
                rows[at++] = rank[g.target[e]];
            fill[a] = at;
            if (worker == 0 && (x - begin) % kReportEvery == 0)
                stage(0.5 * (x - begin) / (end - begin));
        }
    });
    for (const auto& apart : shared) {
        for (const std::uint64_t edge : apart) {
            const auto a = static_cast<std::uint32_t>(edge >> 32);
            rows[fill[a]++] = static_cast<std::uint32_t>(edge);
        }
    }
    // Each row sorted and rid of repeats in place, its length left in fill; then closed up.
    inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int) {
        for (std::uint32_t a = begin; a < end; ++a) {
            const auto first = rows.begin() + room[a];
            std::sort(first, rows.begin() + fill[a]);
            fill[a] =
                static_cast<std::uint32_t>(std::unique(first, rows.begin() + fill[a]) - first);
        }
    });
    Csr r;
    r.offset = unsetArray<std::uint32_t>(std::size_t{ranks} + 1);
    r.offset[0] = 0;
    for (std::uint32_t a = 0; a < ranks; ++a) r.offset[a + 1] = r.offset[a] + fill[a];
    r.target = unsetArray<std::uint32_t>(r.offset[ranks]);
    inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int) {
        for (std::uint32_t a = begin; a < end; ++a)
            std::copy_n(rows.begin() + room[a], fill[a], r.target.begin() + r.offset[a]);
    });
    stage(1);
    return r;
}

// Of each node x of a DAG whose every edge goes up: its last predecessor, the highest node with
// an edge to x (0 when none), and its span: x, grown over x's successors s in ascending order
// while s <= span + 1, to s's span. The plan and the main pass both need them.
struct Spans {
    Array<std::uint32_t> lastPredecessor;
    Array<std::uint32_t> span;
};

Spans spansOf(const Csr& g, ThreadPool& pool) {
    const std::uint32_t n = g.nodes();
    Spans s;
    s.lastPredecessor = filledArray<std::uint32_t>(n, 0, pool);
    forEachEdgeByTarget(g, pool,
                        [&](std::uint32_t a, std::uint32_t v) { s.lastPredecessor[v] = a; });
    s.span = filledArray<std::uint32_t>(n, 0, pool);
    for (std::uint32_t a = n; a-- > 0;) {
        s.span[a] = a;
        for (std::uint32_t e = g.offset[a]; e < g.offset[a + 1]; ++e)
            if (g.target[e] <= s.span[a] + 1) s.span[a] = std::max(s.span[a], s.span[g.target[e]]);
    }
    return s;
}

// The last predecessor of each target of an edge longer than a window, the only nodes the main
// pass asks it of. When such edges are few (a history's merges of long branches), the targets are
// marked in a bitmap, and a count of the marks before each word of it places their last
// predecessors in a short list: a fraction of a byte a node, where an array of every node's takes
// four, and as many fresh pages to map.
class LongTargets {
  public:
    LongTargets() = default;

    // Of g's edges longer than window (g's edges go up); every node's last predecessor, when given,
    // is taken over, and released when the list is kept instead.
    LongTargets(const Csr& g, std::uint32_t window, Array<std::uint32_t>&& lastPredecessor,
                ThreadPool& pool) {
        const std::uint32_t n = g.nodes();
        // Each thread counts, then lists, the targets of the long edges of a range of sources (a
        // row's long edges are its last).
        std::vector<std::vector<std::uint32_t>> found(static_cast<std::size_t>(pool.size()));
        std::vector<std::size_t> counted(found.size(), 0);
        inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            std::size_t count = 0;
            for (std::uint32_t u = begin; u < end; ++u) {
                for (std::uint32_t e = g.offset[u + 1];
                     e-- > g.offset[u] && g.target[e] - u > window;)
                    ++count;
            }
            counted[static_cast<std::size_t>(worker)] = count;
        });
        std::size_t longEdges = 0;
        for (const std::size_t c : counted) longEdges += c;
        if (longEdges > n / kListAtMost) {
            every_ = std::move(lastPredecessor);
            if (every_.empty()) {
                every_ = filledArray<std::uint32_t>(n, 0, pool);
                // Edges come in ascending order of source: the last one into v is from its last
                // predecessor.
                forEachEdgeByTarget(g, pool,
                                    [&](std::uint32_t a, std::uint32_t v) { every_[v] = a; });
            }
            return;
        }
        inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            std::vector<std::uint32_t>& mine = found[static_cast<std::size_t>(worker)];
            mine.reserve(counted[static_cast<std::size_t>(worker)]);
            for (std::uint32_t u = begin; u < end; ++u) {
                for (std::uint32_t e = g.offset[u + 1];
                     e-- > g.offset[u] && g.target[e] - u > window;)
                    mine.push_back(g.target[e]);
            }
        });
        marked_.assign((std::size_t{n} + kWordBits - 1) / kWordBits, 0);
        for (const std::vector<std::uint32_t>& targets : found) {
            for (const std::uint32_t v : targets)
                marked_[v / kWordBits] |= Word{1} << (v % kWordBits);
        }
        found = {};
        before_.resize(marked_.size());
        std::uint32_t marks = 0;
        for (std::size_t w = 0; w < marked_.size(); ++w) {
            before_[w] = marks;
            marks += static_cast<std::uint32_t>(__builtin_popcountll(marked_[w]));
        }
        last_.assign(marks, 0);
        if (!lastPredecessor.empty()) {
            for (std::size_t w = 0; w < marked_.size(); ++w) {
                forEachSetBit(marked_[w], static_cast<std::int64_t>(w * kWordBits),
                              [&](std::int64_t v) {
                                  last_[place(static_cast<std::uint32_t>(v))] =
                                      lastPredecessor[static_cast<std::size_t>(v)];
                              });
            }
            release(lastPredecessor);
            return;
        }
        forEachEdgeByTarget(g, pool, [&](std::uint32_t a, std::uint32_t v) {
            if (isMarked(v)) last_[place(v)] = a;
        });
    }

    // v's last predecessor: the highest node with an edge to v. v is the target of a long edge.
    std::uint32_t of(std::uint32_t v) const { return every_.empty() ? last_[place(v)] : every_[v]; }

  private:
    // Past one long edge in this many nodes, every node's last predecessor is kept.
    static constexpr std::uint32_t kListAtMost = 8;

    bool isMarked(std::uint32_t v) const {
        return (marked_[v / kWordBits] >> (v % kWordBits)) & 1u;
    }
    std::uint32_t place(std::uint32_t v) const {
        const Word below = (Word{1} << (v % kWordBits)) - 1;
        return before_[v / kWordBits] +
               static_cast<std::uint32_t>(__builtin_popcountll(marked_[v / kWordBits] & below));
    }

    Array<std::uint32_t> every_;
    std::vector<Word> marked_;
    std::vector<std::uint32_t> before_;  // marks before each word of marked_
    std::vector<std::uint32_t> last_;
};

// The reduction of a DAG whose every edge goes from a lower node to a higher one: redundant[e]
// for each edge e of g.
class RankedReduction {
  public:
    // Past this many edges that neither a span nor a last predecessor answers, a node's edges
    // share one search.
    static constexpr std::uint32_t kSearchesPerNode = 8;

    // spans, when not empty, are g's (see spansOf). With always (tests), the rows are made in
    // blocks on the pool's threads whenever it has more than one, however small the blocks.
    RankedReduction(const Csr& g, std::uint32_t words, Spans&& spans, ThreadPool& pool,
                    const Stage& stage, bool always = false)
        : g_(g) {
        const std::uint32_t n = g.nodes();
        words_ = words;
        window_ = words_ * kWordBits;
        // Spans and last predecessors answer edges longer than the window; without such
        // edges they are not kept at all. (Made before the rows, whose pages may then be those
        // an array of every node's last predecessor gave back.)
        for (std::uint32_t u = 0; u < n && !longEdges_; ++u)
            longEdges_ =
                g.offset[u + 1] > g.offset[u] && g.target[g.offset[u + 1] - 1] - u > window_;
        const bool spansGiven = !spans.span.empty();
        if (longEdges_) {
            span_ = spansGiven ? std::move(spans.span) : filledArray<std::uint32_t>(n, 0, pool);
            lastPredecessor_ = LongTargets(g, window_, std::move(spans.lastPredecessor), pool);
        }
        rows_ = filledArray<Word>(std::size_t{n} * words_, 0, pool);
        redundant_ = filledArray<std::uint8_t>(g.target.size(), 0, pool);

        // Told by the edges of the nodes done: a node's work follows its out-degree more than
        // anything else known up front.
        const std::uint32_t reportEvery = std::clamp<std::uint32_t>(n / 64, 4096, kReportEvery);
        const auto report = [&](std::uint32_t u, std::uint32_t begin, std::uint32_t end,
                                double from, double to) {
            if (u % reportEvery != 0) return;
            const double edges = std::max<double>(g.offset[end] - g.offset[begin], 1);
            stage(from + (to - from) * (g.offset[end] - g.offset[u]) / edges);
        };
        std::vector<Word> reach(words_);
        std::vector<std::uint32_t> open;
        // Blocks pay when the spans are given or not needed: made here, from the top down on
        // one thread, they would take a pass of their own, which costs what the blocks save.
        const auto blocks = static_cast<std::uint32_t>(
            always ? std::min<std::uint64_t>(pool.size(), n)
            : longEdges_ && !spansGiven
                ? 1
                : std::min<std::uint64_t>(pool.size(),
                                          n / (std::uint64_t{kBlockWindows} * window_)));
        if (blocks < 2) {
            for (std::uint32_t u = n; u-- > 0;) {
                shortEdges(u, n, reach.data());
                if (longEdges_) answerLongEdges(u, open);
                report(u, 0, n, 0, 1);
            }
            return;
        }
        // In blocks of ranks, on the threads, each from its top down. A node's row is built from
        // the rows of its successors within the window, so within a block, only nodes within the
        // window of its top (its seam) need rows of the block above: the threads build the seams'
        // rows without the nodes above their block, which leaves them missing those bits only, and
        // the rows below exact. The seams are then made again, from the top block's down.
        const auto blockBegin = [&](std::uint32_t b) {
            return static_cast<std::uint32_t>(std::uint64_t{n} * b / blocks);
        };
        pool.parallelFor(0, blocks, [&](std::int64_t first, std::int64_t past, int worker) {
            std::vector<Word> mine(words_);
            for (auto b = static_cast<std::uint32_t>(first); b < past; ++b) {
                const std::uint32_t begin = blockBegin(b);
                const std::uint32_t end = blockBegin(b + 1);
                for (std::uint32_t u = end; u-- > begin;) {
                    shortEdges(u, end, mine.data());
                    if (worker == 0) report(u, begin, end, 0, longEdges_ ? 0.6 : 0.9);
                }
            }
        });
        for (std::uint32_t b = blocks - 1; b-- > 0;) {
            const std::uint32_t begin = blockBegin(b);
            const std::uint32_t end = blockBegin(b + 1);
            for (std::uint32_t u = end; u-- > std::max(begin, end - std::min(end, window_));)
                shortEdges(u, n, reach.data());
        }
        // The long edges, from the top down: a node's span follows from its successors'.
        // (Given the spans, only nodes with such edges are left to answer.)
        for (std::uint32_t u = n; longEdges_ && u-- > 0;) {
            const std::uint32_t last = g.offset[u + 1];
            if (spansGiven && (last == g.offset[u] || g.target[last - 1] - u <= window_)) continue;
            answerLongEdges(u, open);
            report(u, 0, n, 0.6, 1);
        }
        stage(1);
    }

    Array<std::uint8_t> take() { return std::move(redundant_); }

  private:
    // Blocks of ranks on the threads hold at least this many windows each.
    static constexpr std::uint32_t kBlockWindows = 8;

    // u's edges within the window, to nodes below top: whether each is bypassed, and u's row,
    // made in reach. Successors in ascending rank: one already reached through a lower one is
    // a bypassed edge, and its row adds nothing, so only kept edges cost a pass.
    void shortEdges(std::uint32_t u, std::uint32_t top, Word* reach) {
        std::fill(reach, reach + words_, 0);
        for (std::uint32_t e = g_.offset[u]; e < g_.offset[u + 1]; ++e) {
            const std::uint32_t v = g_.target[e];
            if (v - u > window_ || v >= top) break;
            const std::uint32_t bit = v - u - 1;
            Word& word = reach[bit / kWordBits];
            const Word mask = Word{1} << (bit % kWordBits);
            redundant_[e] = (word & mask) != 0;
            if (redundant_[e]) continue;
            orShifted(reach, row(v), words_, v - u);
            word |= mask;
        }
        std::copy(reach, reach + words_, row(u));
    }

    // u's edges longer than the window, once the rows and the spans of the nodes above u are
    // made, and u's span. open holds the edges that neither a lower successor's span nor a last
    // predecessor answers.
    void answerLongEdges(std::uint32_t u, std::vector<std::uint32_t>& open) {
        std::uint32_t spanned = u;  // the lower successors' spans reach this far
        std::uint32_t span = u;     // u's own span
        open.clear();
        for (std::uint32_t e = g_.offset[u]; e < g_.offset[u + 1]; ++e) {
            const std::uint32_t v = g_.target[e];
            if (v - u > window_) {
                if (spanned >= v)
                    redundant_[e] = 1;
                else if (lastPredecessor_.of(v) != u)
                    open.push_back(e);
            }
            if (v <= span + 1) span = std::max(span, span_[v]);
            spanned = std::max(spanned, span_[v]);
        }
        if (open.size() > kSearchesPerNode)
            markReachedFromAll(u, open);
        else
            for (const std::uint32_t e : open) redundant_[e] = reachedFrom(u, e);
        span_[u] = span;
    }

    Word* row(std::uint32_t u) { return rows_.data() + std::size_t{u} * words_; }

    // Many long edges of u: one search marks every node up to the farthest target that a walk
    // of one or more edges reaches from u's successors, entering no node above the targets' last
    // predecessors; an edge is bypassed iff that search reached its target. One search instead
    // of one per edge keeps a hub with thousands of long edges linear in what it reaches.
    void markReachedFromAll(std::uint32_t u, const std::vector<std::uint32_t>& edges) {
        const std::uint32_t farthest = g_.target[edges.back()];
        std::uint32_t limit = 0;
        for (const std::uint32_t e : edges)
            limit = std::max(limit, lastPredecessor_.of(g_.target[e]));
        newSearch();
        stack_.clear();
        const auto visitChildren = [&](std::uint32_t x) {
            for (std::uint32_t f = g_.offset[x]; f < g_.offset[x + 1]; ++f) {
                const std::uint32_t y = g_.target[f];
                if (y > farthest) break;
                if (!seen(y)) {
                    see(y);
                    if (y <= limit) stack_.push_back(y);
                }
            }
        };
        for (std::uint32_t f = g_.offset[u]; f < g_.offset[u + 1]; ++f) {
            const std::uint32_t x = g_.target[f];
            if (x > limit) break;
            visitChildren(x);
        }
        while (!stack_.empty()) {
            const std::uint32_t x = stack_.back();
            stack_.pop_back();
            visitChildren(x);
        }
        for (const std::uint32_t e : edges) redundant_[e] = seen(g_.target[e]);
    }

    // A new search: the marks of the last one are cleared node by node, so a search costs what
    // it visits, and the marks take one bit a node.
    void newSearch() {
        if (seen_.empty()) seen_.assign((g_.nodes() + kWordBits - 1) / kWordBits, 0);
        for (const std::uint32_t x : visited_) seen_[x / kWordBits] = 0;
        visited_.clear();
    }
    bool seen(std::uint32_t x) const { return (seen_[x / kWordBits] >> (x % kWordBits)) & 1u; }
    void see(std::uint32_t x) {
        seen_[x / kWordBits] |= Word{1} << (x % kWordBits);
        visited_.push_back(x);
    }

    // Whether edge e = (u, v), longer than the window, is bypassed: a search from u's other
    // successors, all ranked below v (the successors are sorted), through nodes that can reach
    // v: none ranked above v's last predecessor. A node whose span covers v, or within the
    // window of v, answers at once.
    bool reachedFrom(std::uint32_t u, std::uint32_t e) {
        const std::uint32_t v = g_.target[e];
        const std::uint32_t limit = lastPredecessor_.of(v);
        newSearch();
        stack_.clear();
        for (std::uint32_t f = g_.offset[u]; f < e && g_.target[f] <= limit; ++f) {
            see(g_.target[f]);
            stack_.push_back(g_.target[f]);
        }
        while (!stack_.empty()) {
            const std::uint32_t x = stack_.back();
            stack_.pop_back();
            if (span_[x] >= v) return true;
            if (v - x <= window_) {
                const std::uint32_t bit = v - x - 1;
                if ((row(x)[bit / kWordBits] >> (bit % kWordBits)) & 1u) return true;
                continue;
            }
            for (std::uint32_t f = g_.offset[x]; f < g_.offset[x + 1]; ++f) {
                const std::uint32_t y = g_.target[f];
                if (y > limit) {
                    // Only v itself may follow among x's successors that matter.
                    if (std::binary_search(g_.target.begin() + f,
                                           g_.target.begin() + g_.offset[x + 1], v))
                        return true;
                    break;
                }
                if (!seen(y)) {
                    see(y);
                    stack_.push_back(y);
                }
            }
        }
        return false;
    }

    const Csr& g_;
    bool longEdges_ = false;
    std::uint32_t words_ = 1;
    std::uint32_t window_ = 64;
    Array<Word> rows_;
    Array<std::uint8_t> redundant_;
    Array<std::uint32_t> span_;
    LongTargets lastPredecessor_;         // of the targets of long edges
    std::vector<Word> seen_;              // marks of the current search, allocated by the first
    std::vector<std::uint32_t> visited_;  // the nodes it marked
    std::vector<std::uint32_t> stack_;
};

// The input's own order is kept as the rank when its edges go one way and the window plan for it
// costs at most this many word operations an edge; a search's order is rarely better than that.
constexpr std::uint64_t kInputOrderCost = 4;

// Past this many word operations an edge in Kahn's order, the depth-first rank is tried as well.
constexpr std::uint64_t kSearchAfterLayersCost = 32;

// Edges of a graph that goes one way but for a few edges, answered apart from the rest (see
// answerApart).
struct Apart {
    std::vector<std::uint32_t> edges;  // their places in the rows, ascending
    std::vector<std::uint64_t> kept;   // those that survive, source << 32 | target, ascending
};

// Marks answerApart leaves in the predecessor counts, whose two low bits hold the count.
constexpr std::uint8_t kCountBits = 3;
constexpr std::uint8_t kApartSource = 4;
constexpr std::uint8_t kApartSink = 8;

// At most this many edges against the rest, or set apart, of a graph of m edges.
std::size_t apartAtMost(std::size_t m) {
    return m / 64 + 1024;
}

// A graph whose edges all go one way but a few ("exceptions"), each of which leaves a node without
// predecessors or enters a node without successors. A version history numbered by first
// appearance is one: its file names each commit before its parents, oldest first, so every edge
// goes down to an older commit except the first, from the first commit named to the root named
// after it.
//
// Call the way most edges go up (toward lower numbers when `down`). A source or a sink is no
// inner node of any walk, so a walk of two or more edges uses an exception only as its first edge
// (leaving a source) or its last (entering a sink). Set apart every edge that leaves a source with
// an exception or enters a sink with one. A walk between the ends of any other edge (u, v) holds
// none of them: such an edge would make that source u, or that sink v. So every other edge keeps
// its answer in the rest of the graph, whose edges all go up: the input's own order ranks it.
// There is no cycle: one would need an exception, and neither end of one lies on a cycle.
//
// An apart edge (u, v) is bypassed iff a walk of one or more edges leads to v from another
// successor w of u (v cannot reach itself). Every node of that walk before v has a predecessor
// (w has u) and a successor, so it is neither a source nor a sink, and every edge of the walk
// goes up except perhaps the last, an exception entering v (a sink: nothing follows it). So no
// node of the walk lies above limit(v), the higher of v and v's exception predecessors. One search
// from u's successors through nodes no higher than the highest limit of u's apart targets marks
// exactly the targets so reached; a source with one successor keeps its edge without one.
//
// Returns false, leaving only marks in predecessors (counts up to 2 of each node's predecessors),
// when g is not such a graph or the searches would visit more edges than a fraction of g's.
bool answerApart(const Csr& g, bool down, Array<std::uint8_t>& predecessors,
                 const Array<std::uint8_t>& cyclic, ThreadPool& pool, Apart& apart) {
    const std::uint32_t n = g.nodes();
    const std::size_t m = g.target.size();
    const std::size_t atMost = apartAtMost(m);
    const auto level = [down, n](std::uint32_t x) { return down ? n - 1 - x : x; };
    const auto hasSuccessors = [&g](std::uint32_t x) { return g.offset[x + 1] > g.offset[x]; };
    struct Part {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> exceptions;
        bool fits = true;
    };
    std::vector<Part> parts(static_cast<std::size_t>(pool.size()));
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        Part& p = parts[static_cast<std::size_t>(worker)];
        for (std::uint32_t s = begin; s < end && p.fits; ++s) {
            for (std::uint32_t e = g.offset[s]; e < g.offset[s + 1]; ++e) {
                const std::uint32_t t = g.target[e];
                if (level(s) < level(t)) continue;
                p.exceptions.emplace_back(s, t);
                p.fits = p.exceptions.size() <= atMost &&
                         ((predecessors[s] & kCountBits) == 0 || !hasSuccessors(t));
                if (!p.fits) break;
            }
        }
    });
    std::vector<std::pair<std::uint32_t, std::uint32_t>> exceptions;
    for (const Part& p : parts) {
        if (!p.fits) return false;
        exceptions.insert(exceptions.end(), p.exceptions.begin(), p.exceptions.end());
    }
    if (exceptions.size() > atMost) return false;
    // limits: (sink, limit) of the sinks set apart, ascending.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> limits;
    for (const auto& [s, t] : exceptions) {
        if ((predecessors[s] & kCountBits) == 0) {
            predecessors[s] |= kApartSource;
        } else {
            predecessors[t] |= kApartSink;
            limits.emplace_back(t, std::max(level(t), level(s)));
        }
    }
    std::sort(limits.begin(), limits.end());
    const auto limitOf = [&](std::uint32_t v) {
        if (!(predecessors[v] & kApartSink)) return level(v);
        const auto at = std::lower_bound(limits.begin(), limits.end(), std::make_pair(v, 0u));
        std::uint32_t limit = at->second;
        for (auto i = at; i != limits.end() && i->first == v; ++i)
            limit = std::max(limit, i->second);
        return limit;
    };

    // The apart edges' places, each thread taking its sources' in ascending order.
    std::vector<std::vector<std::uint32_t>> placesOf(static_cast<std::size_t>(pool.size()));
    inParallel(pool, n, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        std::vector<std::uint32_t>& places = placesOf[static_cast<std::size_t>(worker)];
        for (std::uint32_t s = begin; s < end && places.size() <= atMost; ++s) {
            const bool source = predecessors[s] & kApartSource;
            for (std::uint32_t e = g.offset[s]; e < g.offset[s + 1]; ++e)
                if (source || (predecessors[g.target[e]] & kApartSink)) places.push_back(e);
        }
    });
    for (const std::vector<std::uint32_t>& places : placesOf) {
        apart.edges.insert(apart.edges.end(), places.begin(), places.end());
        if (apart.edges.size() > atMost) return false;
    }

    // The searches, one a source of apart edges, within a budget of edge visits.
    std::size_t budget = m / 8 + 65536;
    std::vector<Word> seen;
    std::vector<std::uint32_t> visited;
    std::vector<std::uint32_t> stack;
    for (std::size_t i = 0; i < apart.edges.size();) {
        const std::uint32_t first = apart.edges[i];
        const auto u = static_cast<std::uint32_t>(
            std::upper_bound(g.offset.begin(), g.offset.end(), first) - g.offset.begin() - 1);
        std::size_t past = i;
        std::uint32_t limit = 0;
        for (; past < apart.edges.size() && apart.edges[past] < g.offset[u + 1]; ++past)
            limit = std::max(limit, limitOf(g.target[apart.edges[past]]));
        const bool search = g.offset[u + 1] - g.offset[u] > 1;
        if (search) {
            if (seen.empty()) seen.assign((std::size_t{n} + kWordBits - 1) / kWordBits, 0);
            for (const std::uint32_t x : visited) seen[x / kWordBits] = 0;
            visited.clear();
            const auto visitChildren = [&](std::uint32_t x) {
                budget -= std::min<std::size_t>(budget, g.offset[x + 1] - g.offset[x]);
                for (std::uint32_t f = g.offset[x]; f < g.offset[x + 1]; ++f) {
                    const std::uint32_t y = g.target[f];
                    if (level(y) > limit || testBit(seen.data(), y)) continue;
                    setBit(seen.data(), y);
                    visited.push_back(y);
                    stack.push_back(y);
                }
            };
            for (std::uint32_t f = g.offset[u]; f < g.offset[u + 1]; ++f)
                if (level(g.target[f]) <= limit) visitChildren(g.target[f]);
            while (!stack.empty() && budget > 0) {
                const std::uint32_t x = stack.back();
                stack.pop_back();
                visitChildren(x);
            }
            if (budget == 0) return false;
        }
        for (; i < past; ++i) {
            const std::uint32_t v = g.target[apart.edges[i]];
            if (!cyclic[u] && !cyclic[v] && !(search && testBit(seen.data(), v)))
                apart.kept.push_back(std::uint64_t{u} << 32 | v);
        }
    }
    return true;
}

// Nodes [begin, end) of a graph, whose edges against the rest number `against`.
struct AgainstIn {
    std::uint32_t begin;
    std::uint32_t end;
    std::size_t against;
};

// Whether a search proves a cycle in g, whose edges all go one way (up, as in answerApart) but a
// few: a cycle needs an edge against the rest, (s, t), and a walk back from t to s, which goes up
// from t's level to s's but for other such edges, so the search from t passes no node above s.
// The searches stop past a fraction of g's edges; false then proves nothing. A cycle so proven
// spares two attempts bound to fail: answering the edges against the rest apart, which needs a
// graph without one, and Kahn's order.
bool provesCycle(const Csr& g, bool down, const std::vector<AgainstIn>& parts, ThreadPool& pool) {
    const std::uint32_t n = g.nodes();
    const auto level = [down, n](std::uint32_t x) { return down ? n - 1 - x : x; };
    // Each part's edges against the rest, looked for only until all are found: a history's one
    // such edge leaves the first commit named, so the look ends at once.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> againstOf(parts.size());
    pool.parallelFor(
        0, static_cast<std::int64_t>(parts.size()), [&](std::int64_t lo, std::int64_t hi, int) {
            for (auto k = static_cast<std::size_t>(lo); k < static_cast<std::size_t>(hi); ++k) {
                auto& against = againstOf[k];
                const AgainstIn& part = parts[k];
                for (std::uint32_t s = part.begin; s < part.end && against.size() < part.against;
                     ++s) {
                    for (std::uint32_t e = g.offset[s]; e < g.offset[s + 1]; ++e) {
                        if (level(g.target[e]) < level(s)) against.emplace_back(s, g.target[e]);
                    }
                }
            }
        });
    std::size_t budget = g.target.size() / 8 + 65536;
    std::vector<Word> seen((std::size_t{n} + kWordBits - 1) / kWordBits, 0);
    std::vector<std::uint32_t> visited;
    std::vector<std::uint32_t> stack;
    for (const auto& against : againstOf) {
        for (const auto& [s, t] : against) {
            for (const std::uint32_t x : visited) seen[x / kWordBits] = 0;
            visited.clear();
            stack.assign(1, t);
            setBit(seen.data(), t);
            visited.push_back(t);
            while (!stack.empty()) {
                const std::uint32_t x = stack.back();
                stack.pop_back();
                if (budget < g.offset[x + 1] - g.offset[x]) return false;
                budget -= g.offset[x + 1] - g.offset[x];
                for (std::uint32_t f = g.offset[x]; f < g.offset[x + 1]; ++f) {
                    const std::uint32_t y = g.target[f];
                    if (y == s) return true;
                    if (level(y) > level(s) || testBit(seen.data(), y)) continue;
                    setBit(seen.data(), y);
                    visited.push_back(y);
                    stack.push_back(y);
                }
            }
        }
    }
    return false;
}

// Removes the edges at places (ascending) from g's rows.
void removeEdges(Csr& g, const std::vector<std::uint32_t>& places, ThreadPool& pool) {
    if (places.empty()) return;
    auto write = g.target.begin() + places[0];
    for (std::size_t k = 0; k < places.size(); ++k) {
        const std::size_t next = k + 1 < places.size() ? places[k + 1] : g.target.size();
        write = std::copy(g.target.begin() + places[k] + 1, g.target.begin() + next, write);
    }
    g.target.resize(g.target.size() - places.size());
    // Each row starts earlier by the removed places before it: the rows after the first place's.
    const auto first = static_cast<std::size_t>(
        std::upper_bound(g.offset.begin(), g.offset.end(), places[0]) - g.offset.begin());
    inParallel(pool, g.offset.size() - first, [&](std::size_t begin, std::size_t end, int) {
        auto k = static_cast<std::size_t>(
            std::lower_bound(places.begin(), places.end(), g.offset[first + begin]) -
            places.begin());
        for (std::size_t x = first + begin; x < first + end; ++x) {
            while (k < places.size() && places[k] < g.offset[x]) ++k;
            g.offset[x] -= static_cast<std::uint32_t>(k);
        }
    });
}

// Keys (source << bits | target) written by the pool's threads straight into buckets of their
// sources' top bits, as sortInBuckets places keys (without its pass over the keys, and its copy of
// them), then each bucket sorted apart: for passes that can count their keys by source before
// they write them. Each part (a thread's range of sources) counts its keys by source (add), then
// writes them (next). Uneven buckets (a hub's edges) are sorted all the same, each in one piece.
class KeyBuckets {
  public:
    // For about `keys` keys in all.
    KeyBuckets(int bits, std::size_t keys, std::size_t parts)
        : bits_(bits),
          bucketBits_(std::min(bucketBitsFor(keys), bits)),
          buckets_(std::size_t{1} << bucketBits_),
          shift_(bits - bucketBits_),
          parts_(parts),
          at_(parts * buckets_, 0),
          first_(buckets_ + 1, 0) {}

    void add(std::size_t part, std::uint32_t source, std::size_t keys) {
        at_[part * buckets_ + (source >> shift_)] += keys;
    }

    // Sizes keys for the keys counted, and places each part's first key of each bucket.
    void open(std::vector<std::uint64_t>& keys) {
        for (std::size_t b = 0; b < buckets_; ++b) {
            std::size_t next = first_[b];
            for (std::size_t p = 0; p < parts_; ++p)
                next += std::exchange(at_[p * buckets_ + b], next);
            first_[b + 1] = next;
        }
        reserveHugePages(keys, first_[buckets_]);
        keys.resize(first_[buckets_]);
    }

    // Where part's next key of source goes.
    std::size_t& next(std::size_t part, std::uint32_t source) {
        return at_[part * buckets_ + (source >> shift_)];
    }

    // Sorts each bucket, low as sortBucket's.
    void sort(std::vector<std::uint64_t>& keys, int low, ThreadPool& pool) const {
        const int restBits = 2 * bits_ - bucketBits_;
        inParallel(pool, buckets_, [&](std::size_t begin, std::size_t end, int) {
            // Room for the largest of this thread's buckets (a hub's may be most of the keys).
            std::size_t largest = 0;
            for (std::size_t b = begin; b < end; ++b)
                largest = std::max(largest, first_[b + 1] - first_[b]);
            std::vector<std::uint64_t> spare(largest);
            std::vector<std::uint32_t> counts;
            for (std::size_t b = begin; b < end; ++b) {
                std::uint64_t* const bucket = keys.data() + first_[b];
                const std::size_t size = first_[b + 1] - first_[b];
                const std::uint64_t* const sorted =
                    sortBucket(bucket, spare.data(), size, restBits, low, counts);
                if (sorted != bucket) std::copy(sorted, sorted + size, bucket);
            }
        });
    }

  private:
    int bits_;
    int bucketBits_;
    std::size_t buckets_;
    int shift_;
    std::size_t parts_;
    std::vector<std::size_t> at_;     // part p's count of keys in bucket b, then where its next
                                      // one goes: at_[p * buckets_ + b]
    std::vector<std::size_t> first_;  // of each bucket
};

// The kept edges of a ranked graph whose ranks do not follow the node numbers, as keys (source
// << bits | target) in the nodes' numbers: member[a] is the node of rank a, kNone when it lies on
// a cycle (no rank's node does when everyRank). Placing each rank's edges at its source's place
// would write all over the result; instead each thread writes the kept edges of a range of ranks
// into buckets (KeyBuckets), which are then sorted.
void keptByRank(const Csr& ranked, const Array<std::uint8_t>& redundant,
                const Array<std::uint32_t>& member, bool everyRank, ThreadPool& pool,
                std::vector<std::uint64_t>& kept, int bits) {
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    const std::uint32_t ranks = ranked.nodes();
    const auto forEachKept = [&](std::uint32_t a, auto&& visit) {
        for (std::uint32_t e = ranked.offset[a]; e < ranked.offset[a + 1]; ++e) {
            if (redundant[e]) continue;
            const std::uint32_t t = member[ranked.target[e]];
            if (t != kNone) visit(t);
        }
    };
    KeyBuckets buckets(bits, ranked.target.size(), static_cast<std::size_t>(pool.size()));
    inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        for (std::uint32_t a = begin; a < end; ++a) {
            if (member[a] == kNone) continue;
            std::size_t count = 0;
            if (everyRank) {
                for (std::uint32_t e = ranked.offset[a]; e < ranked.offset[a + 1]; ++e)
                    count += !redundant[e];
            } else {
                if (a + 16 < end) {
                    for (std::uint32_t e = ranked.offset[a + 16]; e < ranked.offset[a + 17]; ++e)
                        FWPRUNE_PREFETCH(&member[ranked.target[e]]);
                }
                forEachKept(a, [&count](std::uint32_t) { ++count; });
            }
            buckets.add(static_cast<std::size_t>(worker), member[a], count);
        }
    });
    buckets.open(kept);
    inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        for (std::uint32_t a = begin; a < end; ++a) {
            if (a + 16 < end) {
                const std::uint32_t next = ranked.offset[a + 16];
                const std::uint32_t past = std::min(ranked.offset[a + 17], next + 4);
                for (std::uint32_t e = next; e < past; ++e)
                    FWPRUNE_PREFETCH(&member[ranked.target[e]]);
            }
            const std::uint32_t s = member[a];
            if (s == kNone) continue;
            const std::uint64_t source = std::uint64_t{s} << bits;
            std::size_t& write = buckets.next(static_cast<std::size_t>(worker), s);
            forEachKept(a, [&](std::uint32_t t) { kept[write++] = source | t; });
        }
    });
    buckets.sort(kept, kept.size() <= kFewTargets * ranks ? bits : 0, pool);
}

}  // namespace

ReducedEdges reduceEdgeRecords(const std::vector<std::uint64_t>& records, int threads,
                               const ProgressFunction& progress) {
    ThreadPool pool(threads);
    return reduceEdgeRecords(std::vector<std::uint64_t>(records), pool, progress, 0);
}

ReducedEdges reduceEdgeRecords(std::vector<std::uint64_t>&& records, ThreadPool& pool,
                               const ProgressFunction& progress) {
    return reduceEdgeRecords(std::move(records), pool, progress, 0);
}

ReducedEdges reduceEdgeRecords(std::vector<std::uint64_t> records, ThreadPool& pool,
                               const ProgressFunction& progress, std::uint32_t windowWords) {
    ReducedEdges result;
    if (records.empty()) return result;
    // Shares of the progress bar, by what each stage roughly costs.
    Renumbered r = renumber(std::move(records), pool, Stage(progress, 0, 0.08));
    const std::uint32_t nodes = r.nodes;
    const int bits = r.bits;
    // Node numbers 0 .. V-1 without a gap need no table back to themselves.
    const auto originalOf = [&r](std::uint32_t x) {
        return r.original.empty() ? x : static_cast<std::uint32_t>(r.original[x]);
    };
    // From here on the nodes may be numbered as they first appear; was[x] is then the number
    // (in the order of the input's) that x had, and the kept edges are sorted back at the end.
    Array<std::uint32_t> was = numberByFirstAppearance(r.keys, nodes, bits, windowWords != 0, pool,
                                                       Stage(progress, 0.08, 0.1));
    sortUnique(r.keys, nodes, bits, pool, Stage(progress, 0.1, 0.25));
    result.distinct = r.keys.size();
    // A node on a cycle keeps none of its edges; its edges still carry walks between others.
    Array<std::uint8_t> cyclic = filledArray<std::uint8_t>(nodes, 0, pool);
    // From here on the graph's rows hold the sorted edges, self-loops aside; the keys go.
    Csr graph = csrOf(r.keys, nodes, bits, cyclic, pool);
    release(r.keys);
    const std::size_t m = graph.target.size();

    struct Directions {
        std::size_t up = 0;  // edges from a lower number to a higher one
        std::size_t down = 0;
        std::size_t far = 0;      // edges between numbers too far apart to share the caches
        std::uint32_t begin = 0;  // of the sources counted
        std::uint32_t end = 0;
    };
    std::vector<Directions> directionsOf(static_cast<std::size_t>(pool.size()));
    inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int worker) {
        Directions d;
        d.begin = begin;
        d.end = end;
        for (std::uint32_t s = begin; s < end; ++s) {
            for (std::uint32_t e = graph.offset[s]; e < graph.offset[s + 1]; ++e) {
                const std::uint32_t t = graph.target[e];
                d.up += s < t;
                d.down += s > t;
                d.far += (s < t ? t - s : s - t) > kFarApart;
            }
        }
        directionsOf[static_cast<std::size_t>(worker)] = d;
    });
    std::size_t up = 0;
    std::size_t down = 0;
    std::size_t far = 0;
    for (const Directions& d : directionsOf) {
        up += d.up;
        down += d.down;
        far += d.far;
    }
    bool inputOrder = false;
    // Whether the input's order ranks the graph from its last node down: most edges go down.
    const bool turned = down > up;
    Apart apart;  // edges against the rest, and those answered with them
    WindowPlan plan;
    // A cycle proven first spares the attempts that need none: answering the edges against the
    // rest apart, and Kahn's order.
    const auto cycleProven = [&] {
        std::vector<AgainstIn> parts;
        for (const Directions& d : directionsOf)
            parts.push_back({d.begin, d.end, turned ? d.up : d.down});
        return provesCycle(graph, turned, parts, pool);
    };
    const bool cycle =
        std::min(up, down) != 0 && std::min(up, down) <= apartAtMost(m) && cycleProven();
    if (!cycle && std::min(up, down) <= apartAtMost(m)) {
        // An edge to a node with no other predecessor is answered at once however long it is
        // (leaves numbered after everything else), so it counts as short.
        Array<std::uint8_t> predecessors = filledArray<std::uint8_t>(nodes, 0, pool);  // up to 2
        forEachEdgeByTarget(graph, pool, [&](std::uint32_t, std::uint32_t t) {
            predecessors[t] = static_cast<std::uint8_t>(std::min(predecessors[t] + 1, 2));
        });
        if (std::min(up, down) == 0 ||
            answerApart(graph, turned, predecessors, cyclic, pool, apart)) {
            plan = planWindow(
                nodes, m, windowWords, pool,
                [&](std::uint32_t begin, std::uint32_t end, auto&& visit) {
                    for (std::uint32_t s = begin; s < end; ++s) {
                        for (std::uint32_t e = graph.offset[s]; e < graph.offset[s + 1]; ++e) {
                            const std::uint32_t t = graph.target[e];
                            visit((predecessors[t] & kCountBits) < 2 ? 1 : s < t ? t - s : s - t);
                        }
                    }
                });
            inputOrder = plan.cost <= kInputOrderCost * m;
        }
        if (!inputOrder) apart = Apart{};
    }

    // Rank every node of the condensation so that edges go up; rank[x] is the rank of x's
    // component (held only when it is not the input's own order or its reverse), and `ranked`
    // the condensation's edges between ranks.
    Array<std::uint32_t> rank;
    Array<std::uint32_t> order;   // when every node has a rank of its own: the node of each rank
    Array<std::uint32_t> walked;  // empty, or the input's node of each walked number
    std::uint32_t ranks = nodes;
    Csr relabelled;
    Spans spans;         // of the ranked graph, when the plan has them
    bool direct = true;  // ranked edge e is input edge e (or m - 1 - e going down)
    const bool reversed = inputOrder && turned;
    if (inputOrder) {
        // The ranked graph: the input itself when its edges go up. When they all go down, ranks
        // reverse the order: the sorted edges read backwards are already sorted, so the input's
        // rows are turned round in place.
        if (reversed) {
            reverseNumbering(graph, pool);
            // Edge e is now m - 1 - e.
            std::reverse(apart.edges.begin(), apart.edges.end());
            for (std::uint32_t& e : apart.edges) e = static_cast<std::uint32_t>(m - 1 - e);
        }
        // (Turned first, the edges set apart from a history's root are the last ones.)
        removeEdges(graph, apart.edges, pool);
        Stage(progress, 0.25, 0.5)(1);
    } else {
        // The main pass answers a long edge at once when it comes from its target's last
        // predecessor (a tip ranked early, its parent late) or a lower successor's span covers
        // its target (shortcuts along a chain); those count as short. A node's other long edges
        // past the few it searches for one by one share one search: they count as short too.
        // The spans it computes are the main pass's too.
        const auto planOf = [&](const Csr& ranked, Spans& spans) {
            spans = spansOf(ranked, pool);
            const Array<std::uint32_t>& last = spans.lastPredecessor;
            const Array<std::uint32_t>& span = spans.span;
            return planWindow(
                ranks, ranked.target.size(), windowWords, pool,
                [&](std::uint32_t begin, std::uint32_t end, auto&& visit) {
                    for (std::uint32_t a = begin; a < end; ++a) {
                        std::uint32_t spanned = a;
                        std::uint32_t open = 0;
                        for (std::uint32_t e = ranked.offset[a]; e < ranked.offset[a + 1]; ++e) {
                            const std::uint32_t v = ranked.target[e];
                            const bool answered = last[v] == a || spanned >= v ||
                                                  open++ >= RankedReduction::kSearchesPerNode;
                            visit(answered ? 1 : v - a);
                            spanned = std::max(spanned, span[v]);
                        }
                    }
                });
        };
        // (A window held small by the caller, tests, takes the scattered graphs' ways always.)
        const bool scattered = windowWords != 0 || (nodes > kScatteredFrom && far > m / 2);
        if (!cycle &&
            (scattered ? rankByPaths(graph, order, relabelled, pool, Stage(progress, 0.25, 0.45))
                       : rankByLayers(graph, order, pool, Stage(progress, 0.25, 0.38)))) {
            if (relabelled.offset.empty()) {
                relabelled = relabelOneToOne(graph, inverseOf(order, pool), order, pool,
                                             Stage(progress, 0.38, 0.45));
            }
            graph = Csr{};
            plan = planOf(relabelled, spans);
            // (A window held small by the caller, tests, tries it always.)
            if (windowWords != 0 || plan.cost > kSearchAfterLayersCost * m) {
                // Layers that leave many edges long, as many deep, independent parts side by side
                // do: the depth-first rank, which keeps each part together, taken on the layered
                // graph, whose numbering keeps most edges near so that the search's steps mostly
                // hit the caches. The rank whose plan costs less is kept.
                release(spans.lastPredecessor);  // (the main pass makes them anew if need be)
                release(spans.span);
                orderForSearch(relabelled, pool);
                Array<std::uint32_t> again = filledArray<std::uint32_t>(nodes, 0, pool);
                rankBySearch(relabelled, again, Stage(progress, 0.45, 0.48));
                const Array<std::uint32_t> searchOrder = inverseOf(again, pool);
                Csr searched = relabelOneToOne(relabelled, again, searchOrder, pool,
                                               Stage(progress, 0.48, 0.5));
                Spans searchedSpans;
                const WindowPlan searchedPlan = planOf(searched, searchedSpans);
                if (searchedPlan.cost < plan.cost) {
                    spans = std::move(searchedSpans);
                    relabelled = std::move(searched);
                    plan = searchedPlan;
                    Array<std::uint32_t> searchedNodes = unsetArray<std::uint32_t>(nodes);
                    inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int) {
                        for (std::uint32_t b = begin; b < end; ++b)
                            searchedNodes[b] = order[searchOrder[b]];
                    });
                    order = std::move(searchedNodes);
                } else {
                    inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int) {
                        for (std::uint32_t a = begin; a < end; ++a)
                            std::sort(relabelled.target.begin() + relabelled.offset[a],
                                      relabelled.target.begin() + relabelled.offset[a + 1]);
                    });
                }
            }
        } else {
            release(order);
            if (scattered) {
                // walked[k] is the node numbered k.
                {
                    Walked w = renumberAlongWalks(graph, pool, Stage(progress, 0.45, 0.46));
                    walked = std::move(w.order);
                    graph = std::move(w.graph);
                }
                // Self-loops' marks follow their nodes (none to follow is the common case).
                if (std::find(cyclic.begin(), cyclic.end(), 1) != cyclic.end()) {
                    Array<std::uint8_t> cyclicWalked = unsetArray<std::uint8_t>(nodes);
                    inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int) {
                        for (std::uint32_t k = begin; k < end; ++k)
                            cyclicWalked[k] = cyclic[walked[k]];
                    });
                    cyclic = std::move(cyclicWalked);
                }
            }
            // A cycle: the components, ranked in the depth-first order.
            orderForSearch(graph, pool);
            rank = filledArray<std::uint32_t>(nodes, 0, pool);
            ranks = rankByComponents(graph, rank, cyclic, Stage(progress, 0.46, 0.48));
            relabelled = rankedGraph(graph, rank, ranks, cyclic, pool, Stage(progress, 0.48, 0.5));
            plan = planOf(relabelled, spans);
        }
        direct = false;
    }
    // The verdicts of ranked edges that are not the input's own are read back by rank, then
    // placed by source. Only a node off every cycle keeps an edge, and such a node is its
    // component alone: member[a] is the node of rank a when it is such a node, which is all the
    // read back needs of the ranks.
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    Array<std::uint32_t> member;
    bool everyRank = false;  // every rank's node is off every cycle: no member is kNone
    if (!direct) {
        graph = Csr{};
        if (!order.empty()) {
            // (Without a cycle, only self-loops take nodes off; most graphs have none.)
            member = std::move(order);
            everyRank = std::find(cyclic.begin(), cyclic.end(), 1) == cyclic.end();
            if (!everyRank) {
                inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int) {
                    for (std::uint32_t a = begin; a < end; ++a)
                        if (cyclic[member[a]]) member[a] = kNone;
                });
            }
        } else {
            member = filledArray<std::uint32_t>(ranks, kNone, pool);
            // Nodes off every cycle have ranks of their own, so the threads write apart.
            inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int) {
                for (std::uint32_t x = begin; x < end; ++x)
                    if (!cyclic[x]) member[rank[x]] = walked.empty() ? x : walked[x];
            });
        }
        release(rank);
        release(walked);
        release(cyclic);
        if (!was.empty()) {
            inParallel(pool, ranks, [&](std::uint32_t begin, std::uint32_t end, int) {
                for (std::uint32_t a = begin; a < end; ++a)
                    if (member[a] != kNone) member[a] = was[member[a]];
            });
            release(was);
        }
    }
    const Csr& ranked = relabelled.offset.empty() ? graph : relabelled;
    Array<std::uint8_t> redundant =
        RankedReduction(ranked, plan.words, std::move(spans), pool,
                        Stage(progress, 0.5, direct && was.empty() ? 1 : 0.9), windowWords != 0)
            .take();
    std::vector<std::uint64_t>& kept = result.kept;
    if (direct && !was.empty()) {
        // Numbered as they first appear: the kept edges go, as keys in the numbers the nodes had,
        // into buckets (KeyBuckets), each thread taking a range of rows, and the few kept edges
        // answered apart after them.
        const auto nodeOf = [&](std::uint32_t x) { return reversed ? nodes - 1 - x : x; };
        const auto forEachKept = [&](std::uint32_t a, auto&& visit) {
            if (cyclic[nodeOf(a)]) return;
            for (std::uint32_t e = ranked.offset[a]; e < ranked.offset[a + 1]; ++e) {
                const std::uint32_t t = nodeOf(ranked.target[e]);
                if (!cyclic[t] && !redundant[e]) visit(t);
            }
        };
        const auto parts = static_cast<std::size_t>(pool.size());
        KeyBuckets buckets(bits, ranked.target.size(), parts + 1);
        inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            for (std::uint32_t a = begin; a < end; ++a) {
                std::size_t count = 0;
                forEachKept(a, [&count](std::uint32_t) { ++count; });
                if (count > 0) buckets.add(static_cast<std::size_t>(worker), was[nodeOf(a)], count);
            }
        });
        for (const std::uint64_t e : apart.kept) buckets.add(parts, was[e >> 32], 1);
        buckets.open(kept);
        inParallel(pool, nodes, [&](std::uint32_t begin, std::uint32_t end, int worker) {
            for (std::uint32_t a = begin; a < end; ++a) {
                const std::uint32_t s = was[nodeOf(a)];
                std::size_t& write = buckets.next(static_cast<std::size_t>(worker), s);
                forEachKept(
                    a, [&](std::uint32_t t) { kept[write++] = std::uint64_t{s} << bits | was[t]; });
            }
        });
        for (const std::uint64_t e : apart.kept) {
            const std::uint32_t s = was[e >> 32];
            kept[buckets.next(parts, s)++] =
                std::uint64_t{s} << bits | was[static_cast<std::uint32_t>(e)];
        }
        buckets.sort(kept, kept.size() <= kFewTargets * nodes ? bits : 0, pool);
    } else if (direct) {
        reserveHugePages(kept, m);  // pages are touched only as the kept edges fill them
        // Read back in input order, which keeps the output sorted. The kept edges answered apart
        // join in their places.
        const auto push = [&](std::uint32_t s, std::uint32_t t) {
            kept.push_back(std::uint64_t{originalOf(s)} << 32 | originalOf(t));
        };
        std::size_t nextApart = 0;
        const auto keepApartBefore = [&](std::uint64_t edge) {
            for (; nextApart < apart.kept.size() && apart.kept[nextApart] < edge; ++nextApart) {
                const std::uint64_t e = apart.kept[nextApart];
                push(static_cast<std::uint32_t>(e >> 32), static_cast<std::uint32_t>(e));
            }
        };
        const auto keep = [&](std::uint32_t s, std::uint32_t t) {
            keepApartBefore(std::uint64_t{s} << 32 | t);
            push(s, t);
        };
        if (reversed) {
            for (std::uint32_t a = nodes; a-- > 0;) {
                const std::uint32_t s = nodes - 1 - a;
                if (cyclic[s]) continue;
                for (std::uint32_t e = ranked.offset[a + 1]; e-- > ranked.offset[a];) {
                    const std::uint32_t t = nodes - 1 - ranked.target[e];
                    if (!cyclic[t] && !redundant[e]) keep(s, t);
                }
            }
        } else {
            for (std::uint32_t s = 0; s < nodes; ++s) {
                if (cyclic[s]) continue;
                for (std::uint32_t e = graph.offset[s]; e < graph.offset[s + 1]; ++e) {
                    const std::uint32_t t = graph.target[e];
                    if (!cyclic[t] && !redundant[e]) keep(s, t);
                }
            }
        }
        keepApartBefore(~std::uint64_t{0});
        return result;
    } else {
        keptByRank(ranked, redundant, member, everyRank, pool, kept, bits);
    }
    // The kept edges are sorted keys (source << bits | target) in the new numbers, which sort as
    // the input's do: they are read back into the input's numbers.
    relabelled = Csr{};
    graph = Csr{};
    release(member);
    release(redundant);
    release(was);
    release(cyclic);
    Stage(progress, 0.9, 1)(1);
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    inParallel(pool, kept.size(), [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t e = begin; e < end; ++e) {
            kept[e] = std::uint64_t{originalOf(static_cast<std::uint32_t>(kept[e] >> bits))} << 32 |
                      originalOf(static_cast<std::uint32_t>(kept[e] & mask));
        }
    });
    return result;
}

}  // namespace fwprune::cpu
