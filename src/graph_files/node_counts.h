// The counts of the graph read last, as the readers leave them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/graphs.h"

namespace fwprune {

// n and n*n of the graph read last by the calling thread. Kept per thread so that calls running
// at the same time on different threads never see each other's sizes; the writers and pipelines
// take n from the matrix they are given rather than from here.
extern thread_local std::int32_t nodeCount;
extern thread_local std::int32_t cellCount;

// n*n as the 32-bit cell count, or a TooLarge error naming the file when it does not fit.
std::int32_t checkedCellCount(std::int64_t n, const std::string& path);

}  // namespace fwprune
