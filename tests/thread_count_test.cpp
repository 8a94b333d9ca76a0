// How many threads a job runs on: the cgroup CPU quota that bounds the default count.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/threads.h"
#include "test_support.h"

namespace fwprune {
namespace {

#if defined(__linux__)
TEST(ThreadCount, TightestCgroupQuotaOnTheWayToTheRootBoundsTheCount) {
    // A hierarchy of our own: this process's cgroup is /a/b, and each case gives some of the
    // three folders on the way a cpu.max.
    struct Case {
        const char* name;
        std::string membership;
        std::vector<std::pair<std::string, std::string>> limits;  // folder, cpu.max
        int processors;
    };
    const Case cases[] = {
        {"no unified hierarchy", "4:memory:/a/b\n", {{"a/b", "100000 100000"}}, 0},
        {"no limit anywhere", "0::/a/b\n", {{"a/b", "max 100000"}, {"", "max 100000"}}, 0},
        {"own limit, rounded up", "1:cpu:/x\n0::/a/b\n", {{"a/b", "250000 100000"}}, 3},
        {"a parent's tighter limit",
         "0::/a/b\n",
         {{"a/b", "250000 100000"}, {"a", "150000 100000"}},
         2},
        {"the root's limit", "0::/a/b\n", {{"a", "max 100000"}, {"", "400000 100000"}}, 4},
        {"less than one processor", "0::/a/b\n", {{"a/b", "10000 100000"}}, 1},
        {"more processors than threads", "0::/a/b\n", {{"a", "1000000000 1000"}}, kMaxThreads},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        std::filesystem::create_directories(dir.file("root/a/b"));
        testing::writeText(dir.file("cgroup"), c.membership);
        for (const auto& [folder, limit] : c.limits) {
            testing::writeText(dir.file("root/" + folder + (folder.empty() ? "" : "/") + "cpu.max"),
                               limit + "\n");
        }
        EXPECT_EQ(detail::cgroupCpuQuota(dir.file("cgroup"), dir.file("root")), c.processors);
    }
}
#endif

}  // namespace
}  // namespace fwprune
