// What the engines, the pipelines and the C API work on: a graph's host forms.
#pragma once

#include <cstdint>
#include <vector>

#include "common/cell_values.h"
#include "common/edge_record.h"

namespace fwprune {

// n x n cells, row-major, rows n bytes apart: cell (i, j) is the pair from node i to node j.
struct ByteAdjacencyMatrix {
    std::int32_t n = 0;
    std::vector<std::uint8_t> cells;
};

// n x n 32-bit floats, row-major, rows n floats apart on the host.
struct WeightMatrix {
    std::int32_t n = 0;
    std::vector<float> cells;
};

// A graph as its edge records (EdgeRecord: source << 32 | target, both node numbers >= 0), in file
// order, repeats included. n is the largest node number read plus one (it may exceed 2^31 - 1 by
// one).
struct EdgeRecords {
    std::int64_t n = 0;
    std::vector<std::uint64_t> records;
};

}  // namespace fwprune
