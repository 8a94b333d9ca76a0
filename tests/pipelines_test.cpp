// Both jobs from file to file through the exported C API.
#include <gtest/gtest.h>

#include <cerrno>
#include <cfenv>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "fwprune.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::backendOptions;
using testing::readText;
using testing::ScratchDir;
using testing::temporaryFileCount;
using testing::writeText;

// Every backend this machine can run.
std::vector<fwpruneBackend> backends() {
    std::vector<fwpruneBackend> list = {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU,
                                        FWPRUNE_BACKEND_AUTO};
    if (fwpruneGetDefaultBackend() == FWPRUNE_BACKEND_GPU) list.push_back(FWPRUNE_BACKEND_GPU);
    return list;
}

std::string reduce(const std::string& input, fwpruneBackend backend = FWPRUNE_BACKEND_EMULATED) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), input);
    const fwpruneOptions options = backendOptions(backend);
    const fwpruneStatus status = runTransitiveReductionChecked(
        dir.file("in.txt").c_str(), dir.file("out.txt").c_str(), &options);
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
    // The file and errno of the failed system call, apart from the text.
    EXPECT_EQ(fwpruneGetLastErrorNumber(), ENOENT);
    EXPECT_EQ(std::string(fwpruneGetLastErrorPath()), dir.file("missing.txt"));

    writeText(dir.file("bad.txt"), "0 edge 1\n1 edge 99999999999\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("bad.txt").c_str(),
                                            dir.file("out.txt").c_str(), nullptr),
              FWPRUNE_ERROR_FORMAT);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("bad.txt:2:"), std::string::npos);
    EXPECT_EQ(fwpruneGetLastErrorNumber(), 0);
    EXPECT_EQ(readText(dir.file("out.txt")), "previous\n");

    writeText(dir.file("in.txt"), "0 edge 1\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(),
                                            dir.file("no/such/dir.txt").c_str(), nullptr),
              FWPRUNE_ERROR_IO);
    EXPECT_EQ(runTransitiveReductionChecked(nullptr, dir.file("out.txt").c_str(), nullptr),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    // The entry point that returns nothing leaves the same message.
    runTransitiveReduction(dir.file("missing.txt").c_str(), dir.file("out2.txt").c_str());
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("missing.txt"), std::string::npos);
    EXPECT_FALSE(testing::fileExists(dir.file("out2.txt")));
}

TEST(TransitiveReductionPipeline, RejectsBadOptions) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 edge 1\n");
    // A C caller may store any int in the enum field; do the same without C++'s undefined cast.
    fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_AUTO);
    const int unknownBackend = 9;
    std::memcpy(&options.backend, &unknownBackend, sizeof unknownBackend);
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("o.txt").c_str(),
                                            &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    options.threads = -1;
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("o.txt").c_str(),
                                            &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    options = backendOptions(FWPRUNE_BACKEND_GPU);
    if (fwpruneGetDefaultBackend() != FWPRUNE_BACKEND_GPU) {
        EXPECT_EQ(runTransitiveReductionChecked(dir.file("in.txt").c_str(),
                                                dir.file("o.txt").c_str(), &options),
                  FWPRUNE_ERROR_DEVICE);
        EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("no usable CUDA device"),
                  std::string::npos);
    }
    EXPECT_FALSE(testing::fileExists(dir.file("o.txt")));
}

const char* const kThreeNodes = "0 0.2 0.9\n2 0 0.3\n2 2 0\n";

