// Host forms of the two graphs, and the counts of the graph read last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/cell_values.h"

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

// A graph as its edge records, source << 32 | target (both node numbers >= 0), in file order,
// repeats included. n is the largest node number read plus one (it may exceed 2^31 - 1 by one).
struct EdgeRecords {
    std::int64_t n = 0;
    std::vector<std::uint64_t> records;
};

// n and n*n of the graph read last by the calling thread. Kept per thread so that calls running
// at the same time on different threads never see each other's sizes; the writers and pipelines
// take n from the matrix they are given rather than from here.
extern thread_local std::int32_t nodeCount;
extern thread_local std::int32_t cellCount;

// n*n as the 32-bit cell count, or a TooLarge error naming the file when it does not fit.
std::int32_t checkedCellCount(std::int64_t n, const std::string& path);

}  // namespace fwprune
