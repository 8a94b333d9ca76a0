// Every device failure the stand-in can be told to produce ends the job with an error and no
// output file; none yields a result with missing sweeps that looks like success.
#include <gtest/gtest.h>

#include "common/error.h"
#include "device/runtime/device_jobs.h"
#include "pipelines/pipelines.h"
#include "test_support.h"

namespace fwprune {
namespace {

struct FaultCase {
    StandInFault fault;
    int afterCalls;
    Status expected;
};

class DeviceFaults : public ::testing::TestWithParam<FaultCase> {
  protected:
    void TearDown() override { injectStandInFault(StandInFault::None); }
};

TEST_P(DeviceFaults, FailTheJobAndWriteNothing) {
    const FaultCase& c = GetParam();
    testing::ScratchDir dir;
    testing::writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n2 edge 3\n");
    testing::writeText(dir.file("w.txt"), "0 0.2 0.9\n2 0 0.3\n2 2 0\n");
    RunOptions options;
    options.backend = Backend::Emulated;

    injectStandInFault(c.fault, c.afterCalls);
    try {
        runTransitiveReductionPipeline(dir.file("g.txt"), dir.file("out.txt"), options);
        ADD_FAILURE() << "the reduction succeeded despite the fault";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), c.expected) << error.what();
        EXPECT_NE(std::string(error.what()).find("injected"), std::string::npos);
    }
    injectStandInFault(c.fault, c.afterCalls);
    try {
        runWeakestLinkPipeline(dir.file("w.txt"), dir.file("e.txt"), dir.file("m.txt"), 0.1f, 1.0f,
                               options);
        ADD_FAILURE() << "the pruning succeeded despite the fault";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), c.expected) << error.what();
    }
    EXPECT_FALSE(testing::fileExists(dir.file("out.txt")));
    EXPECT_FALSE(testing::fileExists(dir.file("e.txt")));
    EXPECT_FALSE(testing::fileExists(dir.file("m.txt")));
}

std::string faultCaseName(const ::testing::TestParamInfo<FaultCase>& info) {
    static const char* const names[] = {"None",      "Allocation", "Copy",
                                        "Configure", "Argument",   "Launch"};
    return std::string(names[static_cast<int>(info.param.fault)]) + "After" +
           std::to_string(info.param.afterCalls);
}

// Failures at the first call and in the middle of the sweeps (a skipped sweep is the dangerous
// case: it would silently leave cells unpruned).
INSTANTIATE_TEST_SUITE_P(StandIn, DeviceFaults,
                         ::testing::Values(FaultCase{StandInFault::Allocation, 0,
                                                     Status::OutOfMemory},
                                           FaultCase{StandInFault::Copy, 0, Status::Device},
                                           FaultCase{StandInFault::Copy, 1, Status::Device},
                                           FaultCase{StandInFault::Configure, 0, Status::Device},
                                           FaultCase{StandInFault::Configure, 2, Status::Device},
                                           FaultCase{StandInFault::Argument, 0, Status::Device},
                                           FaultCase{StandInFault::Argument, 4, Status::Device},
                                           FaultCase{StandInFault::Launch, 1, Status::Device},
                                           FaultCase{StandInFault::Launch, 3, Status::Device}),
                         faultCaseName);

TEST(DeviceFaultSwitch, LeavesLaterRunsAlone) {
    injectStandInFault(StandInFault::Launch, 0);
    injectStandInFault(StandInFault::None);
    ByteAdjacencyMatrix m;
    m.n = 3;
    m.cells = {0, 1, 1, 0, 0, 1, 0, 0, 0};
    reduceTransitivelyOnDevice(*openEmulatedRuntime(1), m);
    EXPECT_EQ(m.cells, (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace fwprune
