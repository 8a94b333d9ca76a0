// Plain references of the weakest-link job, written for clarity rather than speed; shared by the
// tests and the fuzz targets.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace fwprune::testing {

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
