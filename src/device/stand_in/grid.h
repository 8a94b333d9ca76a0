// Runs a kernel's host-compiled source over a grid on the CPU stand-in (execution model and its
// barrier rule: emulation.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/parallel.h"
#include "device/kernel_table.h"
#include "device/stand_in/emulation.h"

namespace fwprune::emulated {

// Barriers passed by the emulated thread running on this host thread.
int& barriersPassedByThisThread();

template <typename... Parameters, std::size_t... I>
void callWithArguments(void (*kernel)(Parameters...), void* const* args,
                       std::index_sequence<I...>) {
    // Copy each argument out first: an argument buffer gives no alignment guarantee.
    std::tuple<std::remove_cv_t<Parameters>...> values;
    (std::memcpy(&std::get<I>(values), args[I], sizeof(Parameters)), ...);
    kernel(std::get<I>(values)...);
}

// Runs every block of the grid, blocks in parallel on the pool and the threads of each block one
// after another in index order. args[p] points to the value of parameter p. Returns false when
// some thread passed more than one barrier, or the threads of a block disagreed on passing one.
template <typename... Parameters>
bool runGrid(void (*kernel)(Parameters...), LaunchShape grid, LaunchShape block, void* const* args,
             ThreadPool& pool) {
    const std::int64_t blocks = std::int64_t{grid.x} * grid.y * grid.z;
    std::atomic<bool> brokeRule{false};
    pool.parallelFor(0, blocks, [&](std::int64_t begin, std::int64_t end, int) {
        gridDim = {grid.x, grid.y, grid.z};
        blockDim = {block.x, block.y, block.z};
        int& barriers = barriersPassedByThisThread();
        for (std::int64_t b = begin; b < end; ++b) {
            blockIdx.x = static_cast<unsigned int>(b % grid.x);
            blockIdx.y = static_cast<unsigned int>(b / grid.x % grid.y);
            blockIdx.z = static_cast<unsigned int>(b / grid.x / grid.y);
            bool anyPassed = false;
            bool anySkipped = false;
            for (unsigned int z = 0; z < block.z; ++z) {
                for (unsigned int y = 0; y < block.y; ++y) {
                    for (unsigned int x = 0; x < block.x; ++x) {
                        threadIdx = {x, y, z};
                        barriers = 0;
                        callWithArguments(kernel, args, std::index_sequence_for<Parameters...>{});
                        if (barriers > 1) brokeRule = true;
                        (barriers == 1 ? anyPassed : anySkipped) = true;
                    }
                }
            }
            if (anyPassed && anySkipped) brokeRule = true;
        }
    });
    return !brokeRule;
}

}  // namespace fwprune::emulated
