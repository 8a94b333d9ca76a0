// Witnesses for the redundant edges of a ranked DAG.
//
// The nodes are processed from the top rank down. Node u keeps a row of bits over the window of
// ranks u+1 .. u+H saying which of them u reaches: the OR of its successors' rows, each shifted by
// the successor's distance, plus the successors themselves. Successors are taken in ascending
// rank, so a successor v whose bit is already set is reached through a lower one, and that lower
// one is found among the successors whose rows went into the OR (only kept edges add a row) by
// one bit test each. An edge longer than the window is answered by searches from u's lower
// successors, one after the other, through the ranks below v; a search stops at every node whose
// row covers v, and the successor it started from is the witness. A node with many long edges
// runs one search from all of its successors instead, remembering which successor reached each
// node first.

#include "cpu/reduction_witnesses.h"

#include <algorithm>

#include "common/aligned_memory.h"
#include "common/bit_rows.h"
#include "common/cancel.h"

namespace fwprune::cpu {
namespace {

// Unsigned, so rank arithmetic stays in 32 bits.
constexpr std::uint32_t kRowBits = kWordBits;

class WitnessSearch {
    // Past this many edges longer than the window, a node's edges share one search.
    static constexpr std::uint32_t kSearchesPerNode = 8;

  public:
    WitnessSearch(const RankedDag& g, const ProgressFunction& progress, std::uint32_t windowWords)
        : g_(g) {
        const auto n = static_cast<std::uint32_t>(g.offset.size() - 1);
        chooseWindow(n);
        if (windowWords > 0) {
            words_ = windowWords;
            window_ = words_ * kRowBits;
        }
        // Every row is written before it is read (successors rank higher), so no zero-fill.
        rows_ = AlignedArray<Word>(std::size_t{n} * words_, false);
        witness_.assign(g.target.size(), kNoWitness);
        std::vector<Word> reach(words_);
        const std::uint32_t reportEvery = std::max<std::uint32_t>(n / 64, 4096);
        for (std::uint32_t u = n; u-- > 0;) {
            std::fill(reach.begin(), reach.end(), 0);
            const std::uint32_t first = g.offset[u];
            const std::uint32_t last = g.offset[u + 1];
            std::uint32_t near = first;
            for (; near < last && g.target[near] - u <= window_; ++near) {
                const std::uint32_t v = g.target[near];
                const std::uint32_t bit = v - u - 1;
                if ((reach[bit / kRowBits] >> (bit % kRowBits)) & 1u) {
                    witness_[near] = lowerReaching(first, near, v);
                    continue;
                }
                orShifted(reach.data(), row(v), words_, v - u);
                reach[bit / kRowBits] |= Word{1} << (bit % kRowBits);
            }
            if (last - near > kSearchesPerNode)
                searchFromAll(u, near);
            else
                for (std::uint32_t e = near; e < last; ++e) witness_[e] = searchBelow(u, e);
            std::copy(reach.begin(), reach.end(), row(u));
            if (u % reportEvery == 0) {
                pollCancelled();
                if (progress) {
                    progress(double(g.target.size() - first) /
                             double(std::max<std::size_t>(g.target.size(), 1)));
                }
            }
        }
    }

    std::vector<std::uint32_t> take() { return std::move(witness_); }

  private:
    // The window's width in words that costs least over the graph's edge lengths, within 64 MiB
    // of rows: each edge inside it costs a pass over a row, each edge beyond it a search, counted
    // as 64 words per successor a node has on average.
    void chooseWindow(std::uint32_t n) {
        constexpr std::uint64_t kBudgetBits = std::uint64_t{64} << 23;
        const std::uint64_t searchCost =
            64 * (g_.target.size() / std::max<std::uint32_t>(n, 1) + 1);
        const auto affordable = static_cast<std::uint32_t>(
            std::clamp<std::uint64_t>(kBudgetBits / kRowBits / std::max<std::uint32_t>(n, 1), 1,
                                      (std::uint64_t{n} + kRowBits - 1) / kRowBits));
        std::vector<std::uint64_t> longer(std::size_t{affordable} + 1);  // edges over w words
        for (std::uint32_t u = 0; u < n; ++u) {
            for (std::uint32_t e = g_.offset[u]; e < g_.offset[u + 1]; ++e) {
                const std::uint32_t words = (g_.target[e] - u + kRowBits - 1) / kRowBits;
                ++longer[std::min(words, affordable + 1) - 1];
            }
        }
        for (std::uint32_t w = affordable; w-- > 0;) longer[w] += longer[w + 1];
        std::uint64_t best = ~std::uint64_t{0};
        for (std::uint32_t w = 1; w <= affordable; ++w) {
            const std::uint64_t cost = (g_.target.size() - longer[w]) * w + longer[w] * searchCost;
            if (cost < best) {
                best = cost;
                words_ = w;
            }
        }
        window_ = words_ * kRowBits;
    }

