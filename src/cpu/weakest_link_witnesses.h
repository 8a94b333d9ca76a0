// Why a cell of a weight matrix was replaced: a node of a better path, and that path's weakest
// link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace fwprune::cpu {

struct CellWitness {
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t via = kNone;  // a node w other than the cell's two, on a better walk
    float value = 0;            // the heaviest leg (magnitude) of that walk
};

// Built from a matrix before and after pruning (n x n, rows n floats apart). A cell was replaced
// when it held a weight with clear sign below `upper` and ended absent. Every replaced cell has a
// walk through other nodes whose legs are all lighter than it, and the legs that can lie on one
// are the cells that were neither replaced nor at or above `upper`: a replaced leg has a lighter
// walk of its own. Those legs form a graph that pruning leaves sparse, in which a minimax search
// names a witness: first through two hubs (the walk cell's row -> hub -> cell's column, whose
// weakest link answers most cells), then, for the few cells no hub beats, a search from the row's
// node that stops at the heaviest of them. Throws std::bad_alloc when memory is short.
class WeakestLinkWitnesses {
  public:
    WeakestLinkWitnesses(const float* input, const float* output, std::int64_t n, float upper);

    // Whether a cell that held `input` and ends as `output` was replaced.
    static bool replaced(float input, float output, float upper);

    // The witnesses of the replaced cells (row, columns[k]), into out[k]. A cell of a matrix
    // holding a NaN may have none: there the sweeps' order decides. Safe to call from several
    // threads at once.
    void explainRow(std::uint32_t row, const std::uint32_t* columns, std::size_t count,
                    CellWitness* out) const;

  private:
    struct Leg {
        std::uint32_t node;
        float weight;  // magnitude
    };
    struct Graph {
        std::vector<std::size_t> offset;
        std::vector<Leg> legs;
    };
    // Minimax distances from source over g, with each node's predecessor, exact below `bound`.
    void search(const Graph& g, std::uint32_t source, float bound, std::vector<float>& distance,
                std::vector<std::uint32_t>& previous) const;

    const float* input_;
    std::int64_t n_;
    Graph out_;
    Graph in_;
    std::vector<std::uint32_t> hubs_;
    std::vector<std::vector<float>> toHub_;    // toHub_[h][x]: weakest link of x -> ... -> hub h
    std::vector<std::vector<float>> fromHub_;  // fromHub_[h][x]: of hub h -> ... -> x
};

}  // namespace fwprune::cpu
