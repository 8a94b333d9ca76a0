#include "graph_files/graph_matrices.h"

#include <limits>

#include "common/error.h"

namespace fwprune {

thread_local std::int32_t nodeCount = 0;
thread_local std::int32_t cellCount = 0;

std::int32_t checkedCellCount(std::int64_t n, const std::string& path) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    // n <= 46340 keeps n*n within a signed 32-bit count; test before multiplying.
    if (n < 0 || n > 46340 || n * n > limit) {
        fail(Status::TooLarge,
             describeAt(path, std::to_string(n) + " nodes need " + std::to_string(n) + "x" +
                                  std::to_string(n) + " cells, more than the limit of " +
                                  std::to_string(limit) + " cells (at most 46340 nodes)"));
    }
    return static_cast<std::int32_t>(n * n);
}

}  // namespace fwprune