TEST(WeakestLinkPipeline, WritesTheMatrixAndItsEdgeList) {
    for (const fwpruneBackend backend : backends()) {
        ScratchDir dir;
        writeText(dir.file("w.txt"), kThreeNodes);
        const fwpruneOptions options = backendOptions(backend);
        ASSERT_EQ(
            runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
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

// Waits until the thread is blocked opening a file (a FIFO waiting for its other end), as far as
// /proc tells; at most a few seconds.
void waitUntilInOpen(const std::atomic<long>& thread) {
    while (thread.load() == 0) std::this_thread::yield();
    const std::string state = "/proc/self/task/" + std::to_string(thread.load()) + "/syscall";
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::ifstream file(state);
        long number = -1;
        if (!(file >> number)) break;  // nothing to tell: the pause below must do
        if (number == SYS_openat) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST(CheckedCalls, FailedJobReleasesAReaderWaitingOnAFifoOutput) {
    // The input is malformed, so the job fails before it would write: a reader already waiting
    // on a FIFO output must see its end rather than wait for ever.
    struct Job {
        const char* name;
        const char* input;
        std::function<fwpruneStatus(const ScratchDir&)> run;
    };
    const Job jobs[] = {
        {"reduce", "0 edge\n",
         [](const ScratchDir& dir) {
             return runTransitiveReductionChecked(dir.file("in.txt").c_str(),
                                                  dir.file("fifo").c_str(), nullptr);
         }},
        {"weakest-link edges", "0.5 0.5\n0.5\n",
         [](const ScratchDir& dir) {
             return runWeakestLinkReductionChecked(dir.file("in.txt").c_str(),
                                                   dir.file("fifo").c_str(),
                                                   dir.file("m.txt").c_str(), 0.1f, 1.0f, nullptr);
         }},
        {"weakest-link matrix", "0.5 0.5\n0.5\n",
         [](const ScratchDir& dir) {
             return runWeakestLinkReductionChecked(dir.file("in.txt").c_str(),
                                                   dir.file("e.txt").c_str(),
                                                   dir.file("fifo").c_str(), 0.1f, 1.0f, nullptr);
         }},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.name);
        ScratchDir dir;
        writeText(dir.file("in.txt"), job.input);
        ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
        std::atomic<long> readerThread{0};
        auto reader = std::async(std::launch::async, [&] {
            readerThread = ::syscall(SYS_gettid);
            return readText(dir.file("fifo"));
        });
        waitUntilInOpen(readerThread);
        EXPECT_EQ(job.run(dir), FWPRUNE_ERROR_FORMAT);
        if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // Not released: free it here, so the test fails rather than hangs.
            const int fd = ::open(dir.file("fifo").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            ADD_FAILURE() << "the reader was left waiting";
        }
        EXPECT_EQ(reader.get(), "");
    }
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

}  // namespace
}  // namespace fwprune

namespace fwprune {
namespace {

TEST(CheckedCalls, StrictModeRejectsTokensThatAreNotWhollyNumbers) {
    ScratchDir dir;
    fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    options.strict = 1;
    writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2x\n");
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("g.txt").c_str(), dir.file("o.txt").c_str(),
                                            &options),
              FWPRUNE_ERROR_FORMAT);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("g.txt:2: '2x'"), std::string::npos)
        << fwpruneGetLastErrorMessage();
    writeText(dir.file("w.txt"), "0 1\nnan -inf\n");
    EXPECT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                             dir.file("m.txt").c_str(), 0.1f, 1.0f, &options),
              FWPRUNE_OK);
    writeText(dir.file("w.txt"), "0 1\n0.5e 1\n");
    EXPECT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                             dir.file("m.txt").c_str(), 0.1f, 1.0f, &options),
              FWPRUNE_ERROR_FORMAT);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("w.txt:2: '0.5e'"), std::string::npos);
    // Without strict the same files read as atoi and atof read them.
    options.strict = 0;
    EXPECT_EQ(runTransitiveReductionChecked(dir.file("g.txt").c_str(), dir.file("o.txt").c_str(),
                                            &options),
              FWPRUNE_OK);
    EXPECT_EQ(readText(dir.file("o.txt")), "0 edge 1\n1 edge 2\n");
}

TEST(CheckedCalls, ReportStatisticsAndProgressOfEachPhase) {
    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n0 edge 2\n");
    fwpruneRunStats stats{};
    std::vector<std::pair<int, double>> reports;
    fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    options.stats = &stats;
    options.progressUserData = &reports;
    options.progress = [](void* user, fwprunePhase phase, double fraction) {
        static_cast<std::vector<std::pair<int, double>>*>(user)->emplace_back(phase, fraction);
    };
    ASSERT_EQ(runTransitiveReductionChecked(dir.file("g.txt").c_str(), dir.file("o.txt").c_str(),
                                            &options),
              FWPRUNE_OK);
    EXPECT_EQ(stats.nodes, 3);
    EXPECT_EQ(stats.edgesIn, 3);
    EXPECT_EQ(stats.edgesOut, 2);
    EXPECT_EQ(stats.backend, FWPRUNE_BACKEND_EMULATED);
    for (const double seconds : stats.seconds) EXPECT_GE(seconds, 0.0);
    // Each phase starts at 0 and ends at 1, in order, with fractions never going back.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), std::make_pair(int(FWPRUNE_PHASE_READ), 0.0));
    EXPECT_EQ(reports.back(), std::make_pair(int(FWPRUNE_PHASE_WRITE), 1.0));
    for (std::size_t r = 1; r < reports.size(); ++r) {
        EXPECT_TRUE(reports[r].first > reports[r - 1].first ||
                    (reports[r].first == reports[r - 1].first &&
                     reports[r].second >= reports[r - 1].second));
    }
}

