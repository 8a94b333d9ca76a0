// Transitive reduction of a graph on the CPU, over bit rows.
//
// Result edge (i, j) survives iff (i, j) is an edge and j is not reachable from i by a walk of two
// or more edges. The method: collapse strongly connected components, then build reachability
// rows component by component from the sinks upwards. A node's successors are visited in
// topological order; a successor that is already reachable from an earlier one is exactly a
// redundant edge, and its row need not be ORed in, so the work is proportional to the size of
// the reduction instead of the closure. One bit matrix (n^2 / 8 bytes) holds the graph and then
// the reachability, plus O(threads * n) scratch.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/bit_rows.h"
#include "common/edge_record.h"
#include "common/parallel.h"
#include "common/strong_components.h"
#include "common/threads.h"
#include "cpu/bit_row_kernels.h"
#include "cpu/cpu_engine.h"
#include "cpu/transitive_reduction_internal.h"

namespace fwprune::cpu {
namespace {

struct Components {
    std::vector<std::int32_t> position;  // node -> position; edges never go to a lower position
    std::vector<std::int32_t> node;      // position -> node
    std::vector<std::int32_t> first;     // position -> lowest position of its component
    std::vector<std::uint8_t> cyclic;    // position -> lies on a cycle (incl. a self-loop)
    // Components as [first, last] position ranges, sinks first.
    std::vector<std::pair<std::int32_t, std::int32_t>> order;
};

// First j >= from set in both rows, or -1.
std::int64_t nextCommonBit(const Word* row, const Word* mask, std::int64_t words,
                           std::int64_t from) {
    std::int64_t w = from / kWordBits;
    if (w >= words) return -1;
    Word m = row[w] & mask[w] & (~Word{0} << (from % kWordBits));
    while (m == 0) {
        if (++w >= words) return -1;
        m = row[w] & mask[w];
    }
    return w * kWordBits + __builtin_ctzll(m);
}

// The components of the graph in `adjacency`, sinks first; positions are handed out from the top
// down so that they end up in topological order.
// A pool of its own for a caller that gives a thread count: no more workers than rows.
int poolSizeFor(std::int64_t n, int threads) {
    return static_cast<int>(std::max<std::int64_t>(
        1, std::min<std::int64_t>(n, resolveThreadCount(std::max(threads, 0)))));
}

Components condense(const BitRows& adjacency, std::int64_t n) {
    Components c;
    c.position.assign(static_cast<std::size_t>(n), 0);
    c.node.assign(static_cast<std::size_t>(n), 0);
    c.first.assign(static_cast<std::size_t>(n), 0);
    c.cyclic.assign(static_cast<std::size_t>(n), 0);
    // Nodes not yet placed in a component. A successor outside this set can change nothing, and
    // on dense graphs most successors are, so they are skipped a word at a time.
    const std::int64_t words = wordsFor(n);
    std::vector<Word> unplaced(static_cast<std::size_t>(words), 0);
    for (std::int64_t j = 0; j < n; ++j) setBit(unplaced.data(), j);
    std::int64_t placed = 0;
    forEachStrongComponent(
        static_cast<std::uint32_t>(n),
        [&](std::uint32_t v, std::uint64_t& cursor) {
            const std::int64_t w = nextCommonBit(adjacency.row(v), unplaced.data(), words,
                                                 static_cast<std::int64_t>(cursor));
            cursor = static_cast<std::uint64_t>(w + 1);
            return w;
        },
        [&](const std::uint32_t* members, std::size_t count) {
            const auto last = static_cast<std::int32_t>(n - 1 - placed);
            // The last discovered takes the highest position, as popping Tarjan's stack would.
            for (std::size_t m = count; m-- > 0;) {
                const std::uint32_t x = members[m];
                clearBit(unplaced.data(), x);
                const auto p = static_cast<std::int32_t>(n - 1 - placed++);
                c.position[x] = p;
                c.node[p] = static_cast<std::int32_t>(x);
            }
            const auto first = static_cast<std::int32_t>(n - placed);
            const bool cyclic = first != last || testBit(adjacency.row(members[0]), members[0]);
            for (std::int32_t p = first; p <= last; ++p) {
                c.first[p] = first;
                c.cyclic[p] = cyclic;
            }
            c.order.emplace_back(first, last);
        });
    return c;
}

void awaitFlag(const std::atomic<std::uint8_t>& flag) {
    for (int spins = 0; flag.load(std::memory_order_acquire) == 0; ++spins)
        if (spins >= 64) std::this_thread::yield();
}

// emit(worker, node, kept) hands over each node's surviving successors (none for a node on a
// cycle), in topological order, from the worker that settled it.
template <typename Emit>
void topologicalMethod(std::int64_t n, ThreadPool& pool, const BitRowKernels& k, BitRows& bits,
                       const ProgressFunction& progress, Emit&& emit) {
    const Components comp = condense(bits, n);
    // `bits` row u keeps u's successors (by node) until u's component is processed. Then the row
    // of the component's first node is overwritten with the component's reachability: the
    // positions reachable from it by walks of one or more edges. Rows of other members just go
    // unused, so no second bit matrix is needed.
    const std::int64_t stride = bits.stride();
    const std::int64_t words = wordsFor(n);
    const auto threads = static_cast<std::size_t>(pool.size());
    const auto ready = std::make_unique<std::atomic<std::uint8_t>[]>(static_cast<std::size_t>(n));
    for (std::int64_t p = 0; p < n; ++p) ready[p].store(0, std::memory_order_relaxed);
    // Lines of each reachability row that may be non-zero; keyed by the component's first position.
    std::vector<std::int32_t> lineBegin(static_cast<std::size_t>(n), 0);
    std::vector<std::int32_t> lineEnd(static_cast<std::size_t>(n), 0);
    BitRows successors(static_cast<std::int64_t>(threads), n, true);
    std::vector<std::vector<std::int32_t>> survivors(threads);
    for (auto& s : survivors) s.reserve(static_cast<std::size_t>(n));
    std::atomic<std::int64_t> nextComponent{0};
    const auto componentCount = static_cast<std::int64_t>(comp.order.size());
    const auto reachRow = [&](std::int32_t firstPosition) {
        return bits.row(comp.node[firstPosition]);
    };

    // Components are claimed sinks first, so every row a worker waits for is already claimed by a
    // running worker whose own waits point further down: the waits cannot form a cycle.
    pool.parallelFor(0, pool.size(), [&](std::int64_t, std::int64_t, int worker) {
        Word* succ = successors.row(worker);
        auto& kept = survivors[static_cast<std::size_t>(worker)];
        std::int64_t nextReport = 1;
        for (;;) {
            const std::int64_t c = nextComponent.fetch_add(1, std::memory_order_relaxed);
            if (c >= componentCount) break;
            // Components claimed by all so far, told by the calling thread alone, about a
            // hundred times.
            if (worker == 0 && progress && c >= nextReport) {
                progress(static_cast<double>(c) / static_cast<double>(componentCount));
                nextReport = c + componentCount / 128 + 1;
            }
            // Not a structured binding: lambdas below use both, and clang 14 (the fuzzing build)
            // cannot capture a binding.
            const std::int32_t first = comp.order[static_cast<std::size_t>(c)].first;
            const std::int32_t last = comp.order[static_cast<std::size_t>(c)].second;
            const bool cyclic = comp.cyclic[first] != 0;

            // Successors outside the component, re-indexed by position so that a word scan
            // visits them in topological order.
            for (std::int32_t p = first; p <= last; ++p) {
                const Word* a = bits.row(comp.node[p]);
                forEachSetBit(a, words, [&](std::int64_t j) {
                    const std::int32_t q = comp.position[j];
                    if (q > last) setBit(succ, q);
                });
            }

            Word* r = reachRow(first);
            std::fill(r, r + stride, Word{0});
            std::int64_t begin = std::numeric_limits<std::int64_t>::max();
            std::int64_t end = 0;
            const auto include = [&](std::int64_t p) {
                setBit(r, p);
                begin = std::min(begin, p / (kWordBits * kLineWords));
                end = std::max(end, p / (kWordBits * kLineWords) + 1);
            };
            if (cyclic)
                for (std::int32_t p = first; p <= last; ++p) include(p);

            kept.clear();
            for (std::int64_t w = (last + 1) / kWordBits; w < words; ++w) {
                const Word m = std::exchange(succ[w], 0);
                forEachSetBit(m, w * kWordBits, [&](std::int64_t q) {
                    // Whatever can reach q comes earlier in this scan and has been merged, so q
                    // already in r means exactly that a longer walk implies the edge; and then
                    // q's own row is inside r too.
                    if (testBit(r, q)) return;
                    if (!cyclic && comp.cyclic[q] == 0) kept.push_back(comp.node[q]);
                    const std::int32_t from = comp.first[q];
                    awaitFlag(ready[from]);
                    const std::int64_t lb = lineBegin[from];
                    const std::int64_t le = lineEnd[from];
                    if (lb < le) {
                        orInto(k, r + lb * kLineWords, reachRow(from) + lb * kLineWords,
                               (le - lb) * kLineWords);
                        begin = std::min(begin, lb);
                        end = std::max(end, le);
                    }
                    include(q);
                });
            }
            lineBegin[first] = static_cast<std::int32_t>(std::min(begin, end));
            lineEnd[first] = static_cast<std::int32_t>(end);
            ready[first].store(1, std::memory_order_release);

            for (std::int32_t p = first; p <= last; ++p) emit(worker, comp.node[p], kept);
        }
    });
}

}  // namespace

namespace detail {

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, ThreadPool& pool,
                        const ReductionOptions& options, const ProgressFunction& progress) {
    const BitRowKernels k = bitRowKernelsFor(options.isa);
    if (n <= 0) return;
    BitRows bits(n, n, false);
    pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int) {
        for (std::int64_t i = begin; i < end; ++i)
            k.pack(matrix + i * n, n, bits.row(i), bits.stride());
    });
    topologicalMethod(n, pool, k, bits, progress,
                      [&](int, std::int32_t node, const std::vector<std::int32_t>& kept) {
                          std::uint8_t* const cells = matrix + std::int64_t{node} * n;
                          std::memset(cells, 0, static_cast<std::size_t>(n));
                          for (const std::int32_t v : kept) cells[v] = 1;
                      });
}

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ReductionOptions& options, const ProgressFunction& progress) {
    ThreadPool pool(poolSizeFor(n, threads));
    reduceTransitively(matrix, n, pool, options, progress);
}

}  // namespace detail

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, ThreadPool& pool,
                        const ProgressFunction& progress) {
    detail::reduceTransitively(matrix, n, pool, detail::ReductionOptions{}, progress);
}

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ProgressFunction& progress) {
    ThreadPool pool(poolSizeFor(n, threads));
    reduceTransitively(matrix, n, pool, progress);
}

