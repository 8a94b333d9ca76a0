// Both jobs from file to file through the exported C API and the command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "fwprune.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::readText;
using testing::ScratchDir;
using testing::writeText;

fwpruneOptions backendOptions(fwpruneBackend backend) {
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = backend;
    return options;
}

// Every backend this machine can run.
std::vector<fwpruneBackend> backends() {
    std::vector<fwpruneBackend> list = {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_AUTO};
    if (fwpruneGetDefaultBackend() == FWPRUNE_BACKEND_GPU) list.push_back(FWPRUNE_BACKEND_GPU);
    return list;
}

std::string reduce(const std::string& input, fwpruneBackend backend = FWPRUNE_BACKEND_EMULATED) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), input);
    const fwpruneOptions options = backendOptions(backend);
    const fwpruneStatus status =
        runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("out.txt").c_str(), &options);
    EXPECT_EQ(status, FWPRUNE_OK) << fwpruneGetLastErrorMessage();
    return readText(dir.file("out.txt"));
}

TEST(TransitiveReductionPipeline, ReducesFromFileToFile) {
    for (const fwpruneBackend backend : backends()) {
        EXPECT_EQ(reduce("0 edge 1\n1 edge 2\n0 edge 2\n", backend), "0 edge 1\n1 edge 2\n");
        EXPECT_EQ(reduce("3 edge 7\n", backend), "3 edge 7\n");
        EXPECT_EQ(reduce("0 edge 1\n1 edge 0\n", backend), "");
        EXPECT_EQ(reduce("-4 edge -2\n", backend), "");
        EXPECT_EQ(reduce("", backend), "");
    }
}

TEST(TransitiveReductionPipeline, CreatesAnEmptyOutputWhenNoEdgeSurvives) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 edge 0\n");
    runTransitiveReduction(dir.file("in.txt").c_str(), dir.file("out.txt").c_str());
    EXPECT_TRUE(testing::fileExists(dir.file("out.txt")));
    EXPECT_EQ(readText(dir.file("out.txt")), "");
}

TEST(TransitiveReductionPipeline, OutputMayReplaceTheInput) {
    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 2\r\n0 edge 1\r\n1 edge 2");
    runTransitiveReduction(dir.file("g.txt").c_str(), dir.file("g.txt").c_str());
    EXPECT_EQ(readText(dir.file("g.txt")), "0 edge 1\n1 edge 2\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"g.txt"});
}

TEST(TransitiveReductionPipeline, BadInputReportsTheFileAndWritesNothing) {
    ScratchDir dir;
    writeText(dir.file("out.txt"), "previous\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("missing.txt").c_str(),
                                            dir.file("out.txt").c_str(), nullptr),
              FWPRUNE_ERROR_IO);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("missing.txt"), std::string::npos);

    writeText(dir.file("bad.txt"), "0 edge 1\n1 edge 99999999999\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("bad.txt").c_str(),
                                            dir.file("out.txt").c_str(), nullptr),
              FWPRUNE_ERROR_FORMAT);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("bad.txt:2:"), std::string::npos);
    EXPECT_EQ(readText(dir.file("out.txt")), "previous\n");

    writeText(dir.file("in.txt"), "0 edge 1\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(),
                                            dir.file("no/such/dir.txt").c_str(), nullptr),
              FWPRUNE_ERROR_IO);
    EXPECT_EQ(runTransitiveReductionChecked(nullptr, dir.file("out.txt").c_str(), nullptr),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    // The spec-shaped entry point reports through the same message.
    runTransitiveReduction(dir.file("missing.txt").c_str(), dir.file("out2.txt").c_str());
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("missing.txt"), std::string::npos);
    EXPECT_FALSE(testing::fileExists(dir.file("out2.txt")));
}

TEST(TransitiveReductionPipeline, RejectsBadOptions) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 edge 1\n");
    fwpruneOptions options = backendOptions(static_cast<fwpruneBackend>(9));
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("o.txt").c_str(), &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    options.threads = -1;
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("o.txt").c_str(), &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    options = backendOptions(FWPRUNE_BACKEND_GPU);
    if (fwpruneGetDefaultBackend() != FWPRUNE_BACKEND_GPU) {
        EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("o.txt").c_str(), &options),
                  FWPRUNE_ERROR_DEVICE);
        EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("no usable CUDA device"), std::string::npos);
    }
    EXPECT_FALSE(testing::fileExists(dir.file("o.txt")));
}

