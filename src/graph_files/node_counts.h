// The size check every dense form of a graph passes: n x n cells must fit the 32-bit cell count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/graphs.h"

namespace fwprune {

// n*n as the 32-bit cell count, or a TooLarge error naming the file when it does not fit.
std::int32_t checkedCellCount(std::int64_t n, const std::string& path);

}  // namespace fwprune
