// The passes both methods of the ordered route share.
#include "cpu/weakest_link_ordered_shared.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fwprune::cpu::ordered {

void cutRows(const Matrix& m, const Thresholds& t, ThreadPool& pool) {
    pool.parallelFor(
        0, static_cast<std::int64_t>(m.n()), [&](std::int64_t begin, std::int64_t end, int) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                CellBits* const row = m.row(i);
                for (std::size_t j = 0; j < m.n(); ++j) {
                    if (t.cut(row[j])) row[j] = kAbsentBits;
                }
            }
        });
}

void finishWithJoins(const Matrix& m, const Thresholds& t, ThreadPool& pool, const JoinOrder& joins,
                     const BitMatrix* beaten, const DiagonalJoin& diagonal,
                     const Progress& progress) {
    std::vector<std::vector<std::uint32_t>> links(static_cast<std::size_t>(pool.size()),
                                                  std::vector<std::uint32_t>(m.n()));
    pool.parallelFor(
        0, static_cast<std::int64_t>(m.n()), [&](std::int64_t begin, std::int64_t end, int worker) {
            std::uint32_t* const link = links[static_cast<std::size_t>(worker)].data();
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                CellBits* const row = m.row(i);
                joins.joinWeightsFrom(i, link);
                link[i] = diagonal(i);
                for (std::size_t j0 = 0; j0 < m.n(); j0 += 64) {
                    const std::uint64_t word = beaten ? beaten->row(i)[j0 / 64] : 0;
                    const std::size_t count = std::min<std::size_t>(64, m.n() - j0);
                    for (std::size_t k = 0; k < count; ++k) {
                        const std::uint32_t bits = row[j0 + k];
                        const bool beatenHere = ((word >> k) & 1u) != 0 || bits > link[j0 + k];
                        if (t.cut(bits) || (t.question(bits) && beatenHere))
                            row[j0 + k] = kAbsentBits;
                    }
                }
                // The calling thread's share of the rows stands for everyone's.
                if (worker == 0 && progress && (i + 1 - begin) % 64 == 0) {
                    progress(double(i + 1 - begin) / double(end - begin));
                }
            }
        });
}

}  // namespace fwprune::cpu::ordered
