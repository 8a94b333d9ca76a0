// Plain references of both jobs, written for clarity rather than speed: the one place the tests
// and the fuzz targets (and, through them, every engine and route) take the expected results from.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fwprune::testing {

// Cell (i, j) survives when it is an edge and no walk of two or more edges leads from i to j.
// Computed from reachability by search, independently of the sweeps' in-place marking.
inline std::vector<std::uint8_t> referenceReduction(const std::vector<std::uint8_t>& cells, int n) {
    std::vector<std::vector<int>> successors(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (cells[std::size_t(i) * n + j] != 0) successors[std::size_t(i)].push_back(j);
        }
    }
    // reach[k * n + j]: a walk of one or more edges leads from k to j.
    std::vector<std::uint8_t> reach(cells.size(), 0);
    std::vector<int> stack;
    for (int start = 0; start < n; ++start) {
        std::uint8_t* const row = &reach[std::size_t(start) * n];
        stack.assign(1, start);
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            for (const int next : successors[std::size_t(at)]) {
                if (!row[next]) {
                    row[next] = 1;
                    stack.push_back(next);
                }
            }
        }
    }
    // An edge (i, j) is bypassed when some successor k of i (j itself included, when j lies on a
    // cycle) reaches j.
    std::vector<std::uint8_t> out(cells.size(), 0);
    for (int i = 0; i < n; ++i) {
        for (const int j : successors[std::size_t(i)]) {
            bool bypassed = false;
            for (const int k : successors[std::size_t(i)]) {
                bypassed = bypassed || reach[std::size_t(k) * n + j];
            }
            out[std::size_t(i) * n + j] = bypassed ? 0 : 1;
        }
    }
    return out;
}

// The n weakest-link sweeps and the threshold pass, written out step by step.
inline std::vector<float> referenceWeakestLink(std::vector<float> m, int n, float lower,
                                               float upper) {
    const auto at = [&](int i, int j) -> float& { return m[std::size_t(i) * n + j]; };
    for (int k = 0; k < n; ++k) {
        for (int i = 0; i < n; ++i) {
            const float legIK = std::fabs(at(i, k));
            for (int j = 0; j < n; ++j) {
                const float v = at(i, j);
                if (!(v > lower || v < 0.0f)) continue;
                const float legKJ = std::fabs(at(k, j));
                float weakest;
                if (std::isnan(legIK))
                    weakest = legKJ;
                else if (std::isnan(legKJ))
                    weakest = legIK;
                else
                    weakest = legIK > legKJ ? legIK : legKJ;
                if (weakest < std::fabs(v)) at(i, j) = -weakest;
            }
        }
    }
    for (float& v : m) {
        if (std::signbit(v) || upper <= v) v = 2.0f;
    }
    return m;
}

}  // namespace fwprune::testing
