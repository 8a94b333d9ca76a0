// Strongly connected components by Tarjan's algorithm with an explicit frame stack, so that deep
// graphs (long histories, chains of millions of nodes) cannot overflow the call stack.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace fwprune {

// Visits the nodes 0 .. n-1 and their successors, and calls close(members, count) for each
// component as it closes, sinks first: every edge between two components goes from one closed
// later to one closed earlier. members lists the component's nodes in the order they were
// discovered.
//
// nextSuccessor(v, cursor) returns the next successor of v from its position `cursor` on, and
// advances cursor past it (cursor starts at 0 for each node and is the caller's to interpret:
// an edge index, a bit position), or returns a negative number when v has no more. A successor
// already closed in a component may be returned or left out, as is cheaper: it changes nothing.
//
// The search starts from the nodes in `roots` first, in that order (those without predecessors,
// say, so that its trees grow from the sources), then from every node not yet visited, ascending.
template <typename NextSuccessor, typename Close>
void forEachStrongComponent(std::uint32_t n, const std::vector<std::uint32_t>& roots,
                            NextSuccessor&& nextSuccessor, Close&& close) {
    constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> index(n, kUnseen);
    std::vector<std::uint32_t> low(n, 0);
    std::vector<std::uint8_t> open(n, 0);
    std::vector<std::uint32_t> stack;
    struct Frame {
        std::uint32_t node;
        std::uint64_t cursor;
    };
    std::vector<Frame> frames;
    std::uint32_t counter = 0;
    const auto discover = [&](std::uint32_t v) {
        index[v] = low[v] = counter++;
        stack.push_back(v);
        open[v] = 1;
        frames.push_back({v, 0});
    };
    const auto searchFrom = [&](std::uint32_t root) {
        if (index[root] != kUnseen) return;
        discover(root);
        while (!frames.empty()) {
            const std::uint32_t v = frames.back().node;
            const std::int64_t w = nextSuccessor(v, frames.back().cursor);
            if (w >= 0) {
                const auto u = static_cast<std::uint32_t>(w);
                if (index[u] == kUnseen)
                    discover(u);
                else if (open[u])
                    low[v] = std::min(low[v], index[u]);
                continue;
            }
            frames.pop_back();
            if (low[v] == index[v]) {
                const std::size_t first =
                    static_cast<std::size_t>(std::find(stack.rbegin(), stack.rend(), v).base() -
                                             stack.begin()) -
                    1;
                for (std::size_t s = first; s < stack.size(); ++s) open[stack[s]] = 0;
                close(stack.data() + first, stack.size() - first);
                stack.resize(first);
            }
            if (!frames.empty()) {
                const std::uint32_t parent = frames.back().node;
                low[parent] = std::min(low[parent], low[v]);
            }
        }
    };
    for (const std::uint32_t root : roots) searchFrom(root);
    for (std::uint32_t root = 0; root < n; ++root) searchFrom(root);
}

template <typename NextSuccessor, typename Close>
void forEachStrongComponent(std::uint32_t n, NextSuccessor&& nextSuccessor, Close&& close) {
    forEachStrongComponent(n, {}, std::forward<NextSuccessor>(nextSuccessor),
                           std::forward<Close>(close));
}

}  // namespace fwprune
