#include "pipelines/removed_cells.h"

#include <cmath>
#include <utility>

#include "common/error.h"
#include "cpu/weakest_link_witnesses.h"
#include "graph_files/removed_edges.h"

namespace fwprune {

void writeRemovedCellsReport(const std::vector<float>& input, const WeightMatrix& output,
                             float upper, OutputFile& file, Workers workers,
                             const ProgressFunction& progress) {
    const auto n = static_cast<std::size_t>(output.n);
    const cpu::WeakestLinkWitnesses witnesses = reportingOutOfMemory(
        [&] {
            return "not enough memory for the witnesses of the replaced cells of a " +
                   std::to_string(n) + "-node matrix";
        },
        [&] {
            return cpu::WeakestLinkWitnesses(input.data(), output.cells.data(), output.n, upper);
        });
    writeRemovedCells(
        output.n, file, std::move(workers),
        [&](std::int64_t row, std::vector<RemovedCell>& cells) {
            thread_local std::vector<std::uint32_t> replaced;
            thread_local std::vector<std::size_t> at;
            thread_local std::vector<cpu::CellWitness> found;
            replaced.clear();
            at.clear();
            const float* const before = input.data() + static_cast<std::size_t>(row) * n;
            const float* const after = output.cells.data() + static_cast<std::size_t>(row) * n;
            for (std::size_t j = 0; j < n; ++j) {
                if (!(after[j] == WEIGHT_ABSENT) || before[j] == WEIGHT_ABSENT) continue;
                const auto column = static_cast<std::uint32_t>(j);
                if (std::signbit(before[j])) {
                    cells.push_back({column, RemovalReason::Negative, 0, before[j]});
                } else if (before[j] >= upper) {
                    cells.push_back({column, RemovalReason::Upper, 0, before[j]});
                } else {
                    replaced.push_back(column);
                    at.push_back(cells.size());
                    cells.push_back({column, RemovalReason::Replaced, RemovedCell::kNoVia, 0});
                }
            }
            found.resize(replaced.size());
            witnesses.explainRow(static_cast<std::uint32_t>(row), replaced.data(), replaced.size(),
                                 found.data());
            for (std::size_t k = 0; k < replaced.size(); ++k) {
                if (found[k].via == cpu::CellWitness::kNone) continue;
                cells[at[k]].via = found[k].via;
                cells[at[k]].value = found[k].value;
            }
        },
        progress);
}

}  // namespace fwprune
