// The ordered route's method for symmetric magnitudes (|m[i][j]| == |m[j][i]| for all i, j):
// reachability among legs lighter than v is then connectivity, and the lightest possible weakest
// link from i to j is the heaviest leg on their path in a minimum spanning tree. Ordering the nodes
// as the tree's edges join them (lightest first, each join appending one component's list to the
// other's) puts every component into a contiguous run, so that weakest link is the largest join
// weight between the two nodes' positions: one running maximum per row. A diagonal cell (i, i) is
// beaten by the cycle i -> k -> i over i's lightest leg. The weight on the tree path between two
// nodes is the same in every minimum spanning tree, so whichever tree is found, the bytes are the
// same. The tree comes from the legs the symmetry census gathers on its way (the lightest
// 2 n log2 n or so, which join every node on random weights), so that the matrix is read once
// before the final pass; only when they leave nodes apart does Prim's algorithm read it again.
// O(n^2) in all.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "common/progress.h"
#include "common/radix_sort.h"
#include "common/union_find.h"
#include "cpu/weakest_link_ordered_shared.h"

namespace fwprune::cpu::ordered {

SymmetryCensus takeSymmetryCensus(const Matrix& m, const Thresholds& t, ThreadPool& pool,
                                  std::uint32_t light, std::size_t room) {
    constexpr std::size_t kTile = 64;
    const std::size_t n = side(m);
    const std::size_t tiles = divideCeil(n, kTile);
    const auto threads = static_cast<std::size_t>(pool.size());
    // Tile rows in pairs from both ends, so that each pair holds tiles + 1 tiles of the triangle.
    const std::size_t pairs = (tiles + 1) / 2;
    std::atomic<bool> symmetric{true};
    std::vector<unsigned char> nan(threads, 0);
    std::vector<unsigned char> asks(threads, 0);
    std::vector<std::vector<std::uint64_t>> legs(threads);
    std::vector<unsigned char> full(threads, 0);
    const std::size_t roomEach = std::max<std::size_t>(room / threads, 1);
    const Thresholds th = t;  // a copy the stores below cannot alias, kept in registers
    const std::int32_t lightest = static_cast<std::int32_t>(light & kMagnitudeBits);
    const auto visitTileRow = [&](std::size_t ti, std::uint32_t& nanSeen, std::uint32_t& question,
                                  std::vector<std::uint64_t>& out, unsigned char& overflow) {
        // Each tile below the diagonal beside its mirror, transposed first, so that a cell and
        // its mirror are compared in a loop over two contiguous rows that the compiler
        // vectorises. A tile on the diagonal is compared whole with its own transpose: each pair
        // twice, which changes nothing.
        alignas(64) std::uint32_t mirror[kTile * kTile];
        const std::size_t iBegin = ti * kTile;
        const std::size_t rows = std::min(n, iBegin + kTile) - iBegin;
        // In 32-bit signed arithmetic on magnitudes (which it orders as their values, NaN
        // above infinity) and OR of comparisons alone, which every x86-64 vectorises. NaN is
        // looked for below the diagonal only: a NaN above it has a NaN mirror when the census
        // ends symmetric.
        std::uint32_t nanBelow = 0;
        std::uint32_t asked = 0;
        for (std::size_t tj = 0; tj <= ti; ++tj) {
            const std::size_t jBegin = tj * kTile;
            const std::size_t cols = std::min(n, jBegin + kTile) - jBegin;
            for (std::size_t c = 0; c < cols; ++c) {
                const CellBits* const from = cellsOf(m, jBegin + c) + iBegin;
                for (std::size_t r = 0; r < rows; ++r) mirror[r * kTile + c] = from[r];
            }
            std::uint32_t differ = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                const CellBits* const row = cellsOf(m, iBegin + r) + jBegin;
                const std::uint32_t* const mirrored = mirror + r * kTile;
                std::uint32_t lightSeen = 0;
                for (std::size_t c = 0; c < cols; ++c) {
                    const std::uint32_t a = row[c];
                    const std::uint32_t b = mirrored[c];
                    const auto magnitude = static_cast<std::int32_t>(a & kMagnitudeBits);
                    differ |= (a ^ b) & kMagnitudeBits;
                    nanBelow |= magnitude > static_cast<std::int32_t>(kInfBits);
                    asked |= th.question(a) | th.question(b);
                    lightSeen |= magnitude <= lightest;
                }
                if (lightSeen == 0 || overflow) continue;
                // The legs at or below `light` below the diagonal, each pair once (its mirror
                // has the same magnitude when the census ends symmetric).
                const std::size_t i = iBegin + r;
                const std::size_t end = tj == ti ? r : cols;
                for (std::size_t c = 0; c < end; ++c) {
                    const std::uint32_t magnitude = row[c] & kMagnitudeBits;
                    if (magnitude > light) continue;
                    if (out.size() == roomEach) {
                        overflow = 1;
                        std::vector<std::uint64_t>().swap(out);
                        break;
                    }
                    out.push_back(std::uint64_t{magnitude} << 32 | i << 16 | (jBegin + c));
                }
            }
            if (differ != 0) return false;
        }
        nanSeen |= nanBelow;
        question |= asked;
        return true;
    };
    StopTogether stop(std::min(pairs, threads));
    pool.parallelFor(
        0, static_cast<std::int64_t>(pairs), [&](std::int64_t begin, std::int64_t end, int worker) {
            const auto w = static_cast<std::size_t>(worker);
            stop.run(worker, [&] {
                std::uint32_t nanSeen = 0;
                std::uint32_t question = 0;
                for (auto p = static_cast<std::size_t>(begin); p < static_cast<std::size_t>(end);
                     ++p) {
                    if (!symmetric.load(std::memory_order_relaxed) || stop.stopped(worker)) return;
                    const bool same =
                        visitTileRow(p, nanSeen, question, legs[w], full[w]) &&
                        (tiles - 1 - p == p ||
                         visitTileRow(tiles - 1 - p, nanSeen, question, legs[w], full[w]));
                    if (!same) {
                        symmetric.store(false, std::memory_order_relaxed);
                        return;
                    }
                }
                nan[w] = nanSeen != 0;
                asks[w] = question != 0;
            });
        });
    SymmetryCensus census;
    census.symmetric = symmetric.load();
    bool overflow = false;
    std::size_t gathered = 0;
    for (std::size_t w = 0; w < threads; ++w) {
        census.hasNaN |= nan[w] != 0;
        overflow |= full[w] != 0;
        gathered += legs[w].size();
        census.hasQuestion |= asks[w] != 0;
    }
    if (census.symmetric && !overflow) {
        census.lightLegs.reserve(gathered);
        for (std::vector<std::uint64_t>& part : legs) {
            census.lightLegs.insert(census.lightLegs.end(), part.begin(), part.end());
            std::vector<std::uint64_t>().swap(part);
        }
    }
    return census;
}

