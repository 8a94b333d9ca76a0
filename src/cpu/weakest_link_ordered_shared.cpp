// The passes both methods of the ordered route share.
#include "cpu/weakest_link_ordered_shared.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fwprune::cpu::ordered {

void cutRows(const Matrix& m, const Thresholds& t, ThreadPool& pool) {
    checkCancelled();  // the last moment to stop: the pass below changes the matrix
    pool.parallelFor(
        0, static_cast<std::int64_t>(side(m)), [&](std::int64_t begin, std::int64_t end, int) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                CellBits* const row = cellsOf(m, i);
                for (std::size_t j = 0; j < side(m); ++j) {
                    if (t.cut(row[j])) row[j] = kAbsentBits;
                }
            }
        });
}

void JoinOrder::seal() {
    const std::size_t n = order_.size();
    bool oneRun = n >= 2;
    std::uint32_t heaviest = 0;
    for (std::size_t p = 0; p + 1 < n; ++p) {
        oneRun &= gap_[p] != kNoMagnitude;
        heaviest = std::max(heaviest, gap_[p]);
    }
    allJoinedBy_ = oneRun ? heaviest : kNoMagnitude;
    // Level 0 is the gaps themselves; level l + 1 the larger of two neighbouring spans of level l.
    const int levels = n >= 2 ? 64 - __builtin_clzll(n - 1) : 1;
    spans_.assign(std::size_t(levels) * n, 0);
    std::copy(gap_.begin(), gap_.end(), spans_.begin());
    for (int level = 1; level < levels; ++level) {
        const std::uint32_t* const below = spans_.data() + std::size_t(level - 1) * n;
        std::uint32_t* const span = spans_.data() + std::size_t(level) * n;
        const std::size_t half = std::size_t{1} << (level - 1);
        for (std::size_t p = 0; p + 2 * half <= n - 1; ++p) {
            span[p] = std::max(below[p], below[p + half]);
        }
    }
}

std::uint32_t lightMagnitude(const Matrix& m, const Thresholds& t, std::size_t target) {
    const std::size_t n = side(m);
    const std::size_t cells = n * n;
    const std::size_t samples = std::min<std::size_t>(cells, 1 << 16);
    std::vector<std::uint32_t> sample;
    sample.reserve(samples);
    std::uint64_t state = 0x243f6a8885a308d3ull;
    for (std::size_t s = 0; s < samples; ++s) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t cell = samples == cells ? s : (state >> 16) % cells;
        const std::size_t i = cell / n;
        const std::size_t j = cell % n;
        const std::uint32_t bits = cellsOf(m, i)[j];
        if (takesPart(t, i, j, bits)) sample.push_back(bits & kMagnitudeBits);
    }
    const auto rank = static_cast<std::size_t>(double(target) * double(samples) / double(cells));
    if (rank >= sample.size()) return kMagnitudeBits;
    std::nth_element(sample.begin(), sample.begin() + std::ptrdiff_t(rank), sample.end());
    return sample[rank];
}

namespace {

// One row when some nodes were never joined: every join weight of the row from one running
// maximum in each direction of the join order.
void finishRowByRuns(CellBits* row, std::size_t i, std::size_t n, const Thresholds& t,
                     const JoinOrder& joins, const std::uint64_t* beaten, std::uint32_t diagonal,
                     std::uint32_t* link) {
    joins.joinWeightsFrom(i, link);
    link[i] = diagonal;
    for (std::size_t j0 = 0; j0 < n; j0 += 64) {
        const std::uint64_t word = beaten ? beaten[j0 / 64] : 0;
        const std::size_t count = std::min<std::size_t>(64, n - j0);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t bits = row[j0 + k];
            const bool beatenHere = ((word >> k) & 1u) != 0 || bits > link[j0 + k];
            if (t.cut(bits) || (t.question(bits) && beatenHere)) row[j0 + k] = kAbsentBits;
        }
    }
}

// One row when all nodes were joined by `settled`: a question above it is beaten whatever its
// ends, so only the few at or below it look up the weight at which their ends were joined.
void finishRowJoined(CellBits* row, std::size_t i, std::size_t n, const Thresholds& thresholds,
                     const JoinOrder& joins, std::uint32_t settled, const std::uint64_t* beaten,
                     std::uint32_t diagonal) {
    // A copy the stores to the row cannot alias, so that the loop below keeps it in registers.
    const Thresholds t = thresholds;
    for (std::size_t j0 = 0; j0 < n; j0 += 64) {
        const std::size_t count = std::min<std::size_t>(64, n - j0);
        CellBits* const cells = row + j0;
        // First the cells whose answer needs nothing but their value, in a loop the compiler
        // vectorises; then, rarely, the questions at or below `settled`, which it left alone.
        std::uint32_t open = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t bits = cells[k];
            const bool question = t.question(bits);
            const bool high = bits > settled;
            open |= question & !high;
            cells[k] = t.cut(bits) | (question & high) ? kAbsentBits : bits;
        }
        if (open != 0) {
            const std::uint64_t skip = beaten ? beaten[j0 / 64] : 0;
            for (std::size_t k = 0; k < count; ++k) {
                const std::uint32_t bits = cells[k];
                if (!t.question(bits) || bits > settled || ((skip >> k) & 1u) != 0) continue;
                const std::size_t j = j0 + k;
                if (bits > (j == i ? diagonal : joins.joinWeight(i, j))) cells[k] = kAbsentBits;
            }
        }
        if (beaten) {
            forEachSetBit(beaten[j0 / 64], 0, [&](std::int64_t k) { cells[k] = kAbsentBits; });
        }
    }
}

}  // namespace

void finishWithJoins(const Matrix& m, const Thresholds& t, ThreadPool& pool, JoinOrder joins,
                     const BitRows* beaten, const DiagonalJoin& diagonal,
                     const Progress& progress) {
    joins.seal();
    checkCancelled();  // the last moment to stop: the pass below changes the matrix
    const std::uint32_t settled = joins.allJoinedBy();
    std::vector<std::vector<std::uint32_t>> links(
        settled == kNoMagnitude ? static_cast<std::size_t>(pool.size()) : 0,
        std::vector<std::uint32_t>(side(m)));
    pool.parallelFor(
        0, static_cast<std::int64_t>(side(m)),
        [&](std::int64_t begin, std::int64_t end, int worker) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                const std::uint64_t* const beatenRow = beaten ? beaten->row(i) : nullptr;
                if (settled == kNoMagnitude) {
                    finishRowByRuns(cellsOf(m, i), i, side(m), t, joins, beatenRow, diagonal(i),
                                    links[static_cast<std::size_t>(worker)].data());
                } else {
                    finishRowJoined(cellsOf(m, i), i, side(m), t, joins, settled, beatenRow,
                                    diagonal(i));
                }
                // The calling thread's share of the rows stands for everyone's.
                if (worker == 0 && progress && (i + 1 - begin) % 64 == 0) {
                    progress(double(i + 1 - begin) / double(end - begin));
                }
            }
        });
}

}  // namespace fwprune::cpu::ordered
