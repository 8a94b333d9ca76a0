#include "cpu/weakest_link_witnesses.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <utility>

#include "common/cell_values.h"

namespace fwprune::cpu {
namespace {

constexpr float kUnreached = std::numeric_limits<float>::infinity();

}  // namespace

bool WeakestLinkWitnesses::replaced(float input, float output, float upper) {
    return output == WEIGHT_ABSENT && !(input == WEIGHT_ABSENT) && !std::signbit(input) &&
           input < upper;
}

WeakestLinkWitnesses::WeakestLinkWitnesses(const float* input, const float* output, std::int64_t n,
                                           float upper)
    : input_(input), n_(n) {
    const auto cells = static_cast<std::size_t>(n);
    // A leg can beat a cell only when lighter than it, and every replaced cell is below upper.
    const auto isLeg = [&](std::size_t i, std::size_t j) {
        const float v = input[i * cells + j];
        return i != j && !std::isnan(v) && std::fabs(v) < upper &&
               !replaced(v, output[i * cells + j], upper);
    };
    out_.offset.assign(cells + 1, 0);
    in_.offset.assign(cells + 1, 0);
    for (std::size_t i = 0; i < cells; ++i) {
        for (std::size_t j = 0; j < cells; ++j) {
            if (!isLeg(i, j)) continue;
            ++out_.offset[i + 1];
            ++in_.offset[j + 1];
        }
    }
    for (std::size_t x = 0; x < cells; ++x) {
        out_.offset[x + 1] += out_.offset[x];
        in_.offset[x + 1] += in_.offset[x];
    }
    out_.legs.resize(out_.offset[cells]);
    in_.legs.resize(in_.offset[cells]);
    std::vector<std::size_t> inNext(in_.offset.begin(), in_.offset.end() - 1);
    for (std::size_t i = 0; i < cells; ++i) {
        std::size_t next = out_.offset[i];
        for (std::size_t j = 0; j < cells; ++j) {
            if (!isLeg(i, j)) continue;
            const float weight = std::fabs(input[i * cells + j]);
            out_.legs[next++] = {static_cast<std::uint32_t>(j), weight};
            in_.legs[inNext[j]++] = {static_cast<std::uint32_t>(i), weight};
        }
    }
    // The two nodes with the most legs make good hubs: many short walks pass through them.
    std::vector<std::pair<std::size_t, std::uint32_t>> degree(cells);
    for (std::size_t x = 0; x < cells; ++x) {
        degree[x] = {out_.offset[x + 1] - out_.offset[x] + in_.offset[x + 1] - in_.offset[x],
                     static_cast<std::uint32_t>(x)};
    }
    const std::size_t hubs = std::min<std::size_t>(2, cells);
    std::partial_sort(degree.begin(), degree.begin() + static_cast<std::ptrdiff_t>(hubs),
                      degree.end(), std::greater<>());
    std::vector<std::uint32_t> previous;
    for (std::size_t k = 0; k < hubs; ++k) {
        hubs_.push_back(degree[k].second);
        toHub_.emplace_back();
        fromHub_.emplace_back();
        search(in_, degree[k].second, kUnreached, toHub_.back(), previous);
        search(out_, degree[k].second, kUnreached, fromHub_.back(), previous);
    }
}

void WeakestLinkWitnesses::search(const Graph& g, std::uint32_t source, float bound,
                                  std::vector<float>& distance,
                                  std::vector<std::uint32_t>& previous) const {
    distance.assign(static_cast<std::size_t>(n_), kUnreached);
    previous.assign(static_cast<std::size_t>(n_), CellWitness::kNone);
    using Entry = std::pair<float, std::uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    distance[source] = 0;
    queue.push({0.0f, source});
    while (!queue.empty()) {
        const auto [reach, x] = queue.top();
        queue.pop();
        if (reach >= bound) break;
        if (reach > distance[x]) continue;
        for (std::size_t e = g.offset[x]; e < g.offset[x + 1]; ++e) {
            const Leg& leg = g.legs[e];
            const float through = std::max(reach, leg.weight);
            if (through < distance[leg.node]) {
                distance[leg.node] = through;
                previous[leg.node] = x;
                queue.push({through, leg.node});
            }
        }
    }
}

void WeakestLinkWitnesses::explainRow(std::uint32_t row, const std::uint32_t* columns,
                                      std::size_t count, CellWitness* out) const {
    const auto cells = static_cast<std::size_t>(n_);
    float pendingBound = 0;
    bool pending = false;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t j = columns[k];
        const float cell = input_[std::size_t{row} * cells + j];
        out[k] = CellWitness{};
        for (std::size_t h = 0; h < hubs_.size(); ++h) {
            if (hubs_[h] == row || hubs_[h] == j) continue;
            const float walk = std::max(toHub_[h][row], fromHub_[h][j]);
            if (walk < cell && (out[k].via == CellWitness::kNone || walk < out[k].value))
                out[k] = {hubs_[h], walk};
        }
        if (out[k].via == CellWitness::kNone) {
            pending = true;
            pendingBound = std::max(pendingBound, cell);
        }
    }
    if (!pending) return;
    // The rare cells no hub beats: one search from the row's node, as far as the heaviest of them.
    thread_local std::vector<float> distance;
    thread_local std::vector<std::uint32_t> previous;
    search(out_, row, std::nextafter(pendingBound, kUnreached), distance, previous);
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t j = columns[k];
        if (out[k].via != CellWitness::kNone) continue;
        const float cell = input_[std::size_t{row} * cells + j];
        if (j != row) {
            if (distance[j] < cell && previous[j] != row) out[k] = {previous[j], distance[j]};
            continue;
        }
        // The diagonal: a walk back to the row's node, through the best of its predecessors.
        for (std::size_t e = in_.offset[row]; e < in_.offset[row + 1]; ++e) {
            const Leg& leg = in_.legs[e];
            const float walk = std::max(distance[leg.node], leg.weight);
            if (walk < cell && (out[k].via == CellWitness::kNone || walk < out[k].value))
                out[k] = {leg.node, walk};
        }
    }
}

}  // namespace fwprune::cpu