namespace {

struct Edge {
    std::uint32_t weight;
    std::uint32_t a, b;
};

// Kruskal's algorithm on the light legs (magnitude << 32 | row << 16 | column): legs in ascending
// magnitude, each joining two components kept. When they join every node, Kruskal's algorithm on
// the whole matrix would have stopped before any heavier leg, so this is a minimum spanning tree
// of the matrix; else the tree is left empty.
std::vector<Edge> treeOfLightLegs(std::vector<std::uint64_t> legs, std::size_t n) {
    std::vector<Edge> tree;
    if (n < 2 || legs.size() < n - 1) return tree;
    std::vector<std::uint64_t> scratch;
    radixSort(legs.data(), legs.size(), 32, 63, scratch, [] { pollCancelled(); });
    std::vector<std::uint32_t> leader(n);
    for (std::size_t x = 0; x < n; ++x) leader[x] = static_cast<std::uint32_t>(x);
    tree.reserve(n - 1);
    for (const std::uint64_t leg : legs) {
        const auto a = static_cast<std::uint32_t>(leg >> 16) & 0xffffu;
        const auto b = static_cast<std::uint32_t>(leg) & 0xffffu;
        const std::uint32_t ra = findLeader(leader, a);
        const std::uint32_t rb = findLeader(leader, b);
        if (ra == rb) continue;
        leader[rb] = ra;
        tree.push_back({static_cast<std::uint32_t>(leg >> 32), a, b});
        if (tree.size() == n - 1) return tree;
    }
    tree.clear();
    return tree;
}

// Prim's algorithm on the dense matrix, one row read per node added. A node not yet in the tree
// holds its lightest leg to the tree plus one in `lightest` (magnitudes are below infinity + 1,
// the matrix holding no NaN), and a node in the tree holds 0, which no leg beats: so that one step
// is a loop the compiler vectorises, updating each node and taking the smallest leg in one pass,
// and a short search for the node that holds it.
std::vector<Edge> treeOfMatrix(const Matrix& m, const Progress& progress) {
    const std::size_t n = side(m);
    std::vector<Edge> tree;
    tree.reserve(n);
    std::vector<std::uint32_t> lightest(n, kNoMagnitude);
    std::vector<std::uint32_t> from(n, 0);
    std::uint32_t* __restrict const leg = lightest.data();
    std::uint32_t* __restrict const source = from.data();
    std::size_t u = 0;
    for (std::size_t added = 0; added < n; ++added) {
        leg[u] = 0;
        const CellBits* __restrict const row = cellsOf(m, u);
        const auto node = static_cast<std::uint32_t>(u);
        std::uint32_t best = kNoMagnitude;  // the smallest leg outside the tree, minus one
        for (std::size_t x = 0; x < n; ++x) {
            const std::uint32_t candidate = (row[x] & kMagnitudeBits) + 1;
            const bool lighter = candidate < leg[x];
            leg[x] = lighter ? candidate : leg[x];
            source[x] = lighter ? node : source[x];
            best = std::min(best, leg[x] - 1);
        }
        if (added + 1 == n) break;
        u = static_cast<std::size_t>(std::find(leg, leg + n, best + 1) - leg);
        tree.push_back({best, source[u], static_cast<std::uint32_t>(u)});
        if ((added & 255) == 255) {
            pollCancelled();
            if (progress) progress(0.5 * double(added) / double(n));
        }
    }
    return tree;
}

}  // namespace

