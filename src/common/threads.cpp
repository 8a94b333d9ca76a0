#include "common/threads.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "common/error.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace fwprune {
namespace {

#if defined(__linux__)
int affinityCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    return CPU_COUNT(&set);
}

}  // namespace

namespace detail {

int cgroupCpuQuota(const std::string& membershipFile, const std::string& hierarchy) {
    std::ifstream membership(membershipFile);
    std::string line, path;
    while (std::getline(membership, line)) {
        if (line.rfind("0::", 0) == 0) path = line.substr(3);  // the unified (v2) hierarchy
    }
    if (path.empty() || path.front() != '/') return 0;
    int limit = 0;
    for (;;) {
        std::ifstream file(hierarchy + (path == "/" ? std::string() : path) + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (file >> quota >> period && quota != "max" && period > 0) {
            const long long q = std::atoll(quota.c_str());
            if (q > 0) {
                const int processors = static_cast<int>(
                    std::clamp<long long>((q + period - 1) / period, 1, kMaxThreads));
                limit = limit == 0 ? processors : std::min(limit, processors);
            }
        }
        if (path == "/") return limit;
        const std::size_t slash = path.find_last_of('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

}  // namespace detail

namespace {

int cgroupQuota() {
    return detail::cgroupCpuQuota("/proc/self/cgroup", "/sys/fs/cgroup");
}
#endif

[[noreturn]] void badEnvironment(const char* value) {
    fail(Status::InvalidArgument, std::string("FWPRUNE_NUM_THREADS='") + value +
                                      "' is not a whole number from 0 to " +
                                      std::to_string(kMaxThreads));
}

// FWPRUNE_NUM_THREADS, or 0 when it is unset, empty or 0.
int threadsFromEnvironment() {
    const char* const value = std::getenv("FWPRUNE_NUM_THREADS");
    if (value == nullptr || *value == '\0') return 0;
    long long count = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') badEnvironment(value);
        count = count * 10 + (*p - '0');
        if (count > kMaxThreads) badEnvironment(value);
    }
    return static_cast<int>(count);
}

}  // namespace

int usableProcessorCount() {
    int count = 0;
#if defined(__linux__)
    count = affinityCount();
#endif
    // Only where the mask is unknown: glibc reads a file for this on every call.
    if (count <= 0) count = static_cast<int>(std::thread::hardware_concurrency());
#if defined(__linux__)
    // Read once: a process's cgroup rarely changes under it, and reading it costs file accesses
    // on every call (its affinity may change, and costs one system call).
    static const int quota = cgroupQuota();
    if (quota > 0) count = std::min(count, quota);
#endif
    return std::clamp(count, 1, kMaxThreads);
}

int resolveThreadCount(int requested) {
    if (requested < 0) {
        fail(Status::InvalidArgument, "thread count " + std::to_string(requested) + " is negative");
    }
    if (requested > kMaxThreads) {
        fail(Status::InvalidArgument, "thread count " + std::to_string(requested) +
                                          " exceeds the limit of " + std::to_string(kMaxThreads));
    }
    if (requested > 0) return requested;
    if (const int fromEnvironment = threadsFromEnvironment(); fromEnvironment > 0) {
        return fromEnvironment;
    }
    return usableProcessorCount();
}

}  // namespace fwprune