const char* const kThreeNodes =
    "0 0.2 0.9\n2 0 0.3\n2 2 0\n";

TEST(WeakestLinkPipeline, WritesTheMatrixAndItsEdgeList) {
    for (const fwpruneBackend backend : backends()) {
        ScratchDir dir;
        writeText(dir.file("w.txt"), kThreeNodes);
        const fwpruneOptions options = backendOptions(backend);
        ASSERT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                                 dir.file("m.txt").c_str(), 0.1f, 1.0f, &options),
                  FWPRUNE_OK)
            << fwpruneGetLastErrorMessage();
        EXPECT_EQ(readText(dir.file("m.txt")),
                  "0.000000e+000 2.000000e-001 2.000000e+000\n"
                  "2.000000e+000 0.000000e+000 3.000000e-001\n"
                  "2.000000e+000 2.000000e+000 0.000000e+000\n");
        EXPECT_EQ(readText(dir.file("e.txt")),
                  "0 edge 0\n0 edge 1\n1 edge 1\n1 edge 2\n2 edge 2\n");
    }
}

TEST(WeakestLinkPipeline, SamePathForBothOutputsEndsWithTheEdgeList) {
    ScratchDir dir;
    writeText(dir.file("w.txt"), kThreeNodes);
    runWeakestLinkReduction(dir.file("w.txt").c_str(), dir.file("w.txt").c_str(),
                            dir.file("w.txt").c_str(), 0.1f, 1.0f);
    EXPECT_EQ(readText(dir.file("w.txt")), "0 edge 0\n0 edge 1\n1 edge 1\n1 edge 2\n2 edge 2\n");
}

TEST(WeakestLinkPipeline, ShortMatrixIsAnErrorAndWritesNothing) {
    ScratchDir dir;
    writeText(dir.file("w.txt"), "0 0.2 0.9\n2 0 0.3\n");
    EXPECT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                             dir.file("m.txt").c_str(), 0.1f, 1.0f, nullptr),
              FWPRUNE_ERROR_FORMAT);
    const std::string message = fwpruneGetLastErrorMessage();
    EXPECT_NE(message.find("w.txt"), std::string::npos) << message;
    EXPECT_NE(message.find("after 6 values"), std::string::npos) << message;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"w.txt"});
}

TEST(WeakestLinkPipeline, EmptyMatrixCreatesEmptyOutputs) {
    ScratchDir dir;
    writeText(dir.file("w.txt"), "\n");
    ASSERT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                             dir.file("m.txt").c_str(), 0.1f, 1.0f, nullptr),
              FWPRUNE_OK);
    EXPECT_EQ(readText(dir.file("m.txt")), "");
    EXPECT_EQ(readText(dir.file("e.txt")), "");
}

struct CommandResult {
    int exitCode;
    std::string output;
};

CommandResult runCli(const std::string& arguments) {
    const std::string command = std::string(FWPRUNE_CLI) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(CommandLine, RunsBothJobsAndReportsErrorsWithDistinctExitCodes) {
    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n");
    writeText(dir.file("w.txt"), kThreeNodes);
    EXPECT_EQ(runCli("reduce " + dir.file("g.txt") + " " + dir.file("r.txt")).exitCode, 0);
    EXPECT_EQ(readText(dir.file("r.txt")), "0 edge 1\n1 edge 2\n");
    EXPECT_EQ(runCli("weakest-link " + dir.file("w.txt") + " " + dir.file("e.txt") + " " +
                     dir.file("m.txt") + " --lower 0.1 --upper 1.0 --backend emulated")
                  .exitCode,
              0);
    EXPECT_EQ(readText(dir.file("e.txt")), "0 edge 0\n0 edge 1\n1 edge 1\n1 edge 2\n2 edge 2\n");

    const CommandResult missing = runCli("reduce " + dir.file("nope.txt") + " " + dir.file("x.txt"));
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.output.find("nope.txt"), std::string::npos) << missing.output;
    EXPECT_EQ(std::count(missing.output.begin(), missing.output.end(), '\n'), 1) << missing.output;

    EXPECT_EQ(runCli("reduce only-one-path").exitCode, 2);
    EXPECT_EQ(runCli("weakest-link a b c --lower 0.1").exitCode, 2);
    EXPECT_EQ(runCli("frobnicate").exitCode, 2);
    EXPECT_EQ(runCli("--version").output, std::string("fwprune ") + fwpruneGetVersion() + "\n");
}

}  // namespace
}  // namespace fwprune
