// The find of a union-find forest kept as leader links (leader[x] == x for a root).
#pragma once

#include <cstdint>

namespace fwprune {

// The root of x's tree, halving the path on the way so later finds are short.
template <typename Leaders>
inline std::uint32_t findLeader(Leaders& leader, std::uint32_t x) {
    while (leader[x] != x) x = leader[x] = leader[leader[x]];
    return x;
}

}  // namespace fwprune
