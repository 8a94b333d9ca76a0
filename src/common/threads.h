// How many threads a job runs on. One place decides, so that the C API, the pools and the engines
// agree.
#pragma once

#include <string>

#include "fwprune.h"

namespace fwprune {

constexpr int kMaxThreads = FWPRUNE_MAX_THREADS;

// The processors this process may run on: its CPU affinity mask, bounded by a cgroup v2
// cpu.max quota of its cgroup or any parent (rounded up; read once per process). At least 1.
int usableProcessorCount();

// requested when above 0; else FWPRUNE_NUM_THREADS when it is set to a count above 0; else
// usableProcessorCount(). Throws an InvalidArgument Error for a count above kMaxThreads, a
// negative one, or an environment value that is not a whole number from 0 to kMaxThreads.
int resolveThreadCount(int requested);

namespace detail {

// The tightest "quota period" limit in the cpu.max files of the cgroup v2 that membershipFile
// (read as /proc/self/cgroup is) names and of each of its parents up to the root of the
// hierarchy mounted at `hierarchy`, in whole processors rounded up (1 to kMaxThreads); 0 when
// none applies.
int cgroupCpuQuota(const std::string& membershipFile, const std::string& hierarchy);

}  // namespace detail

}  // namespace fwprune
