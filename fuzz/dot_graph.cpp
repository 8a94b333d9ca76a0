// Arbitrary bytes through the DOT reader: it returns edges between known nodes or throws an input
// error naming the file, line and column. Written back with every edge, the text is unchanged;
// written back without some edges, it reads as the kept edges over the same nodes.
#include "graph_files/dot_graph.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "test_support.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

std::set<std::pair<std::string, std::string>> labelledEdges(const DotGraph& g) {
    std::set<std::pair<std::string, std::string>> edges;
    for (const std::uint64_t r : g.graph.records) {
        edges.emplace(g.labels.label(static_cast<std::uint32_t>(r >> 32)),
                      g.labels.label(static_cast<std::uint32_t>(r)));
    }
    return edges;
}

std::set<std::string> nodes(const DotGraph& g) {
    std::set<std::string> names;
    for (std::uint32_t v = 0; v < g.labels.size(); ++v) names.insert(g.labels.label(v));
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<DotGraph> g =
        parsedOrInputError([&] { return parseDotGraph(text, "fuzz.txt"); });
    if (!g) return 0;
    for (const std::uint64_t r : g->graph.records) {
        require((r >> 32) < g->labels.size() && (r & 0xffffffffu) < g->labels.size(),
                "records name known nodes");
    }
    std::vector<std::uint64_t> all = g->graph.records;
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    const std::string path = scratchFile("graph.gv");
    const auto write = [&](const std::vector<std::uint64_t>& kept) {
        OutputFile file(path);
        writeDotGraph(*g, kept, file);
        file.commit();
        return fwprune::testing::readText(path);
    };
    require(write(all) == text, "with every edge kept the text is unchanged");

    // Every other distinct edge dropped.
    std::vector<std::uint64_t> kept;
    std::set<std::pair<std::string, std::string>> keptEdges;
    for (std::size_t i = 0; i < all.size(); i += 2) {
        kept.push_back(all[i]);
        keptEdges.emplace(g->labels.label(static_cast<std::uint32_t>(all[i] >> 32)),
                          g->labels.label(static_cast<std::uint32_t>(all[i])));
    }
    const std::string rewritten = write(kept);
    const DotGraph again = parseDotGraph(rewritten, "rewritten.gv");
    require(labelledEdges(again) == keptEdges, "the rewritten graph has the kept edges", rewritten);
    require(nodes(again) == nodes(*g), "the rewritten graph has every node", rewritten);
    return 0;
}
