#include "graph_files/removed_edges.h"

#include <charconv>
#include <cstring>

#include "graph_files/row_writer.h"

namespace fwprune {

const char* removalReasonName(RemovalReason reason) {
    switch (reason) {
        case RemovalReason::Bypassed:
            return "bypassed";
        case RemovalReason::Cycle:
            return "cycle";
        case RemovalReason::SelfLoop:
            return "self-loop";
        case RemovalReason::Condensed:
            return "condensed";
        case RemovalReason::Represented:
            return "represented";
    }
    return "";
}

void writeRemovedEdges(const std::vector<RemovedEdge>& removed, OutputFile& file, int threads,
                       const ProgressFunction& progress) {
    file.write("source\ttarget\treason\tvia\tvalue\n");
    // Four node numbers of at most 10 digits, the longest word and five separators.
    constexpr std::size_t kMaxBytes = 4 * 10 + 11 + 5;
    writeBoundedRows(
        file, static_cast<std::int64_t>(removed.size()), kMaxBytes, threads,
        [&](std::int64_t i, char* out) {
            const RemovedEdge& edge = removed[static_cast<std::size_t>(i)];
            out = std::to_chars(out, out + 10, edge.record >> 32).ptr;
            *out++ = '\t';
            out = std::to_chars(out, out + 10, std::uint32_t(edge.record)).ptr;
            *out++ = '\t';
            const char* const word = removalReasonName(edge.reason);
            const std::size_t length = std::strlen(word);
            out = std::copy_n(word, length, out);
            *out++ = '\t';
            if (edge.reason != RemovalReason::SelfLoop)
                out = std::to_chars(out, out + 10, edge.via).ptr;
            *out++ = '\t';
            if (edge.reason == RemovalReason::Represented)
                out = std::to_chars(out, out + 10, edge.value).ptr;
            *out++ = '\n';
            return out;
        },
        progress);
}

}  // namespace fwprune
