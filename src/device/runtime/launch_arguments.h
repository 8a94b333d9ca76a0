// The arguments of the launch being configured, pushed one at a time at their offsets and
// checked against the kernel's parameters before the launch, on every runtime.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "device/kernel_table.h"

namespace fwprune {

class LaunchArguments {
  public:
    static constexpr std::size_t kParameterSpace = 4096;

    // A new launch was configured: forget earlier pushes.
    void begin() {
        configured_ = true;
        pushed_.clear();
    }

    void push(const void* argument, std::size_t size, std::size_t offset) {
        if (!configured_)
            fail(Status::Device, "kernel argument pushed before a launch was configured");
        if (size == 0 || offset > kParameterSpace || size > kParameterSpace - offset) {
            fail(Status::Device, "kernel argument of " + std::to_string(size) +
                                     " bytes at offset " + std::to_string(offset) +
                                     " exceeds the parameter space");
        }
        std::memcpy(buffer_ + offset, argument, size);
        pushed_.push_back({offset, size});
    }

    // Checks the pushes against the kernel's parameters and fills args[p] with the address of
    // parameter p. The launch must then be configured again before the next one.
    void finish(KernelId kernel, void* args[kMaxKernelParameters]) {
        const KernelSignature& signature = kernelSignature(kernel);
        if (!configured_) {
            fail(Status::Device,
                 std::string("launch of ") + signature.name + " was not configured");
        }
        configured_ = false;
        bool matches = static_cast<int>(pushed_.size()) == signature.parameterCount;
        for (int p = 0; matches && p < signature.parameterCount; ++p) {
            matches =
                pushed_[p].offset == signature.offsets[p] && pushed_[p].size == signature.sizes[p];
        }
        if (!matches) {
            fail(Status::Device, std::string("arguments pushed for ") + signature.name +
                                     " do not match its parameters");
        }
        for (int p = 0; p < signature.parameterCount; ++p) args[p] = buffer_ + signature.offsets[p];
    }

  private:
    struct Pushed {
        std::size_t offset, size;
    };
    bool configured_ = false;
    alignas(16) unsigned char buffer_[kParameterSpace] = {};
    std::vector<Pushed> pushed_;
};

}  // namespace fwprune
