// Cell values shared by the files, the kernels and the CPU engine.
#pragma once

#include <cstdint>

namespace fwprune {

// Byte adjacency matrix cells.
constexpr std::uint8_t CELL_EMPTY = 0;    // no edge
constexpr std::uint8_t CELL_EDGE = 1;     // a direct edge read from the file
constexpr std::uint8_t CELL_IMPLIED = 2;  // connected through an intermediate node (sweeps only)

// Weight matrix cell value that marks a pair with no edge.
constexpr float WEIGHT_ABSENT = 2.0f;

}  // namespace fwprune
