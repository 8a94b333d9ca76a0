// An edge as one 64-bit record, source << 32 | target: sorting records sorts edges by source, then
// target, and a graph of m edges takes 8m bytes.
#pragma once

#include <cstdint>

namespace fwprune {

struct EdgeRecord {
    static constexpr std::uint64_t pack(std::uint32_t source, std::uint32_t target) {
        return std::uint64_t{source} << 32 | target;
    }
    static constexpr std::uint32_t source(std::uint64_t record) {
        return static_cast<std::uint32_t>(record >> 32);
    }
    static constexpr std::uint32_t target(std::uint64_t record) {
        return static_cast<std::uint32_t>(record);
    }
};

}  // namespace fwprune
