// A caller's square matrix seen in place: n rows of n cells, rows rowStride cells apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fwprune {

template <typename Cell>
struct MatrixView {
    Cell* data = nullptr;
    std::int64_t n = 0;
    std::size_t rowStride = 0;  // >= n

    Cell* row(std::int64_t i) const { return data + static_cast<std::size_t>(i) * rowStride; }
};

}  // namespace fwprune
