// Robustness of the library under load and abuse: many jobs at once from several threads,
// processes killed while writing an output, and memory running out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fwprune.h"
#include "graph_files/node_counts.h"
#include "graph_files/weight_matrix.h"
#include "test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define FWPRUNE_UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FWPRUNE_UNDER_SANITIZER 1
#endif

namespace fwprune {
namespace {

using testing::backendOptions;
using testing::edgeListText;
using testing::fileExists;
using testing::randomAdjacency;
using testing::randomWeights;
using testing::readText;
using testing::ScratchDir;
using testing::temporaryFileCount;
using testing::writeText;

// The engines to exercise: the stand-in and the native CPU engine.
std::vector<fwpruneBackend> engines() {
    return {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU};
}

std::string matrixText(const std::vector<float>& cells, int n) {
    std::string text;
    char value[32];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (j > 0) text += ' ';
            text.append(value, formatWeight(cells[std::size_t(i) * n + j], value));
        }
        text += '\n';
    }
    return text;
}

// One job of the concurrency test, checked against the plain references; returns a description
// of the first mismatch, or an empty string.
std::string runOneJob(const ScratchDir& dir, int thread, int round, fwpruneBackend backend) {
    const std::uint32_t seed = static_cast<std::uint32_t>(thread * 1000 + round);
    const int n = 8 + static_cast<int>(seed % 29);
    const std::string tag = "t" + std::to_string(thread) + "r" + std::to_string(round);
    const fwpruneOptions options = backendOptions(backend, 2);
    const float lower = 0.25f, upper = 0.75f;
    switch (round % 5) {
        case 0: {  // reduction, file to file
            const auto cells = randomAdjacency(n, 0.15, seed);
            writeText(dir.file(tag + "-in.txt"), edgeListText(cells, n));
            if (runTransitiveReductionChecked(dir.file(tag + "-in.txt").c_str(),
                                              dir.file(tag + "-out.txt").c_str(),
                                              &options) != FWPRUNE_OK) {
                return tag + ": " + fwpruneGetLastErrorMessage();
            }
            if (readText(dir.file(tag + "-out.txt")) !=
                edgeListText(testing::referenceReduction(cells, n), n)) {
                return tag + ": reduction output differs from the reference";
            }
            break;
        }
        case 1: {  // weakest link, file to file
            const auto weights = randomWeights(n, lower, upper, seed);
            writeText(dir.file(tag + "-in.txt"), matrixText(weights, n));
            // Read back the input as the library reads it, so the reference sees the same values.
            const auto input = readWeightMatrix(dir.file(tag + "-in.txt")).cells;
            if (runWeakestLinkReductionChecked(
                    dir.file(tag + "-in.txt").c_str(), dir.file(tag + "-edges.txt").c_str(),
                    dir.file(tag + "-matrix.txt").c_str(), lower, upper, &options) != FWPRUNE_OK) {
                return tag + ": " + fwpruneGetLastErrorMessage();
            }
            const auto expected = testing::referenceWeakestLink(input, n, lower, upper);
            if (readText(dir.file(tag + "-matrix.txt")) != matrixText(expected, n) ||
                readText(dir.file(tag + "-edges.txt")) != edgeListText(expected, n)) {
                return tag + ": weakest-link outputs differ from the reference";
            }
            break;
        }
        case 2: {  // reduction in memory
            auto cells = randomAdjacency(n, 0.2, seed);
            const auto expected = testing::referenceReduction(cells, n);
            if (fwpruneReduceAdjacencyMatrix(cells.data(), n, std::size_t(n), &options) !=
                FWPRUNE_OK) {
                return tag + ": " + fwpruneGetLastErrorMessage();
            }
            if (cells != expected) return tag + ": in-memory reduction differs from the reference";
            break;
        }
        case 3: {  // weakest link in memory
            auto weights = randomWeights(n, lower, upper, seed);
            const auto expected = testing::referenceWeakestLink(weights, n, lower, upper);
            if (fwprunePruneWeightMatrix(weights.data(), n, std::size_t(n), lower, upper,
                                         &options) != FWPRUNE_OK) {
                return tag + ": " + fwpruneGetLastErrorMessage();
            }
            if (!testing::sameBits(weights, expected)) {
                return tag + ": in-memory pruning differs from the reference";
            }
            break;
        }
        case 4: {  // a failing call: the message must be this thread's own
            const std::string missing = dir.file(tag + "-missing.txt");
            if (runTransitiveReductionChecked(missing.c_str(), dir.file(tag + "-x.txt").c_str(),
                                              &options) != FWPRUNE_ERROR_IO) {
                return tag + ": a missing input did not fail with FWPRUNE_ERROR_IO";
            }
            // Give the other threads time to fail and succeed in between.
            std::this_thread::yield();
            const std::string message = fwpruneGetLastErrorMessage();
            if (message.find(missing) == std::string::npos) {
                return tag + ": last error '" + message + "' is not this thread's";
            }
            unsigned char one = 0;
            if (fwpruneReduceAdjacencyMatrix(&one, 1, 1, &options) != FWPRUNE_OK ||
                std::string(fwpruneGetLastErrorMessage()) != "") {
                return tag + ": a successful call did not clear this thread's last error";
            }
            break;
        }
    }
    return {};
}