void pruneSymmetric(const Matrix& m, const Thresholds& t, ThreadPool& pool,
                    std::vector<std::uint64_t> lightLegs, const Progress& progress) {
    const std::size_t n = side(m);
    std::vector<Edge> tree = treeOfLightLegs(std::move(lightLegs), n);
    if (tree.empty()) tree = treeOfMatrix(m, progress);
    // Join the tree's edges lightest first; each join appends one component's node list to the
    // other's and records the join weight between them.
    std::sort(tree.begin(), tree.end(),
              [](const Edge& x, const Edge& y) { return x.weight < y.weight; });
    std::vector<std::uint32_t> leader(n), head(n), tail(n), next(n, 0);
    std::vector<std::uint32_t> joinAfter(n, 0);
    for (std::size_t x = 0; x < n; ++x)
        leader[x] = head[x] = tail[x] = static_cast<std::uint32_t>(x);
    const auto find = [&](std::uint32_t x) { return findLeader(leader, x); };
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
    // i -> k -> i over i's lightest leg, which is a tree edge: a tree without any edge that light
    // at i would get lighter by taking that leg in place of its edge at i.
    std::vector<std::uint32_t> lightest(n, kNoMagnitude);
    for (const Edge& e : tree) {
        lightest[e.a] = std::min(lightest[e.a], e.weight);
        lightest[e.b] = std::min(lightest[e.b], e.weight);
    }
    finishWithJoins(
        m, t, pool, std::move(joins), nullptr, [&](std::size_t i) { return lightest[i]; },
        progressPart(progress, 0.5, 1));
}

}  // namespace fwprune::cpu::ordered