// The library writes only the statistics fields that lie within the caller's struct: its own
// statsSize when given, else the size the caller's options struct implies.
TEST(CheckedCalls, StatisticsStayWithinTheCallersStruct) {
    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n");
    constexpr unsigned char kUntouched = 0xAB;
    const std::size_t throughBackend =
        offsetof(fwpruneRunStats, backend) + sizeof(fwpruneRunStats::backend);
    const std::size_t throughRoute =
        offsetof(fwpruneRunStats, route) + sizeof(fwpruneRunStats::route);
    struct Case {
        std::size_t optionsSize;  // 0: the whole options struct
        std::size_t statsSize;
        std::size_t written;  // bytes of the statistics the library may write
    };
    for (const Case c : {Case{0, 0, sizeof(fwpruneRunStats)},
                         Case{offsetof(fwpruneOptions, route), 0, throughBackend},
                         Case{0, throughRoute, throughRoute},
                         Case{offsetof(fwpruneOptions, route), throughRoute, throughBackend},
                         Case{0, sizeof(fwpruneRunStats) + 16, sizeof(fwpruneRunStats)}}) {
        SCOPED_TRACE(std::to_string(c.optionsSize) + " " + std::to_string(c.statsSize));
        alignas(fwpruneRunStats) unsigned char bytes[sizeof(fwpruneRunStats) + 16];
        std::memset(bytes, kUntouched, sizeof bytes);
        fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
        if (c.optionsSize != 0) options.structSize = c.optionsSize;
        options.stats = reinterpret_cast<fwpruneRunStats*>(bytes);
        options.statsSize = c.statsSize;
        ASSERT_EQ(fwpruneRunTransitiveReductionChecked(dir.file("g.txt").c_str(),
                                                       dir.file("o.txt").c_str(), &options),
                  FWPRUNE_OK);
        for (std::size_t b = c.written; b < sizeof bytes; ++b) EXPECT_EQ(bytes[b], kUntouched) << b;
        fwpruneRunStats stats;
        std::memcpy(&stats, bytes, sizeof stats);
        EXPECT_EQ(stats.nodes, 3);
        EXPECT_EQ(stats.edgesOut, 2);
        EXPECT_EQ(stats.backend, FWPRUNE_BACKEND_EMULATED);
        if (c.written == sizeof(fwpruneRunStats)) {
            EXPECT_EQ(stats.nodeCount, 3);
        }
    }
}

// Initialising an older caller's smaller options struct writes nothing past it, and the library
// then reads only the fields it holds; the old entry point still fills this version's struct.
TEST(CheckedCalls, InitialisingOptionsStaysWithinTheCallersStruct) {
    constexpr unsigned char kUntouched = 0xAB;
    const std::size_t olderSize = offsetof(fwpruneOptions, route);
    alignas(fwpruneOptions) unsigned char bytes[sizeof(fwpruneOptions) + 16];
    std::memset(bytes, kUntouched, sizeof bytes);
    auto* const options = reinterpret_cast<fwpruneOptions*>(bytes);
    fwpruneInitOptionsSized(options, olderSize);
    for (std::size_t b = olderSize; b < sizeof bytes; ++b) EXPECT_EQ(bytes[b], kUntouched) << b;
    EXPECT_EQ(options->structSize, olderSize);
    EXPECT_EQ(options->backend, FWPRUNE_BACKEND_AUTO);
    EXPECT_EQ(options->stats, nullptr);

    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n");
    EXPECT_EQ(fwpruneRunTransitiveReductionChecked(dir.file("g.txt").c_str(),
                                                   dir.file("o.txt").c_str(), options),
              FWPRUNE_OK);
    EXPECT_EQ(readText(dir.file("o.txt")), "0 edge 1\n1 edge 2\n");

    std::memset(bytes, kUntouched, sizeof bytes);
    (fwpruneInitOptions)(options);
    for (std::size_t b = sizeof(fwpruneOptions); b < sizeof bytes; ++b)
        EXPECT_EQ(bytes[b], kUntouched);
    EXPECT_EQ(options->structSize, sizeof(fwpruneOptions));
    EXPECT_EQ(options->inputFormat, FWPRUNE_FORMAT_AUTO);
}

