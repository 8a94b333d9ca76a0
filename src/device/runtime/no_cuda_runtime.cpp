// Built when no CUDA compiler was found: the library then runs on the CPU only.
#include "device/runtime/device_runtime.h"

namespace fwprune {

bool cudaDeviceAvailable() {
    return false;
}

std::unique_ptr<DeviceRuntime> openCudaRuntime() {
    return nullptr;
}

}  // namespace fwprune