TEST(Concurrency, ManyJobsFromManyThreadsMatchTheReferences) {
    for (const fwpruneBackend backend : engines()) {
        ScratchDir dir;
        constexpr int kThreads = 6;
        constexpr int kRounds = 10;
        std::vector<std::string> failures(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds && failures[t].empty(); ++round) {
                    failures[t] = runOneJob(dir, t, round, backend);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(failures[t], "") << "backend " << backend << ", thread " << t;
        }
        EXPECT_EQ(temporaryFileCount(dir), 0);
    }
}

TEST(Concurrency, JobsRacingForOneOutputLeaveOneCompleteResult) {
    ScratchDir dir;
    constexpr int kThreads = 6;
    std::vector<std::string> expected(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        const int n = 20 + t;
        const auto cells = randomAdjacency(n, 0.2, 77 + t);
        writeText(dir.file("in" + std::to_string(t) + ".txt"), edgeListText(cells, n));
        expected[t] = edgeListText(testing::referenceReduction(cells, n), n);
    }
    const std::string output = dir.file("shared-output.txt");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED, 1);
            for (int round = 0; round < 5; ++round) {
                const std::string input = dir.file("in" + std::to_string(t) + ".txt");
                if (runTransitiveReductionChecked(input.c_str(), output.c_str(), &options) !=
                    FWPRUNE_OK) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    const std::string result = readText(output);
    EXPECT_NE(std::find(expected.begin(), expected.end(), result), expected.end())
        << "the shared output is not any one job's complete result";
    EXPECT_EQ(temporaryFileCount(dir), 0);
}

// A weight matrix whose written form is about 100 MB, with values that differ from row to row
// so that a torn file cannot pass for a complete one.
WeightMatrix largeMatrix() {
    WeightMatrix matrix;
    matrix.n = 2800;
    matrix.cells.resize(std::size_t(matrix.n) * matrix.n);
    for (std::size_t c = 0; c < matrix.cells.size(); ++c) {
        matrix.cells[c] = static_cast<float>(c % 9973) / 9973.0f;
    }
    return matrix;
}

std::uintmax_t largestTemporaryFile(const std::string& directory) {
    std::uintmax_t largest = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
        if (!testing::isTemporaryFileName(entry.path().filename().string())) continue;
        largest = std::max(largest, entry.file_size(ignored));
    }
    return largest;
}