using Reports = std::vector<std::pair<int, double>>;

void recordProgress(void* user, fwprunePhase phase, double fraction) {
    static_cast<Reports*>(user)->emplace_back(phase, fraction);
}

// The phases come in the given order; within each the fractions start at 0, never go back, pass
// through a value strictly between 0 and 1, and end at 1.
void expectEveryPhaseMoves(const Reports& reports, const std::vector<int>& phases,
                           const std::string& what) {
    std::size_t r = 0;
    for (const int phase : phases) {
        std::vector<double> heard;
        for (; r < reports.size() && reports[r].first == phase; ++r) {
            heard.push_back(reports[r].second);
        }
        ASSERT_GE(heard.size(), 3u) << what << ": phase " << phase << " heard too little";
        EXPECT_EQ(heard.front(), 0.0) << what << ", phase " << phase;
        EXPECT_EQ(heard.back(), 1.0) << what << ", phase " << phase;
        EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end())) << what << ", phase " << phase;
        EXPECT_TRUE(
            std::any_of(heard.begin(), heard.end(), [](double f) { return f > 0 && f < 1; }))
            << what << ", phase " << phase;
    }
    EXPECT_EQ(r, reports.size()) << what << ": reports out of phase order";
}

// Inputs big enough for every reader, engine and writer to report several steps.
TEST(CheckedCalls, ProgressMovesWithinEveryPhaseOnEveryEngine) {
    ScratchDir dir;
    const int n = 300;
    std::mt19937 random(8);
    std::string edges;
    // Two layers, so that the reduction keeps every edge and the output takes many batches.
    for (int e = 0; e < 30000; ++e) {
        edges += std::to_string(random() % (n / 2)) + " edge " +
                 std::to_string(n / 2 + random() % (n / 2)) + "\n";
    }
    writeText(dir.file("g.txt"), edges);
    std::string weights;
    // Without NaN, which would send the ordered route to the sweeps.
    std::vector<float> cells = testing::randomWeights(n, 0.1f, 0.9f, 8);
    for (float& cell : cells) cell = std::isnan(cell) ? 0.5f : cell;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        weights += std::to_string(cells[c]) + ((c + 1) % n ? " " : "\n");
    }
    writeText(dir.file("w.txt"), weights);
    const std::vector<int> fileJob = {FWPRUNE_PHASE_READ, FWPRUNE_PHASE_SWEEPS,
                                      FWPRUNE_PHASE_WRITE};
    // Without cycles, so that the graph has many components to work through.
    std::vector<unsigned char> adjacency = testing::randomAdjacency(n, 0.02, 8);
    for (int i = 0; i < n; ++i) std::fill_n(adjacency.begin() + i * n, i + 1, 0);
    // The sparse route reports per few thousand nodes: it gets a graph of many more, without
    // cycles, in a file and as edge arrays.
    std::vector<int> sources, targets;
    std::string sparse;
    for (int e = 0; e < 60000; ++e) {
        const int a = static_cast<int>(random() % 20000), b = static_cast<int>(random() % 20000);
        if (a == b) continue;
        sources.push_back(std::min(a, b));
        targets.push_back(std::max(a, b));
        sparse += std::to_string(sources.back()) + " edge " + std::to_string(targets.back()) + "\n";
    }
    writeText(dir.file("sparse.txt"), sparse);

    struct Engine {
        fwpruneBackend backend;
        fwpruneRoute route;
        bool reduce;
    };
    const Engine engines[] = {
        {FWPRUNE_BACKEND_CPU, FWPRUNE_ROUTE_SWEEPS, true},
        {FWPRUNE_BACKEND_CPU, FWPRUNE_ROUTE_SPARSE, true},
        {FWPRUNE_BACKEND_EMULATED, FWPRUNE_ROUTE_SWEEPS, true},
        {FWPRUNE_BACKEND_CPU, FWPRUNE_ROUTE_SWEEPS, false},
        {FWPRUNE_BACKEND_CPU, FWPRUNE_ROUTE_ORDERED, false},
        {FWPRUNE_BACKEND_EMULATED, FWPRUNE_ROUTE_SWEEPS, false},
    };
    for (const Engine& engine : engines) {
        const std::string name = std::string(engine.reduce ? "reduce" : "weakest link") +
                                 " on backend " + std::to_string(engine.backend) + ", route " +
                                 std::to_string(engine.route);
        const bool sparseRoute = engine.route == FWPRUNE_ROUTE_SPARSE;
        Reports reports;
        fwpruneOptions options = backendOptions(engine.backend);
        options.route = engine.route;
        // One thread for the sweeps of a reduction: with more, on a job this short, the calling
        // thread (the one that reports) may find every component claimed by others.
        options.threads = engine.reduce ? 1 : 2;
        options.progress = recordProgress;
        options.progressUserData = &reports;
        fwpruneRunStats stats{};
        options.stats = &stats;
        if (engine.reduce) {
            const std::string input = dir.file(sparseRoute ? "sparse.txt" : "g.txt");
            ASSERT_EQ(
                runTransitiveReductionChecked(input.c_str(), dir.file("o.txt").c_str(), &options),
                FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        } else {
            ASSERT_EQ(
                runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                               dir.file("m.txt").c_str(), 0.1f, 0.9f, &options),
                FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        }
        EXPECT_EQ(stats.route, engine.route) << name;
        expectEveryPhaseMoves(reports, fileJob, name);

        // The in-memory calls have the engine's phase alone.
        reports.clear();
        if (sparseRoute) {
            std::vector<int> keptSources(sources.size()), keptTargets(targets.size());
            std::size_t kept = 0;
            ASSERT_EQ(
                fwpruneReduceEdgeArrays(sources.data(), targets.data(), sources.size(),
                                        keptSources.data(), keptTargets.data(), &kept, &options),
                FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        } else if (engine.reduce) {
            std::vector<unsigned char> cells = adjacency;
            ASSERT_EQ(fwpruneReduceAdjacencyMatrix(cells.data(), n, n, &options), FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        } else {
            std::vector<float> matrix = cells;
            ASSERT_EQ(fwprunePruneWeightMatrix(matrix.data(), n, n, 0.1f, 0.9f, &options),
                      FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        }
        expectEveryPhaseMoves(reports, {FWPRUNE_PHASE_SWEEPS}, "in memory: " + name);
    }
}

TEST(InMemoryApi, ReducesACallersMatrixWithARowStride) {
    // 3 nodes in rows 5 bytes apart; padding bytes must survive untouched.
    std::vector<unsigned char> cells = {0, 1, 7, 9, 9,  //
                                        0, 0, 1, 9, 9,  //
                                        0, 0, 0, 9, 9};
    const fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    ASSERT_EQ(fwpruneReduceAdjacencyMatrix(cells.data(), 3, 5, &options), FWPRUNE_OK);
    EXPECT_EQ(cells, (std::vector<unsigned char>{0, 1, 0, 9, 9, 0, 0, 1, 9, 9, 0, 0, 0, 9, 9}));
    EXPECT_EQ(fwpruneReduceAdjacencyMatrix(cells.data(), 3, 2, &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(fwpruneReduceAdjacencyMatrix(nullptr, 3, 3, &options),
              FWPRUNE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(fwpruneReduceAdjacencyMatrix(cells.data(), 50000, 50000, &options),
              FWPRUNE_ERROR_TOO_LARGE);
    EXPECT_EQ(fwpruneReduceAdjacencyMatrix(nullptr, 0, 0, &options), FWPRUNE_OK);
}

TEST(InMemoryApi, ReducesEdgeArraysInPlaceOnEveryRoute) {
    const int big = 2147483647;
    for (const fwpruneRoute route : {FWPRUNE_ROUTE_AUTO, FWPRUNE_ROUTE_SPARSE}) {
        // 0->2 is bypassed; -1 edges are skipped; the repeat counts once; node numbers up to
        // 2^31 - 1 need no matrix.
        std::vector<int> sources = {0, 1, 0, -1, big, 1, big};
        std::vector<int> targets = {1, 2, 2, 3, 0, 2, 0};
        fwpruneOptions options;
        fwpruneInitOptions(&options);
        options.route = route;
        fwpruneRunStats stats{};
        options.stats = &stats;
        std::size_t count = 99;
        ASSERT_EQ(fwpruneReduceEdgeArrays(sources.data(), targets.data(), sources.size(),
                                          sources.data(), targets.data(), &count, &options),
                  FWPRUNE_OK)
            << fwpruneGetLastErrorMessage();
        ASSERT_EQ(count, 3u);
        sources.resize(count);
        targets.resize(count);
        EXPECT_EQ(sources, (std::vector<int>{0, 1, big}));
        EXPECT_EQ(targets, (std::vector<int>{1, 2, 0}));
        EXPECT_EQ(stats.nodeCount, 2147483648LL);
        EXPECT_EQ(stats.route, FWPRUNE_ROUTE_SPARSE);
    }
    // The sweeps need a matrix, which node 2^31 - 1 cannot have; the outputs stay as they were.
    std::vector<int> sources = {0, big}, targets = {1, 0}, out = {7, 7};
    std::size_t count = 5;
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.route = FWPRUNE_ROUTE_SWEEPS;
    EXPECT_EQ(fwpruneReduceEdgeArrays(sources.data(), targets.data(), 2, out.data(), out.data(),
                                      &count, &options),
              FWPRUNE_ERROR_TOO_LARGE);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(out, (std::vector<int>{7, 7}));
}

TEST(InMemoryApi, PrunesLikeTheFilePipeline) {
    const int n = 40;
    const auto input = testing::randomWeights(n, 0.1f, 0.9f, 5);
    ScratchDir dir;
    writeText(dir.file("w.txt"), testing::exactWeightText(input, n));
    const fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    ASSERT_EQ(runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                             dir.file("m.txt").c_str(), 0.1f, 0.9f, &options),
              FWPRUNE_OK);
    std::vector<float> padded(std::size_t(n) * (n + 3), 42.0f);
    for (int i = 0; i < n; ++i) std::copy_n(&input[i * n], n, &padded[i * (n + 3)]);
    ASSERT_EQ(fwprunePruneWeightMatrix(padded.data(), n, n + 3, 0.1f, 0.9f, &options), FWPRUNE_OK);
    std::string edges;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (!(padded[i * (n + 3) + j] == 2.0f))
                edges += std::to_string(i) + " edge " + std::to_string(j) + "\n";
        }
        for (int p = n; p < n + 3; ++p) EXPECT_EQ(padded[i * (n + 3) + p], 42.0f);
    }
    EXPECT_EQ(readText(dir.file("e.txt")), edges);
    EXPECT_TRUE(testing::sameBits(
        [&] {
            std::vector<float> packed;
            for (int i = 0; i < n; ++i)
                packed.insert(packed.end(), &padded[i * (n + 3)], &padded[i * (n + 3) + n]);
            return packed;
        }(),
        testing::referenceWeakestLink(input, n, 0.1f, 0.9f)));
}

// Cancels the job once the progress callback has seen a given phase begin.
struct CancelAtPhase {
    int phase;
    bool reached = false;
    static void onProgress(void* self, fwprunePhase phase, double) {
        auto& at = *static_cast<CancelAtPhase*>(self);
        at.reached = at.reached || phase == at.phase;
    }
    static int cancelRequested(void* self) { return static_cast<CancelAtPhase*>(self)->reached; }
};

TEST(CheckedCalls, CancelledJobEndsWithItsStatusAndChangesNoOutput) {
    EXPECT_STREQ(fwpruneGetStatusName(FWPRUNE_ERROR_CANCELLED), "FWPRUNE_ERROR_CANCELLED");
    for (const fwpruneBackend backend : {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU}) {
        for (const int phase : {FWPRUNE_PHASE_READ, FWPRUNE_PHASE_SWEEPS, FWPRUNE_PHASE_WRITE}) {
            SCOPED_TRACE("backend " + std::to_string(backend) + ", phase " + std::to_string(phase));
            ScratchDir dir;
            writeText(dir.file("g.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n");
            writeText(dir.file("w.txt"), kThreeNodes);
            for (const char* name : {"o.txt", "e.txt", "m.txt"}) writeText(dir.file(name), "old");
            CancelAtPhase at{phase};
            fwpruneOptions options = backendOptions(backend);
            options.progress = &CancelAtPhase::onProgress;
            options.progressUserData = &at;
            options.cancelRequested = &CancelAtPhase::cancelRequested;
            options.cancelUserData = &at;
            EXPECT_EQ(runTransitiveReductionChecked(dir.file("g.txt").c_str(),
                                                    dir.file("o.txt").c_str(), &options),
                      FWPRUNE_ERROR_CANCELLED);
            at.reached = false;
            EXPECT_EQ(
                runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                               dir.file("m.txt").c_str(), 0.1f, 1.0f, &options),
                FWPRUNE_ERROR_CANCELLED);
            for (const char* name : {"o.txt", "e.txt", "m.txt"}) {
                EXPECT_EQ(readText(dir.file(name)), "old") << name;
            }
            EXPECT_EQ(temporaryFileCount(dir), 0);
        }
    }
    // In memory, the caller's matrix stays as it was: on the sweeps, which run on a copy, and on
    // the ordered route, which runs in place.
    for (const fwpruneBackend backend : {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU}) {
        float weights[4] = {0.0f, 0.5f, -0.25f, 0.0f};
        const float before[4] = {0.0f, 0.5f, -0.25f, 0.0f};
        fwpruneOptions options = backendOptions(backend);
        options.route = backend == FWPRUNE_BACKEND_CPU ? FWPRUNE_ROUTE_ORDERED : FWPRUNE_ROUTE_AUTO;
        options.cancelRequested = [](void*) { return 1; };
        EXPECT_EQ(fwprunePruneWeightMatrix(weights, 2, 2, 0.1f, 1.0f, &options),
                  FWPRUNE_ERROR_CANCELLED);
        EXPECT_EQ(std::memcmp(weights, before, sizeof weights), 0);
    }
}

#if defined(__x86_64__) || defined(__i386__)
unsigned floatMode() {
    return _mm_getcsr();
}
void setFloatMode(unsigned mode) {
    _mm_setcsr(mode);
}
constexpr unsigned kFlushToZero = 0x8040u;  // MXCSR flush-to-zero | denormals-are-zero
#elif defined(__aarch64__)
std::uint64_t floatMode() {
    std::uint64_t fpcr = 0;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
}
void setFloatMode(std::uint64_t fpcr) {
    __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
}
constexpr std::uint64_t kFlushToZero = std::uint64_t{1} << 24;  // FPCR.FZ
#endif

TEST(CheckedCalls, CallersFlushToZeroModeChangesNoResultAndIsRestored) {
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
    // Weights with subnormals among every special value, as text that reads back exactly.
    const int n = 37;
    const std::vector<float> weights = testing::randomWeights(n, 0.25f, 0.75f, 12);
    ScratchDir dir;
    writeText(dir.file("w.txt"), testing::exactWeightText(weights, n));
    const auto runAll = [&] {
        std::vector<std::string> results;
        for (const fwpruneBackend backend : {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU}) {
            const fwpruneOptions options = backendOptions(backend);
            const auto modeBefore = floatMode();
            EXPECT_EQ(
                runWeakestLinkReductionChecked(dir.file("w.txt").c_str(), dir.file("e.txt").c_str(),
                                               dir.file("m.txt").c_str(), 0.25f, 0.75f, &options),
                FWPRUNE_OK);
            std::vector<float> cells = weights;
            EXPECT_EQ(fwprunePruneWeightMatrix(cells.data(), n, n, 0.25f, 0.75f, &options),
                      FWPRUNE_OK);
            EXPECT_EQ(floatMode(), modeBefore) << "the caller's mode was not restored";
            results.push_back(readText(dir.file("m.txt")) + readText(dir.file("e.txt")));
            results.emplace_back(reinterpret_cast<const char*>(cells.data()),
                                 cells.size() * sizeof(float));
        }
        return results;
    };
    const std::vector<std::string> ieee = runAll();
    const auto callersMode = floatMode();
    setFloatMode(callersMode | kFlushToZero);
    const std::vector<std::string> flushing = runAll();
    setFloatMode(callersMode);
    ASSERT_EQ(ieee.size(), 4u);
    EXPECT_NE(ieee[0].find("e-041"), std::string::npos) << "no subnormal was written";
    EXPECT_EQ(ieee[0], ieee[2]) << "the stand-in and the CPU engine disagree";
    EXPECT_EQ(ieee[1], ieee[3]) << "the stand-in and the CPU engine disagree";
    for (std::size_t r = 0; r < ieee.size(); ++r) {
        EXPECT_TRUE(ieee[r] == flushing[r]) << "result " << r << " changed with flush-to-zero";
    }
#else
    GTEST_SKIP() << "no flush-to-zero mode to test on this processor";
#endif
}

TEST(CheckedCalls, CallersFloatingPointFlagsAreAsTheyWereBefore) {
    // NaNs, infinities and subnormals raise flags inside the jobs; the caller must see its own
    // flags afterwards, those it had raised (held apart, on x86, by the x87 unit and by SSE)
    // and no others.
    const int n = 23;
    const std::vector<float> weights = testing::randomWeights(n, 0.25f, 0.75f, 3);
    std::string text;
    for (int i = 0; i < n * n; ++i) {
        text += std::to_string(weights[i]) + ((i + 1) % n == 0 ? "\n" : " ");
    }
    ScratchDir dir;
    // Named before the calls: only the library runs between clearing the flags and testing them.
    const std::string input = dir.file("w.txt"), edges = dir.file("e.txt"),
                      matrix = dir.file("m.txt");
    writeText(input, text);
    for (const int before :
         {0, FE_OVERFLOW | FE_INEXACT, FE_INVALID | FE_UNDERFLOW, FE_ALL_EXCEPT}) {
        SCOPED_TRACE(before);
        for (const fwpruneBackend backend : {FWPRUNE_BACKEND_EMULATED, FWPRUNE_BACKEND_CPU}) {
            const fwpruneOptions options = backendOptions(backend);
            std::feclearexcept(FE_ALL_EXCEPT);
            std::feraiseexcept(before);
            // What the caller holds now: on AArch64, raising underflow raises inexact with it.
            const int held = std::fetestexcept(FE_ALL_EXCEPT);
            std::vector<float> cells = weights;
            EXPECT_EQ(fwprunePruneWeightMatrix(cells.data(), n, n, 0.25f, 0.75f, &options),
                      FWPRUNE_OK);
            EXPECT_EQ(runWeakestLinkReductionChecked(input.c_str(), edges.c_str(), matrix.c_str(),
                                                     0.25f, 0.75f, &options),
                      FWPRUNE_OK);
            EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), held);
        }
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// The threads of this process now, by id.
std::set<std::string> processThreads() {
    std::set<std::string> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(task.path().filename().string());
    }
    return ids;
}

// The threads a job's sweeps ran on with the given count: the calling thread and those the
// process had during the sweeps but not before the call (threads of an earlier pool that are
// still winding down, or a sanitizer's, do not count). -1 when the job failed.
int threadsDuringSweeps(int threads) {
    struct Seen {
        std::set<std::string> before;
        std::size_t most = 0;
    } seen{processThreads()};
    fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    options.threads = threads;
    options.progressUserData = &seen;
    options.progress = [](void* user, fwprunePhase phase, double) {
        if (phase != FWPRUNE_PHASE_SWEEPS) return;
        auto& s = *static_cast<Seen*>(user);
        std::size_t started = 0;
        for (const std::string& id : processThreads()) started += s.before.count(id) == 0;
        s.most = std::max(s.most, started);
    };
    std::vector<float> cells(64 * 64, 0.5f);
    if (fwprunePruneWeightMatrix(cells.data(), 64, 64, 0.1f, 1.0f, &options) != FWPRUNE_OK) {
        return -1;
    }
    return static_cast<int>(seen.most) + 1;
}

TEST(CheckedCalls, ThreadCountFollowsAffinityAndEnvironmentWithinALimit) {
    fwpruneOptions options = backendOptions(FWPRUNE_BACKEND_EMULATED);
    unsigned char cell = 0;
    options.threads = FWPRUNE_MAX_THREADS + 1;
    EXPECT_EQ(fwpruneReduceAdjacencyMatrix(&cell, 1, 1, &options), FWPRUNE_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("4096"), std::string::npos);

    // In a child, which may narrow its affinity and set its environment freely.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) ::_exit(90);
        int first = 0;
        while (!CPU_ISSET(first, &allowed)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (::sched_setaffinity(0, sizeof one, &one) != 0) ::_exit(91);
        ::unsetenv("FWPRUNE_NUM_THREADS");
        // A sanitizer's runtime starts a thread of its own with the first one a process creates.
        threadsDuringSweeps(2);
        if (threadsDuringSweeps(0) != 1) ::_exit(1);  // one CPU: no worker thread
        ::setenv("FWPRUNE_NUM_THREADS", "3", 1);
        if (threadsDuringSweeps(0) != 3) ::_exit(2);
        if (threadsDuringSweeps(2) != 2) ::_exit(3);  // an explicit count wins
        ::setenv("FWPRUNE_NUM_THREADS", "lots", 1);
        if (threadsDuringSweeps(0) != -1) ::_exit(4);
        // The limit itself is a count, one more is not.
        ::setenv("FWPRUNE_NUM_THREADS", "4096", 1);
        if (threadsDuringSweeps(0) < 1) ::_exit(5);
        ::setenv("FWPRUNE_NUM_THREADS", "4097", 1);
        if (threadsDuringSweeps(0) != -1) ::_exit(6);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: affinity ignored, 2: environment ignored, "
                                         "3: explicit count overridden, 4: bad value accepted, "
                                         "5: the limit refused, 6: past the limit accepted";
}

}  // namespace
}  // namespace fwprune
