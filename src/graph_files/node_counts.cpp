#include "graph_files/node_counts.h"

#include <limits>

#include "common/error.h"
#include "fwprune.h"

namespace fwprune {

std::int32_t checkedCellCount(std::int64_t n, const std::string& path) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    // Test n before multiplying: n*n of a huge n would overflow even 64 bits.
    if (n < 0 || n > FWPRUNE_MAX_DENSE_NODES || n * n > limit) {
        fail(Status::TooLarge,
             describeAt(path, std::to_string(n) + " nodes need " + std::to_string(n) + "x" +
                                  std::to_string(n) + " cells, more than the limit of " +
                                  std::to_string(limit) + " cells (at most " +
                                  std::to_string(FWPRUNE_MAX_DENSE_NODES) + " nodes)"));
    }
    return static_cast<std::int32_t>(n * n);
}

}  // namespace fwprune