ReducedEdges reduceEdgeRecordsOnBits(const std::vector<std::uint64_t>& records, std::int64_t n,
                                     int threads, const ProgressFunction& progress) {
    ThreadPool pool(poolSizeFor(n, threads));
    return reduceEdgeRecordsOnBits(records, n, pool, progress);
}

ReducedEdges reduceEdgeRecordsOnBits(const std::vector<std::uint64_t>& records, std::int64_t n,
                                     ThreadPool& pool, const ProgressFunction& progress) {
    ReducedEdges result;
    if (n <= 0) return result;
    const BitRowKernels k = bitRowKernelsFor(bestInstructionSet());
    BitRows bits(n, n, true);
    for (const std::uint64_t record : records) {
        setBit(bits.row(EdgeRecord::source(record)), EdgeRecord::target(record));
    }
    const std::int64_t words = wordsFor(n);
    std::atomic<std::size_t> distinct{0};
    pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int) {
        std::size_t count = 0;
        for (std::int64_t i = begin; i < end; ++i) {
            const Word* const row = bits.row(i);
            for (std::int64_t w = 0; w < words; ++w)
                count += std::size_t(__builtin_popcountll(row[w]));
        }
        distinct += count;
    });
    result.distinct = distinct;

    // Each node's survivors go to its worker's list in node order, put through a bit row (a pass
    // over n bits per node, n^2 / 64 words in all).
    struct Span {
        std::uint32_t worker = 0;
        std::size_t offset = 0;
        std::size_t count = 0;
    };
    std::vector<Span> spans(static_cast<std::size_t>(n));
    std::vector<std::vector<std::uint32_t>> targets(static_cast<std::size_t>(pool.size()));
    BitRows scratch(pool.size(), n, true);
    topologicalMethod(n, pool, k, bits, progress,
                      [&](int worker, std::int32_t node, const std::vector<std::int32_t>& kept) {
                          auto& out = targets[static_cast<std::size_t>(worker)];
                          spans[static_cast<std::size_t>(node)] = {
                              static_cast<std::uint32_t>(worker), out.size(), kept.size()};
                          if (kept.empty()) return;
                          Word* const row = scratch.row(worker);
                          for (const std::int32_t v : kept) setBit(row, v);
                          for (std::int64_t w = 0; w < words; ++w) {
                              forEachSetBit(std::exchange(row[w], 0), w * kWordBits,
                                            [&](std::int64_t j) {
                                                out.push_back(static_cast<std::uint32_t>(j));
                                            });
                          }
                      });
    std::size_t total = 0;
    for (const Span& span : spans) total += span.count;
    result.kept.reserve(total);
    for (std::int64_t u = 0; u < n; ++u) {
        const Span& span = spans[static_cast<std::size_t>(u)];
        const std::uint32_t* const list = targets[span.worker].data() + span.offset;
        for (std::size_t t = 0; t < span.count; ++t) {
            result.kept.push_back(EdgeRecord::pack(static_cast<std::uint32_t>(u), list[t]));
        }
    }
    return result;
}

}  // namespace fwprune::cpu
