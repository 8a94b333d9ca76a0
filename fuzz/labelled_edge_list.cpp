// Arbitrary bytes through the labelled edge-list reader, as TSV and as CSV, with and without a
// header: the reader returns node numbers within its labels or throws an input error naming the
// file; what the writer writes back reads as the same labelled edges.
#include "graph_files/labelled_edge_list.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

std::vector<std::pair<std::string, std::string>> labelledEdges(const LabelledEdgeList& list,
                                                               std::vector<std::uint64_t> records) {
    std::sort(records.begin(), records.end());
    records.erase(std::unique(records.begin(), records.end()), records.end());
    std::vector<std::pair<std::string, std::string>> edges;
    for (const std::uint64_t r : records) {
        edges.emplace_back(list.labels.label(static_cast<std::uint32_t>(r >> 32)),
                           list.labels.label(static_cast<std::uint32_t>(r)));
    }
    // Reading back numbers the labels in the order the writer wrote them, which may differ from
    // the first reading's: compare the edges by their labels.
    std::sort(edges.begin(), edges.end());
    return edges;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const TableDialect dialect : {TableDialect::Tsv, TableDialect::Csv}) {
        for (const bool header : {false, true}) {
            const std::optional<LabelledEdgeList> list = parsedOrInputError(
                [&] { return parseLabelledEdgeList(text, "fuzz.txt", dialect, header); });
            if (!list) continue;
            require(list->graph.n == static_cast<std::int64_t>(list->labels.size()),
                    "n is the labels");
            for (const std::uint64_t r : list->graph.records) {
                require((r >> 32) < list->labels.size() && (r & 0xffffffffu) < list->labels.size(),
                        "records name known nodes");
            }
            std::vector<std::uint64_t> kept = list->graph.records;
            std::sort(kept.begin(), kept.end());
            kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
            const std::string path = scratchFile("labelled");
            writeLabelledEdges(*list, kept, path);
            const LabelledEdgeList reread = readLabelledEdgeList(path, dialect, header);
            require(labelledEdges(reread, reread.graph.records) ==
                        labelledEdges(*list, list->graph.records),
                    "written edges read back as the same labelled edges");
        }
    }
    return 0;
}