TEST(KilledWriter, TargetHoldsTheOldOrTheCompleteNewContentNeverAPart) {
    ScratchDir dir;
    const WeightMatrix matrix = largeMatrix();
    // The reference is formatted on one thread and the killed writers on three, so the round that
    // runs to completion also checks that parallel formatting keeps the rows in order.
    const std::string complete = dir.file("complete.txt");
    writeWeightMatrix(matrix, complete, 1);
    const std::uintmax_t completeSize = std::filesystem::file_size(complete);
    ASSERT_GT(completeSize, 90u << 20);
    const std::string newContent = readText(complete);
    std::filesystem::remove(complete);

    const std::string target = dir.file("target.txt");
    const std::string oldContent = "1 0\n0 1\n";
    writeText(target, oldContent);
    // Kill points: once the temporary file holds this many bytes; 0 lets the writer finish.
    const std::uintmax_t killAt[] = {1u << 20, 16u << 20, 48u << 20, 80u << 20, 0};
    int killedMidWrite = 0;
    for (const std::uintmax_t threshold : killAt) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                writeWeightMatrix(matrix, target, 3);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        bool killed = false;
        int status = 0;
        while (::waitpid(child, &status, threshold == 0 ? 0 : WNOHANG) == 0) {
            if (largestTemporaryFile(dir.file("")) >= threshold) {
                ::kill(child, SIGKILL);
                killed = true;
                ::waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!killed) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";
        }
        killedMidWrite += killed && WIFSIGNALED(status) ? 1 : 0;
        const std::string now = readText(target);
        EXPECT_TRUE(now == oldContent || now == newContent)
            << "after a kill at " << threshold << " bytes the target holds " << now.size()
            << " bytes, neither the old " << oldContent.size() << " nor the new "
            << newContent.size();
        if (threshold == 0) {
            EXPECT_EQ(now.size(), newContent.size()) << "an uninterrupted write did not land";
        }
        // Put the old content back, so that each round can tell a torn file from a landed one.
        writeText(target, oldContent);
    }
    EXPECT_GE(killedMidWrite, 1) << "no writer was killed mid-write; the test proved nothing";
    const int strays = temporaryFileCount(dir);
    EXPECT_LE(strays, killedMidWrite) << "more stray temporary files than killed writers";
    std::printf("killed %d writers mid-write; %d stray temporary files beside the target\n",
                killedMidWrite, strays);
    RecordProperty("stray_temporary_files", strays);
}

// The virtual memory the process has mapped now, in bytes.
rlim_t mappedBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    }
    return 0;
}

// Runs body in a child whose address space may grow by headroom bytes more; the child's exit
// code is what body returns (0 for success). A crash, an abort or a hang shows as a signal.
int inChildWithMemoryLimit(rlim_t headroom, int (*body)(const ScratchDir&), const ScratchDir& dir) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(120);  // a limit that fails to bite would otherwise start hours of sweeps
        const rlimit limit{mappedBytes() + headroom, mappedBytes() + headroom};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(90);
        ::_exit(body(dir));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) return 100 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int expectOutOfMemory(fwpruneStatus status, const char* what, const std::string& output) {
    if (status == FWPRUNE_ERROR_OUT_OF_MEMORY && !fileExists(output)) return 0;
    std::fprintf(stderr, "%s: %s (%s)%s\n", what, fwpruneGetStatusName(status),
                 fwpruneGetLastErrorMessage(), fileExists(output) ? ", output written" : "");
    return 1;
}

