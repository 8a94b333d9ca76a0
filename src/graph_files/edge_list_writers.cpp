// The native edge-list writers: "%d edge %d" records from sorted edge records or a byte matrix.
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
namespace {

// Whether the Words * 8 cells at p are all empty (CELL_EMPTY is 0).
template <int Words>
bool allEmpty(const std::uint8_t* p) {
    std::uint64_t any = 0;
    for (int w = 0; w < Words; ++w) {
        std::uint64_t word;
        std::memcpy(&word, p + 8 * w, 8);
        any |= word;
    }
    return any == 0;
}

// Bit c set when cell c of the count (at most 64) cells at p is not empty.
std::uint64_t nonEmptyCells(const std::uint8_t* p, std::int64_t count) {
    std::uint64_t cells = 0;
    std::int64_t c = 0;
    for (; c + 8 <= count; c += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + c, 8);
        // The top bit of each byte: set when the byte is not zero.
        constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fu;
        const std::uint64_t top = (((word & kLow7) + kLow7) | word) & ~kLow7;
        // Gathers the eight top bits into one byte, byte b to bit b.
        cells |= ((top >> 7) * 0x0102040810204080u >> 56) << c;
    }
    for (; c < count; ++c) cells |= std::uint64_t{p[c] != CELL_EMPTY} << c;
    return cells;
}

}  // namespace

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

void writeEdgeList(const ByteAdjacencyMatrix& matrix, const std::string& path, Workers workers,
                   const ProgressFunction& progress) {
    OutputFile file(path);
    const std::int64_t n = matrix.n;
    writeRows(
        file, n, static_cast<std::size_t>(n) / 4 + 16, std::move(workers),
        [&](std::int64_t i, TextBuffer& out) {
            const std::uint8_t* const row = matrix.cells.data() + i * n;
            const EdgeRecordFormatter records(i);
            // Reduced graphs are sparse: a block of 64 cells is tested at once (the OR of eight
            // words vectorises), and the cells of a non-empty block are found from a bit mask, with
            // no branch per cell.
            for (std::int64_t j0 = 0; j0 < n; j0 += 64) {
                if (j0 + 64 <= n && allEmpty<8>(row + j0)) continue;
                char* p = out.room(64 * EdgeRecordFormatter::kMaxBytes);
                for (std::uint64_t cells =
                         nonEmptyCells(row + j0, std::min<std::int64_t>(64, n - j0));
                     cells != 0; cells &= cells - 1) {
                    p = records.write(j0 + __builtin_ctzll(cells), p);
                }
                out.commit(p);
            }
        },
        progress);
    file.commit();
}

}  // namespace fwprune