    Word* row(std::uint32_t u) { return rows_.get() + std::size_t{u} * words_; }

    bool rowCovers(std::uint32_t x, std::uint32_t v) {
        const std::uint32_t bit = v - x - 1;
        return (row(x)[bit / kRowBits] >> (bit % kRowBits)) & 1u;
    }

    // Among the kept successors target[first .. end), all within the window of v, one whose row
    // holds v.
    std::uint32_t lowerReaching(std::uint32_t first, std::uint32_t end, std::uint32_t v) {
        for (std::uint32_t f = first; f < end; ++f)
            if (witness_[f] == kNoWitness && rowCovers(g_.target[f], v)) return g_.target[f];
        return kNoWitness;  // not reached: the bit came from one of these rows
    }

    // Searches are rare on most graphs: their marks are allocated at the first.
    void newStamp() {
        if (seen_.empty()) {
            seen_.assign(g_.offset.size() - 1, 0);
            owner_.assign(g_.offset.size() - 1, 0);
        }
        if (++stamp_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            stamp_ = 1;
        }
    }

    // Edge e = (u, v), longer than the window: searches from u's successors below v, in turn,
    // through nodes ranked below v. Nodes one search met and left do not reach v, so the next
    // search skips them.
    std::uint32_t searchBelow(std::uint32_t u, std::uint32_t e) {
        const std::uint32_t v = g_.target[e];
        newStamp();
        for (std::uint32_t f = g_.offset[u]; f < e; ++f) {
            const std::uint32_t start = g_.target[f];
            if (seen_[start] == stamp_) continue;
            seen_[start] = stamp_;
            stack_.assign(1, start);
            while (!stack_.empty()) {
                const std::uint32_t x = stack_.back();
                stack_.pop_back();
                if (v - x <= window_) {
                    if (rowCovers(x, v)) return start;
                    continue;
                }
                for (std::uint32_t s = g_.offset[x]; s < g_.offset[x + 1]; ++s) {
                    const std::uint32_t y = g_.target[s];
                    if (y >= v) {
                        if (y == v) return start;
                        break;
                    }
                    if (seen_[y] != stamp_) {
                        seen_[y] = stamp_;
                        stack_.push_back(y);
                    }
                }
            }
        }
        return kNoWitness;
    }

    // The long edges of u, from edge `near` on, when there are many: one search from each
    // successor in turn marks what it reaches below the farthest target, and which successor
    // got there first.
    void searchFromAll(std::uint32_t u, std::uint32_t near) {
        const std::uint32_t last = g_.offset[u + 1];
        const std::uint32_t farthest = g_.target[last - 1];
        newStamp();
        for (std::uint32_t f = g_.offset[u]; f < last; ++f) {
            const std::uint32_t start = g_.target[f];
            stack_.assign(1, start);
            while (!stack_.empty()) {
                const std::uint32_t x = stack_.back();
                stack_.pop_back();
                for (std::uint32_t s = g_.offset[x]; s < g_.offset[x + 1]; ++s) {
                    const std::uint32_t y = g_.target[s];
                    if (y > farthest) break;
                    if (seen_[y] != stamp_) {
                        seen_[y] = stamp_;
                        owner_[y] = start;
                        stack_.push_back(y);
                    }
                }
            }
        }
        for (std::uint32_t e = near; e < last; ++e) {
            const std::uint32_t v = g_.target[e];
            if (seen_[v] == stamp_) witness_[e] = owner_[v];
        }
    }

    const RankedDag& g_;
    std::uint32_t words_ = 1;
    std::uint32_t window_ = kRowBits;
    AlignedArray<Word> rows_{0, false};
    std::vector<std::uint32_t> witness_;
    std::vector<std::uint32_t> seen_;
    std::vector<std::uint32_t> owner_;
    std::uint32_t stamp_ = 0;
    std::vector<std::uint32_t> stack_;
};

}  // namespace

RankedDag rankedDagOf(const std::vector<std::uint64_t>& edges, std::uint32_t nodes) {
    RankedDag g;
    g.offset.assign(std::size_t{nodes} + 1, 0);
    g.target.resize(edges.size());
    for (std::size_t e = 0; e < edges.size(); ++e) {
        ++g.offset[(edges[e] >> 32) + 1];
        g.target[e] = static_cast<std::uint32_t>(edges[e]);
    }
    for (std::uint32_t x = 0; x < nodes; ++x) g.offset[x + 1] += g.offset[x];
    return g;
}

std::vector<std::uint32_t> findWitnesses(const RankedDag& graph, const ProgressFunction& progress,
                                         std::uint32_t windowWords) {
    if (graph.offset.size() < 2) return {};
    return WitnessSearch(graph, progress, windowWords).take();
}

}  // namespace fwprune::cpu
