// Peer: the yardstick for sparse graphs, a per-node pruned search, file to file.
// Usage: pruned_search INPUT OUTPUT   (edge lists, "%d edge %d" per line, any node numbers)
//
// Collapses strongly connected components (iterative Tarjan), whose closing order numbers the
// condensation so that every edge goes down. For each component with two or more successors it
// searches from its successors' successors, never entering a component ranked below its lowest
// successor (nothing there reaches a successor); a successor the search marks is bypassed. An
// edge survives when neither end lies on a cycle (a self-loop counts) and it is not bypassed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "edge_io.hpp"

namespace {

using Adjacency = std::vector<std::vector<std::uint32_t>>;

// Component of each node, numbered in the order the components close.
std::vector<std::uint32_t> strongComponents(const Adjacency& out, std::uint32_t& count) {
    const auto n = static_cast<std::uint32_t>(out.size());
    constexpr std::uint32_t kUnseen = UINT32_MAX;
    std::vector<std::uint32_t> index(n, kUnseen), low(n), component(n, kUnseen), stack;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> frames;  // node, next edge
    std::uint32_t counter = 0;
    count = 0;
    for (std::uint32_t root = 0; root < n; ++root) {
        if (index[root] != kUnseen) continue;
        frames.push_back({root, 0});
        index[root] = low[root] = counter++;
        stack.push_back(root);
        while (!frames.empty()) {
            auto& [v, edge] = frames.back();
            if (edge < out[v].size()) {
                const std::uint32_t w = out[v][edge++];
                if (index[w] == kUnseen) {
                    index[w] = low[w] = counter++;
                    stack.push_back(w);
                    frames.push_back({w, 0});
                } else if (component[w] == kUnseen) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            const std::uint32_t done = v;
            frames.pop_back();
            if (low[done] == index[done]) {
                std::uint32_t x;
                do {
                    x = stack.back();
                    stack.pop_back();
                    component[x] = count;
                } while (x != done);
                ++count;
            }
            if (!frames.empty())
                low[frames.back().first] = std::min(low[frames.back().first], low[done]);
        }
    }
    return component;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        int largest = 0;
        const auto edges = bench_io::read_edges(argv[1], largest);
        // Node numbers may be spread up to 2^31 - 1: number the ones used densely.
        std::vector<int> ids;
        ids.reserve(2 * edges.size());
        for (const auto& [s, t] : edges) ids.insert(ids.end(), {s, t});
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        const auto dense = [&](int id) {
            return static_cast<std::uint32_t>(std::lower_bound(ids.begin(), ids.end(), id) -
                                              ids.begin());
        };
        const auto n = static_cast<std::uint32_t>(ids.size());
        Adjacency out(n);
        std::vector<char> cyclic(n, 0);
        for (const auto& [s, t] : edges) {
            out[dense(s)].push_back(dense(t));
            if (s == t) cyclic[dense(s)] = 1;
        }
        for (auto& row : out) {
            std::sort(row.begin(), row.end());
            row.erase(std::unique(row.begin(), row.end()), row.end());
        }

        std::uint32_t components = 0;
        const std::vector<std::uint32_t> component = strongComponents(out, components);
        std::vector<std::uint32_t> size(components, 0), member(components);
        for (std::uint32_t x = 0; x < n; ++x) ++size[component[x]], member[component[x]] = x;
        Adjacency down(components);  // the condensation
        for (std::uint32_t x = 0; x < n; ++x) {
            if (size[component[x]] > 1) cyclic[x] = 1;
            for (const std::uint32_t y : out[x])
                if (component[y] != component[x]) down[component[x]].push_back(component[y]);
        }
        for (auto& row : down) {
            std::sort(row.begin(), row.end());
            row.erase(std::unique(row.begin(), row.end()), row.end());
        }

        std::vector<std::uint32_t> mark(components, 0), stack;
        std::vector<std::pair<int, int>> kept;
        for (std::uint32_t c = 0; c < components; ++c) {
            const auto& successors = down[c];
            const std::uint32_t stamp = c + 1;
            if (successors.size() >= 2) {
                const std::uint32_t lowest = successors.front();  // rows are sorted
                for (const std::uint32_t s : successors)
                    for (const std::uint32_t t : down[s])
                        if (t >= lowest && mark[t] != stamp) mark[t] = stamp, stack.push_back(t);
                while (!stack.empty()) {
                    const std::uint32_t x = stack.back();
                    stack.pop_back();
                    for (const std::uint32_t y : down[x])
                        if (y >= lowest && mark[y] != stamp) mark[y] = stamp, stack.push_back(y);
                }
            }
            const std::uint32_t u = member[c];
            if (size[c] > 1 || cyclic[u]) continue;
            for (const std::uint32_t v : out[u])
                if (!cyclic[v] && mark[component[v]] != stamp) kept.emplace_back(ids[u], ids[v]);
        }
        bench_io::write_edges(argv[2], std::move(kept));
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "pruned_search: %s\n", ex.what());
        return 1;
    }
    return 0;
}