TEST(MemoryExhaustion, IsAnOutOfMemoryErrorNotACrash) {
#ifdef FWPRUNE_UNDER_SANITIZER
    GTEST_SKIP() << "sanitizers reserve terabytes of address space; RLIMIT_AS cannot apply";
#endif
    ScratchDir dir;
    // 40000 nodes: a 1.6 GB byte matrix, and a 6.4 GB float matrix.
    writeText(dir.file("edges.txt"), "39999 edge 0\n");
    std::string firstLine;
    for (int j = 0; j < 40000; ++j) firstLine += "0 ";
    writeText(dir.file("weights.txt"), firstLine + "\n");
    // Padded, sparsely, to the size its values would take: a shorter file is refused as short
    // before the matrix is allocated.
    std::filesystem::resize_file(dir.file("weights.txt"), std::uintmax_t{2} * 40000 * 40000);
    // 18000 nodes: the 324 MB host matrix fits, the stand-in's device copy of it does not.
    writeText(dir.file("device.txt"), "17999 edge 0\n");

    EXPECT_EQ(inChildWithMemoryLimit(
                  512u << 20,
                  [](const ScratchDir& d) {
                      const fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED, 1);
                      int failures = 0;
                      failures += expectOutOfMemory(
                          runTransitiveReductionChecked(d.file("edges.txt").c_str(),
                                                        d.file("out.txt").c_str(), &options),
                          "edge list of 40000 nodes", d.file("out.txt"));
                      failures += expectOutOfMemory(
                          runWeakestLinkReductionChecked(
                              d.file("weights.txt").c_str(), d.file("e.txt").c_str(),
                              d.file("m.txt").c_str(), 0.1f, 0.9f, &options),
                          "weight matrix of 40000 nodes", d.file("m.txt"));
                      failures += expectOutOfMemory(
                          runTransitiveReductionChecked(d.file("device.txt").c_str(),
                                                        d.file("out.txt").c_str(), &options),
                          "stand-in device copy of 18000 nodes", d.file("out.txt"));
                      return failures;
                  },
                  dir),
              0);

    // The in-memory API copies the caller's matrix; running out there leaves it untouched.
    EXPECT_EQ(
        inChildWithMemoryLimit(
            1200u << 20,
            [](const ScratchDir&) {
                const int n = 12000;  // 576 MB of floats, held by the caller
                std::vector<float> weights(std::size_t(n) * n, 0.5f);
                weights[1] = -1.0f;
                const rlimit tight{mappedBytes() + (256u << 20), mappedBytes() + (256u << 20)};
                if (::setrlimit(RLIMIT_AS, &tight) != 0) return 90;
                const fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED, 1);
                const fwpruneStatus status = fwprunePruneWeightMatrix(
                    weights.data(), n, std::size_t(n), 0.1f, 0.9f, &options);
                if (status != FWPRUNE_ERROR_OUT_OF_MEMORY) {
                    std::fprintf(stderr, "in-memory pruning: %s (%s)\n",
                                 fwpruneGetStatusName(status), fwpruneGetLastErrorMessage());
                    return 1;
                }
                return weights[1] == -1.0f && weights[0] == 0.5f ? 0 : 2;
            },
            dir),
        0);

    // The ordered route reads the caller's matrix in place: with room for its bit rows but not
    // for a copy of the matrix, it runs, and every cell ends as its input value or 2.0, cut cells
    // 2.0.
    EXPECT_EQ(
        inChildWithMemoryLimit(
            600u << 20,
            [](const ScratchDir&) {
                const int n = 8000;  // 256 MB of floats, held by the caller
                const auto input = [](std::size_t cell) {
                    return float(cell * 2654435761u % 1000003u) / 1000003.0f;
                };
                std::vector<float> weights(std::size_t(n) * n);
                for (std::size_t c = 0; c < weights.size(); ++c) weights[c] = input(c);
                const rlimit tight{mappedBytes() + (160u << 20), mappedBytes() + (160u << 20)};
                if (::setrlimit(RLIMIT_AS, &tight) != 0) return 90;
                fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_CPU, 2);
                options.route = FWPRUNE_ROUTE_ORDERED;
                const fwpruneStatus status = fwprunePruneWeightMatrix(
                    weights.data(), n, std::size_t(n), 0.1f, 0.9f, &options);
                if (status != FWPRUNE_OK) {
                    std::fprintf(stderr, "in-memory pruning in place: %s (%s)\n",
                                 fwpruneGetStatusName(status), fwpruneGetLastErrorMessage());
                    return 1;
                }
                for (std::size_t c = 0; c < weights.size(); ++c) {
                    const float v = input(c);
                    if (weights[c] != v && weights[c] != 2.0f) return 2;
                    if (v >= 0.9f && weights[c] != 2.0f) return 3;
                }
                return 0;
            },
            dir),
        0);
}

}  // namespace
}  // namespace fwprune
