// Peer: Boost Graph's transitive_reduction, file to file.
// Usage: boost_tred INPUT OUTPUT   (edge lists, "%d edge %d" per line)
// Boost requires a DAG; the benchmark only feeds it DAGs.
#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/transitive_reduction.hpp>
#include <cstdio>
#include <exception>
#include <vector>

#include "edge_io.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS>;
        int n = 0;
        const auto edges = bench_io::read_edges(argv[1], n);
        Graph g(static_cast<size_t>(n));
        for (const auto& e : edges) boost::add_edge(e.first, e.second, g);

        Graph tr;
        std::vector<size_t> g_to_tr(static_cast<size_t>(n));
        boost::transitive_reduction(
            g, tr,
            boost::make_iterator_property_map(g_to_tr.begin(), boost::get(boost::vertex_index, g)),
            boost::get(boost::vertex_index, g));

        // The reduced graph numbers its vertices in topological order; map back.
        std::vector<int> tr_to_g(static_cast<size_t>(n));
        for (int v = 0; v < n; ++v) tr_to_g[g_to_tr[static_cast<size_t>(v)]] = v;
        std::vector<std::pair<int, int>> kept;
        kept.reserve(boost::num_edges(tr));
        for (auto [it, end] = boost::edges(tr); it != end; ++it)
            kept.emplace_back(tr_to_g[boost::source(*it, tr)], tr_to_g[boost::target(*it, tr)]);
        bench_io::write_edges(argv[2], std::move(kept));
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "boost_tred: %s\n", ex.what());
        return 1;
    }
    return 0;
}
