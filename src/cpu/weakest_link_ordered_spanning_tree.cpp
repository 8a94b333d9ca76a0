// The ordered route's method for symmetric magnitudes (|m[i][j]| == |m[j][i]| for all i, j):
// reachability among legs lighter than v is then connectivity, and the lightest possible weakest
// link from i to j is the heaviest leg on their path in a minimum spanning tree. Ordering the nodes
// as the tree's edges join them (lightest first, each join appending one component's list to the
// other's) puts every component into a contiguous run, so that weakest link is the largest join
// weight between the two nodes' positions: one running maximum per row. A diagonal cell (i, i) is
// beaten by the cycle i -> k -> i over i's lightest leg. O(n^2) in all.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "common/progress.h"
#include "cpu/weakest_link_ordered_shared.h"

namespace fwprune::cpu::ordered {

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
