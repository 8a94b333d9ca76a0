// The native edge-list writers: "%d edge %d" records from sorted edge records, and the
// records of a byte matrix.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "common/edge_record.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "graph_files/row_writer.h"

namespace fwprune {
std::vector<std::uint64_t> edgeRecordsOf(const ByteAdjacencyMatrix& matrix) {
    std::vector<std::uint64_t> records;
    const std::size_t n = static_cast<std::size_t>(matrix.n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* const row = matrix.cells.data() + i * n;
        for (std::size_t j = 0; j < n; ++j) {
            // Reduced rows are mostly empty: skip them a word at a time.
            if (j + 8 <= n) {
                std::uint64_t word;
                std::memcpy(&word, row + j, 8);
                if (word == 0) {
                    j += 7;
                    continue;
                }
            }
            if (row[j] != CELL_EMPTY) {
                records.push_back(
                    EdgeRecord::pack(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)));
            }
        }
    }
    return records;
}

void writeSortedEdges(const std::vector<std::uint64_t>& records, const std::string& path,
                      Workers workers, const ProgressFunction& progress) {
    OutputFile file(path);
    writeSortedEdges(records, file, std::move(workers), progress);
    file.commit();
}

void writeSortedEdges(const std::vector<std::uint64_t>& records, OutputFile& file, Workers workers,
                      const ProgressFunction& progress) {
    constexpr std::int64_t kPerRow = 4096;
    const auto count = static_cast<std::int64_t>(records.size());
    writeRows(
        file, (count + kPerRow - 1) / kPerRow, kPerRow * 16, std::move(workers),
        [&](std::int64_t row, TextBuffer& out) {
            const std::int64_t first = row * kPerRow;
            const std::int64_t last = std::min(count, first + kPerRow);
            char* p =
                out.room(static_cast<std::size_t>(last - first) * EdgeRecordFormatter::kMaxBytes);
            std::int64_t source = -1;
            EdgeRecordFormatter format(0);
            for (std::int64_t e = first; e < last; ++e) {
                const auto a = static_cast<std::int64_t>(EdgeRecord::source(records[e]));
                if (a != source) format = EdgeRecordFormatter(source = a);
                p = format.write(static_cast<std::int64_t>(EdgeRecord::target(records[e])), p);
            }
            out.commit(p);
        },
        progress);
}

}  // namespace fwprune
