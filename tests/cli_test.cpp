// The fwprune command, run as a separate process the way a user runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fwprune.h"
#include "test_support.h"

extern char** environ;

namespace fwprune {
namespace {

using testing::CliResult;
using testing::CliSetup;
using testing::commandFor;
using testing::exitCodeOf;
using testing::readText;
using testing::runCli;
using testing::ScratchDir;
using testing::shellQuote;
using testing::temporaryFileCount;
using testing::writeText;

const std::string kDag = std::string(FWPRUNE_EXAMPLES_DIR) + "/dag.txt";
const std::string kWeights = std::string(FWPRUNE_EXAMPLES_DIR) + "/weights.txt";
const char* const kReducedDag = "0 edge 1\n0 edge 2\n1 edge 3\n2 edge 3\n3 edge 4\n5 edge 6\n";
const char* const kPrunedMatrix =
    "0.000000e+000 2.000000e-001 2.000000e+000\n"
    "2.000000e+000 0.000000e+000 3.000000e-001\n"
    "2.000000e+000 2.000000e+000 0.000000e+000\n";
const char* const kPrunedEdges = "0 edge 0\n0 edge 1\n1 edge 1\n1 edge 2\n2 edge 2\n";

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A failure is one line on standard error, "fwprune: " and the reason, and nothing on stdout.
void expectOneErrorLine(const CliResult& result, int exitCode,
                        const std::vector<std::string>& parts) {
    EXPECT_EQ(result.exitCode, exitCode) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("fwprune: ", 0), 0u) << result.err;
    EXPECT_EQ(lineCount(result.err), 1u) << result.err;
    for (const std::string& part : parts) EXPECT_TRUE(contains(result.err, part)) << result.err;
}

TEST(CommandLine, RunsBothJobsBetweenFiles) {
    ScratchDir dir;
    const CliResult reduced = runCli({"reduce", kDag, dir.file("r.txt")});
    EXPECT_EQ(reduced.exitCode, 0) << reduced.err;
    EXPECT_EQ(reduced.out, "");
    EXPECT_EQ(reduced.err, "");  // no progress bar and no chatter when stderr is not a terminal
    EXPECT_EQ(readText(dir.file("r.txt")), kReducedDag);

    // Options before, between and after the file names, with and without '='.
    const CliResult pruned =
        runCli({"--lower", "0.1", "weakest-link", "--backend=emulated", kWeights, dir.file("e.txt"),
                dir.file("m.txt"), "--upper=1", "--threads", "2"});
    EXPECT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_EQ(pruned.err, "");
    EXPECT_EQ(readText(dir.file("m.txt")), kPrunedMatrix);
    EXPECT_EQ(readText(dir.file("e.txt")), kPrunedEdges);
}

TEST(CommandLine, DoubleDashEndsOptionsForFileNamesStartingWithADash) {
    ScratchDir dir;
    writeText(dir.file("-in.txt"), "0 edge 1\n1 edge 2\n0 edge 2\n");
    const CliSetup inDir{"", dir.file(""), ""};
    expectOneErrorLine(runCli({"reduce", "-in.txt", "-out.txt"}, inDir), 2, {"'-in.txt'"});
    const CliResult result = runCli({"reduce", "--", "-in.txt", "-out.txt"}, inDir);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readText(dir.file("-out.txt")), "0 edge 1\n1 edge 2\n");
}

TEST(CommandLine, DashReadsStandardInputAndWritesStandardOutput) {
    const std::string dag = readText(kDag);
    const std::string weights = readText(kWeights);

    const CliResult reduced = runCli({"reduce", "-", "-"}, {dag, "", ""});
    EXPECT_EQ(reduced.exitCode, 0) << reduced.err;
    EXPECT_EQ(reduced.out, kReducedDag);
    EXPECT_EQ(reduced.err, "");

    // Both outputs on standard output: the matrix, then the edge list.
    const CliResult both = runCli({"weakest-link", "-", "-", "-", "--lower", "0.1", "--upper", "1"},
                                  {weights, "", ""});
    EXPECT_EQ(both.exitCode, 0) << both.err;
    EXPECT_EQ(both.out, std::string(kPrunedMatrix) + kPrunedEdges);

    ScratchDir dir;
    const CliResult edgesOnly = runCli(
        {"weakest-link", kWeights, "-", dir.file("m.txt"), "--lower", "0.1", "--upper", "1"});
    EXPECT_EQ(edgesOnly.exitCode, 0) << edgesOnly.err;
    EXPECT_EQ(edgesOnly.out, kPrunedEdges);
    EXPECT_EQ(readText(dir.file("m.txt")), kPrunedMatrix);

    const CliResult matrixOnly =
        runCli({"weakest-link", "-", dir.file("e.txt"), "-", "--lower", "0.1", "--upper", "1"},
               {weights, "", ""});
    EXPECT_EQ(matrixOnly.exitCode, 0) << matrixOnly.err;
    EXPECT_EQ(matrixOnly.out, kPrunedMatrix);
    EXPECT_EQ(readText(dir.file("e.txt")), kPrunedEdges);

    // An empty result is an empty stream, not a missing one.
    const CliResult empty = runCli({"reduce", "-", "-"}, {"0 edge 1\n1 edge 0\n", "", ""});
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_EQ(empty.out, "");

    // The removed-edge report may take standard output alone.
    const CliResult report = runCli({"reduce", "-", dir.file("r.txt"), "--removed", "-"},
                                    {"0 edge 1\n1 edge 2\n0 edge 2\n", "", ""});
    EXPECT_EQ(report.exitCode, 0) << report.err;
    EXPECT_EQ(report.out, "source\ttarget\treason\tvia\tvalue\n0\t2\tbypassed\t1\t\n");
    EXPECT_EQ(runCli({"reduce", "-", "-", "--removed", "-"}, {"0 edge 1\n", "", ""}).exitCode, 2);
}

TEST(CommandLine, FailureOnStandardInputNamesItAndWritesNothing) {
    ScratchDir dir;
    const CliResult result =
        runCli({"reduce", "--strict", "-", dir.file("out.txt")}, {"0 edge 1\n1 edge 2x\n", "", ""});
    expectOneErrorLine(result, 3, {"standard input:2", "2x"});
    EXPECT_FALSE(contains(result.err, "fwprune-")) << "the temporary copy leaked into the message";
    EXPECT_FALSE(testing::fileExists(dir.file("out.txt")));

    // Nothing reaches standard output when the job fails after reading.
    const CliResult toStdout = runCli(
        {"weakest-link", "-", "-", "-", "--lower", "0.1", "--upper", "1"}, {"0 1\n1\n", "", ""});
    EXPECT_EQ(toStdout.exitCode, 3) << toStdout.err;
    EXPECT_EQ(toStdout.out, "");
}

TEST(CommandLine, HelpExplainsCommandsFormatsAndExitCodes) {
    const CliResult help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    for (const char* part :
         {"fwprune reduce INPUT OUTPUT", "fwprune weakest-link INPUT EDGES MATRIX", "--lower",
          "--backend", "--threads", "--strict", "--stats", "--quiet", "'-'", "'%d edge %d'",
          "three-digit exponent", "Exit status", "  2  ", "  3  ", "  4  "}) {
        EXPECT_TRUE(contains(help.out, part)) << part;
    }

    // Each command's help is its own: usage, an example, the format it reads, the exit codes.
    const CliResult reduce = runCli({"reduce", "--help"});
    EXPECT_EQ(reduce.exitCode, 0);
    EXPECT_TRUE(contains(reduce.out, "usage: fwprune reduce INPUT OUTPUT"));
    EXPECT_TRUE(contains(reduce.out, "Example"));
    EXPECT_TRUE(contains(reduce.out, "Edge list"));
    EXPECT_TRUE(contains(reduce.out, "Exit status"));
    EXPECT_FALSE(contains(reduce.out, "--lower"));

    const CliResult weakest = runCli({"-h", "weakest-link"});
    EXPECT_EQ(weakest.exitCode, 0);
    EXPECT_TRUE(contains(weakest.out, "usage: fwprune weakest-link INPUT EDGES MATRIX"));
    EXPECT_TRUE(contains(weakest.out, "--lower L"));
    EXPECT_TRUE(contains(weakest.out, "Weight matrix"));
    EXPECT_NE(weakest.out, help.out);

    // Asking for help succeeds even next to a mistake.
    EXPECT_EQ(runCli({"reduce", "--threads", "many", "--help"}).exitCode, 0);

    const CliResult version = runCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("fwprune ") + fwpruneGetVersion() + "\n");
    // The library this test runs against is the one whose header it was built with.
    EXPECT_EQ(fwpruneGetVersionNumber(), FWPRUNE_VERSION_NUMBER);
    EXPECT_EQ(std::string(fwpruneGetVersion()), FWPRUNE_VERSION_STRING);
}

TEST(CommandLine, UsageErrorsExitWithTwoAndNameTheOptionAndValue) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{}, {"no command"}},
        {{"frobnicate"}, {"'frobnicate'"}},
        {{"reduce", "only-one"}, {"reduce takes two files"}},
        {{"reduce", "a", "b", "c"}, {"reduce takes two files"}},
        {{"weakest-link", "a", "b", "c", "--lower", "0.1"}, {"--upper"}},
        {{"weakest-link", "a", "b", "c", "--upper", "1"}, {"--lower"}},
        {{"weakest-link", "a", "b", "--lower", "0.1", "--upper", "1"}, {"three files"}},
        {{"reduce", "a", "b", "--lower", "0.1"}, {"--lower"}},
        {{"reduce", "a", "b", "--threads", "many"}, {"--threads", "'many'"}},
        {{"reduce", "a", "b", "--threads", "-1"}, {"--threads", "'-1'"}},
        {{"reduce", "a", "b", "--threads", "99999"}, {"--threads", "'99999'"}},
        {{"reduce", "a", "b", "--threads"}, {"--threads", "needs a value"}},
        {{"reduce", "a", "b", "--backend", "tpu"}, {"--backend", "'tpu'"}},
        {{"reduce", "a", "b", "--stats=yes"}, {"--stats", "takes no value"}},
        {{"reduce", "a", "b", "--frobnicate"}, {"'--frobnicate'"}},
        {{"weakest-link", "a", "b", "c", "--lower", "0.1x", "--upper", "1"}, {"--lower", "'0.1x'"}},
        {{"weakest-link", "a", "b", "c", "--lower", "", "--upper", "1"}, {"--lower", "''"}},
    };
    for (const auto& [arguments, parts] : cases) {
        SCOPED_TRACE(commandFor(arguments));
        expectOneErrorLine(runCli(arguments), 2, parts);
    }
}

TEST(CommandLine, ThresholdsAreReadAsTheCellsAre) {
    // Any number a cell may hold is a threshold, read the same way: to double, then rounded to
    // float. This text lies just above the midpoint of two floats, and its double is the midpoint,
    // which rounds to the lower (even) float: as a cell it is that float, so --upper of the same
    // text marks it absent.
    const std::string text = "0.700000077486038208008659532947254300339068322500679641962051";
    ScratchDir dir;
    writeText(dir.file("w.txt"), text + "\n");
    const struct {
        const char* lower;
        std::string upper;
        const char* matrix;
    } cases[] = {
        {"0", text, "2.000000e+000\n"},
        {"0", "1e39", "7.000000e-001\n"},  // infinity, as a cell of that text
        {"0", "nan", "7.000000e-001\n"},   // no cell is at or above NaN
        {"nan", "inf", "7.000000e-001\n"},
        {"-0.5", "-inf", "2.000000e+000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lower) + " " + c.upper);
        const CliResult result =
            runCli({"weakest-link", dir.file("w.txt"), dir.file("e.txt"), dir.file("m.txt"),
                    "--lower", c.lower, "--upper", c.upper});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(readText(dir.file("m.txt")), c.matrix);
    }
}

TEST(CommandLine, FileErrorsExitWithThreeAndNameTheFile) {
    ScratchDir dir;
    expectOneErrorLine(runCli({"reduce", dir.file("missing.txt"), dir.file("out.txt")}), 3,
                       {dir.file("missing.txt")});

    writeText(dir.file("short.txt"), "0 1\n1\n");
    expectOneErrorLine(runCli({"weakest-link", dir.file("short.txt"), dir.file("e"), dir.file("m"),
                               "--lower", "0", "--upper", "1"}),
                       3, {dir.file("short.txt")});

    expectOneErrorLine(runCli({"reduce", kDag, dir.file("no-such-dir/out.txt")}), 3,
                       {dir.file("no-such-dir/out.txt")});

    // More nodes than a dense matrix allows, on a route that builds one.
    writeText(dir.file("huge.txt"), "46340 edge 0\n");
    expectOneErrorLine(
        runCli({"reduce", "--route", "sweeps", dir.file("huge.txt"), dir.file("out.txt")}), 3,
        {dir.file("huge.txt")});

    for (const char* name : {"out.txt", "e", "m"})
        EXPECT_FALSE(testing::fileExists(dir.file(name)));
}

TEST(CommandLine, LabelFilePastTheMemoryLimitIsAFileError) {
    ScratchDir dir;
    // One label of 300 MB (a sparse file: no disk is used) cannot be held in 192 MiB of address
    // space.
    const std::string big = dir.file("big.tsv");
    writeText(big, "");
    std::filesystem::resize_file(big, std::uintmax_t{300} << 20);
    std::ofstream(big, std::ios::app) << "\tb\n";
    expectOneErrorLine(runCli({"reduce", big, dir.file("out.tsv")}, {"", "", "ulimit -v 196608;"}),
                       3, {big});
    EXPECT_FALSE(testing::fileExists(dir.file("out.tsv")));
}

TEST(CommandLine, EngineErrorsExitWithFour) {
    ScratchDir dir;
    // The largest graph the format allows needs 256 MiB of bits on the CPU engine; an address
    // space of 192 MiB cannot hold them.
    writeText(dir.file("big.txt"), "46339 edge 0\n");
    expectOneErrorLine(runCli({"reduce", "--backend", "cpu", "--route", "sweeps",
                               dir.file("big.txt"), dir.file("out.txt")},
                              {"", "", "ulimit -v 196608;"}),
                       4, {dir.file("big.txt")});
    EXPECT_FALSE(testing::fileExists(dir.file("out.txt")));

    if (fwpruneGetDefaultBackend() != FWPRUNE_BACKEND_GPU) {
        expectOneErrorLine(runCli({"reduce", "--backend", "gpu", kDag, dir.file("out.txt")}), 4,
                           {"GPU"});
    }

    // 4096 threads' stacks do not fit 1 GiB of address space: a thread that cannot be started is
    // reported as such.
    const std::string row = [] {
        std::string r;
        for (int j = 0; j < 200; ++j) r += j == 0 ? "0.5" : " 0.5";
        return r + "\n";
    }();
    std::string matrix;
    for (int i = 0; i < 200; ++i) matrix += row;
    writeText(dir.file("w.txt"), matrix);
    expectOneErrorLine(runCli({"weakest-link", "--backend", "cpu", "--route", "sweeps", "--threads",
                               "4096", dir.file("w.txt"), dir.file("e.txt"), dir.file("m.txt"),
                               "--lower", "0.1", "--upper", "1"},
                              {"", "", "ulimit -v 1048576;"}),
                       4, {"cannot start thread"});
    EXPECT_FALSE(testing::fileExists(dir.file("m.txt")));
}

TEST(CommandLine, InputThatCannotHoldItsGraphFailsBeforeItsMemoryIsSpent) {
    // Under a 512 MiB address space: a matrix of 46340 columns would take 8 GiB, and a token of
    // NUL bytes fed without end would take all the memory there is, before the file was found at
    // fault. Both are the file's errors (3), found at once.
    ScratchDir dir;
    std::string firstLine;
    for (int j = 0; j < 46340; ++j) firstLine += "0 ";
    writeText(dir.file("wide.txt"), firstLine + "\n");
    ASSERT_EQ(::mkfifo(dir.file("zeros").c_str(), 0600), 0);
    expectOneErrorLine(runCli({"weakest-link", dir.file("wide.txt"), dir.file("e.txt"),
                               dir.file("m.txt"), "--lower", "0.1", "--upper", "1"},
                              {"", "", "ulimit -v 524288;"}),
                       3, {dir.file("wide.txt"), "2147395600 values are needed", "hold at most"});
    const std::string feed = "(head -c 2000000000 /dev/zero >" + shellQuote(dir.file("zeros")) +
                             " 2>/dev/null &) ; ulimit -v 524288;";
    expectOneErrorLine(runCli({"reduce", dir.file("zeros"), dir.file("out.txt")}, {"", "", feed}),
                       3, {dir.file("zeros") + ":1:", "longer than 11 characters"});
    // The same from a file longer than a piece, read where the system maps it.
    writeText(dir.file("zeros.txt"), std::string(std::size_t{9} << 20, '\0'));
    expectOneErrorLine(runCli({"reduce", dir.file("zeros.txt"), dir.file("out.txt")}), 3,
                       {dir.file("zeros.txt") + ":1:", "longer than 11 characters"});
    EXPECT_FALSE(testing::fileExists(dir.file("m.txt")));
    EXPECT_FALSE(testing::fileExists(dir.file("out.txt")));
}

TEST(CommandLine, StrictRejectsANumberWithTrailingCharacters) {
    ScratchDir dir;
    writeText(dir.file("g.txt"), "0 edge 1x\n");
    expectOneErrorLine(runCli({"reduce", "--strict", dir.file("g.txt"), dir.file("out.txt")}), 3,
                       {dir.file("g.txt") + ":1", "1x"});
    EXPECT_FALSE(testing::fileExists(dir.file("out.txt")));

    const CliResult lenient = runCli({"reduce", dir.file("g.txt"), "-"});
    EXPECT_EQ(lenient.exitCode, 0) << lenient.err;
    EXPECT_EQ(lenient.out, "0 edge 1\n");
}

// "--stats" lines are "name   value"; returns them by name.
std::map<std::string, std::string> parseStats(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t gap = line.find("  ");
        if (gap == std::string::npos) continue;
        fields[line.substr(0, gap)] = line.substr(line.find_first_not_of(' ', gap));
    }
    return fields;
}

TEST(CommandLine, StatsReportsSizesBackendAndPhaseTimesOnStandardError) {
    // dag.txt: 8 edges on 7 nodes, of which 6 survive.
    const CliResult result =
        runCli({"reduce", "--stats", "--backend", "emulated", "-", "-"}, {readText(kDag), "", ""});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, kReducedDag);  // statistics stay off standard output
    const auto fields = parseStats(result.err);
    EXPECT_EQ(fields.count("nodes") ? fields.at("nodes") : "", "7") << result.err;
    EXPECT_EQ(fields.count("edges in") ? fields.at("edges in") : "", "8") << result.err;
    EXPECT_EQ(fields.count("edges out") ? fields.at("edges out") : "", "6") << result.err;
    EXPECT_EQ(fields.count("backend") ? fields.at("backend") : "", "emulated") << result.err;
    for (const char* phase : {"reading", "sweeps", "writing", "total"}) {
        ASSERT_EQ(fields.count(phase), 1u) << phase << "\n" << result.err;
        const std::string& value = fields.at(phase);
        EXPECT_EQ(value.substr(value.size() - 2), " s") << value;
        EXPECT_GE(std::strtod(value.c_str(), nullptr), 0.0) << value;
    }

    const CliResult weighted = runCli({"weakest-link", "--stats", kWeights, "-", "-", "--lower",
                                       "0.1", "--upper", "1", "--backend", "emulated"});
    ASSERT_EQ(weighted.exitCode, 0) << weighted.err;
    const auto weightedFields = parseStats(weighted.err);
    EXPECT_EQ(weightedFields.count("nodes") ? weightedFields.at("nodes") : "", "3") << weighted.err;
    EXPECT_EQ(weightedFields.count("edges out") ? weightedFields.at("edges out") : "", "5")
        << weighted.err;
}

bool scriptWorks() {
    return std::system("script -qec true /dev/null </dev/null >/dev/null 2>&1") == 0;
}

// Runs the program with standard error on a pseudo-terminal of the given TERM, whatever the
// runner's is; returns what the terminal showed.
std::string runOnTerminal(const std::vector<std::string>& arguments, const std::string& stdoutPath,
                          const std::string& term = "xterm") {
    ScratchDir capture;
    const std::string inner =
        "TERM=" + term + " " + commandFor(arguments) + " >" + shellQuote(stdoutPath);
    const std::string command = "script -qec " + shellQuote(inner) + " /dev/null </dev/null >" +
                                shellQuote(capture.file("tty"));
    EXPECT_EQ(std::system(command.c_str()), 0);
    return readText(capture.file("tty"));
}

TEST(CommandLine, ProgressBarOnlyOnATerminalAndErasedAtTheEnd) {
    ScratchDir dir;
    // Not a terminal: nothing, even for a run that reports progress.
    const CliResult piped = runCli({"reduce", "--backend", "emulated", kDag, dir.file("a.txt")});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "");

    if (!scriptWorks()) GTEST_SKIP() << "no working 'script' to provide a terminal";
    const std::string shown = runOnTerminal({"reduce", kDag, dir.file("b.txt")}, dir.file("out"));
    EXPECT_TRUE(contains(shown, "\rreading")) << shown;
    const std::string erase = "\r\033[K";
    ASSERT_GE(shown.size(), erase.size()) << shown;
    EXPECT_EQ(shown.substr(shown.size() - erase.size()), erase) << "the bar was left on screen";
    EXPECT_EQ(readText(dir.file("b.txt")), kReducedDag);

    EXPECT_EQ(runOnTerminal({"reduce", "--quiet", kDag, dir.file("c.txt")}, dir.file("out")), "");
    // A dumb terminal cannot erase a line.
    EXPECT_EQ(runOnTerminal({"reduce", kDag, dir.file("d.txt")}, dir.file("out"), "dumb"), "");
}

// A job of a few seconds on a terminal: every phase is named, its bar moves, and the time it has
// taken stands beside it. The bar redraws at every whole percent, so a phase shows it moving
// however fast the machine runs it.
TEST(CommandLine, ProgressBarMovesThroughEveryPhase) {
    if (!scriptWorks()) GTEST_SKIP() << "no working 'script' to provide a terminal";
    ScratchDir dir;
    const int n = 2048;
    std::mt19937 random(3);
    std::vector<std::string> tokens;
    for (int t = 0; t < 997; ++t) tokens.push_back(std::to_string(random() % 1000000 * 1e-6));
    std::string text;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j)
            text += tokens[random() % tokens.size()] + (j + 1 < n ? " " : "\n");
    }
    writeText(dir.file("w.txt"), text);
    const std::string shown =
        runOnTerminal({"weakest-link", dir.file("w.txt"), dir.file("e.txt"), dir.file("m.txt"),
                       "--lower", "0.1", "--upper", "0.9", "--threads", "1", "--route", "sweeps"},
                      dir.file("out"));
    // Each redraw: "\r", the phase, the bar, the percentage, the reading rate once settled, the
    // time taken, the time left once settled, and an erase to the end of the line.
    const std::regex form(
        R"((reading|pruning|writing) +\[[#.]+\] +(\d+)%(  [\d.]+ k?[MGT]?B/s)?  \d+(s|m\d\ds)(, \S+ left)?\x1b\[K)");
    std::map<std::string, std::set<int>> percents;
    std::istringstream draws(shown);
    for (std::string draw; std::getline(draws, draw, '\r');) {
        if (draw.empty() || draw == "\x1b[K") continue;
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(draw, parts, form)) << draw;
        percents[parts[1]].insert(std::stoi(parts[2]));
    }
    for (const char* phase : {"reading", "pruning", "writing"}) {
        EXPECT_GE(percents[phase].size(), 2u) << phase << " did not move:\n" << shown;
    }
}

// Starts the program with standard input on the given descriptor, standard output and error on
// /dev/null, $TMPDIR on temporaryDirectory, and SIGTERM unblocked and at its default whatever the
// runner set.
// Starts the program with standard input on the descriptor input; the signals in `ignored` start
// out ignored, as a parent's `nohup` or `trap '' INT` leaves them, and SIGTERM at its default.
pid_t spawnCli(const std::vector<std::string>& arguments, int input,
               const std::string& temporaryDirectory, std::initializer_list<int> ignored = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // posix_spawn keeps an ignored signal ignored unless it is among the defaults set above.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    std::vector<std::pair<int, struct sigaction>> restore;
    for (const int signal : ignored) {
        struct sigaction old {};
        ::sigaction(signal, &ignore, &old);
        restore.emplace_back(signal, old);
    }

    std::vector<std::string> environment = {"TMPDIR=" + temporaryDirectory};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string(*variable).rfind("TMPDIR=", 0) != 0) environment.emplace_back(*variable);
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<std::string> argumentCopies = {FWPRUNE_CLI};
    argumentCopies.insert(argumentCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentCopies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, FWPRUNE_CLI, &actions, &attributes, argv.data(), envp.data());
    for (const auto& [signal, old] : restore) ::sigaction(signal, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    EXPECT_EQ(spawned, 0);
    return spawned == 0 ? child : -1;
}

// Waits up to 30 s for ready() to hold.
template <typename Ready>
bool waitFor(Ready&& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

// `reduce - output` with the record "0 edge 1" on standard input, which stays open (the write end
// is in `input`), so that the program waits with its copy of standard input on disk; spooled
// tells whether that copy appeared.
struct RunWaitingOnInput {
    pid_t child;
    int input;
    bool spooled;
};
RunWaitingOnInput startWaitingOnInput(const std::string& output, const ScratchDir& temporary,
                                      std::initializer_list<int> ignored = {}) {
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return {-1, -1, false};
    const pid_t child = spawnCli({"reduce", "-", output}, input[0], temporary.file(""), ignored);
    ::close(input[0]);
    const bool written = child > 0 && ::write(input[1], "0 edge 1\n", 9) == 9;
    const bool spooled = written && waitFor([&] {
                             for (const std::string& entry : temporary.entries()) {
                                 if (testing::fileExists(temporary.file(entry + "/stdin")))
                                     return true;
                             }
                             return false;
                         });
    return {child, input[1], spooled};
}

TEST(CommandLine, TerminationSignalRemovesTemporaries) {
    ScratchDir temporary;
    const RunWaitingOnInput run = startWaitingOnInput(temporary.file("never.txt"), temporary);
    ASSERT_GT(run.child, 0);
    ::kill(run.child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(run.child, &status, 0), run.child);
    ::close(run.input);
    ASSERT_TRUE(run.spooled) << "standard input was never copied to a temporary file";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_EQ(temporary.entries(), std::vector<std::string>{});
}

TEST(CommandLine, SignalsIgnoredAtTheStartStayIgnored) {
    // As under `nohup`, or a script's `cmd &` (SIGINT ignored): those signals do not end the run.
    ScratchDir dir;
    ScratchDir temporary;
    const RunWaitingOnInput run =
        startWaitingOnInput(dir.file("out.txt"), temporary, {SIGHUP, SIGINT});
    ASSERT_GT(run.child, 0);
    ::kill(run.child, SIGHUP);
    ::kill(run.child, SIGINT);
    ASSERT_EQ(::write(run.input, "1 edge 2\n0 edge 2\n", 18), 18);
    ::close(run.input);
    int status = 0;
    ASSERT_EQ(::waitpid(run.child, &status, 0), run.child);
    EXPECT_TRUE(run.spooled);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(readText(dir.file("out.txt")), "0 edge 1\n1 edge 2\n");
    EXPECT_EQ(temporary.entries(), std::vector<std::string>{});
}

TEST(CommandLine, MemoryFollowsTheDataNotTheThreadCount) {
    // 2.2 MB of matrix text: workers beyond the few that have rows to format cost no buffers.
    ScratchDir dir;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    std::string text;
    for (int i = 0; i < 500; ++i) {
        for (int j = 0; j < 500; ++j)
            text += std::to_string(weight(random)) + (j < 499 ? " " : "\n");
    }
    writeText(dir.file("w.txt"), text);
    const auto peakKilobytes = [&](const char* threads) {
        const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const pid_t child =
            spawnCli({"weakest-link", dir.file("w.txt"), dir.file("e.txt"), dir.file("m.txt"),
                      "--lower", "0.1", "--upper", "0.9", "--threads", threads},
                     input, dir.file(""));
        ::close(input);
        int status = 0;
        struct rusage usage {};
        EXPECT_EQ(::wait4(child, &status, 0, &usage), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return usage.ru_maxrss;
    };
    const long one = peakKilobytes("1");
    const long many = peakKilobytes("256");
    EXPECT_LT(many, one + 64 * 1024) << "peak with 1 thread " << one << " KiB, with 256 " << many;
}

TEST(CommandLine, TerminationSignalRemovesTemporaryOutputFiles) {
    // The matrix is complete in its temporary file while the edge list waits for a reader of its
    // FIFO that never comes: the signal arrives with a temporary output file on disk.
    ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("edges").c_str(), 0600), 0);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t child = spawnCli({"weakest-link", kWeights, dir.file("edges"), dir.file("matrix"),
                                  "--lower", "0.1", "--upper", "1"},
                                 input, dir.file(""));
    ::close(input);
    ASSERT_GT(child, 0);
    const bool sawTemporary = waitFor([&] { return temporaryFileCount(dir) > 0; });
    ::kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(sawTemporary) << "no temporary output file appeared";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_EQ(temporaryFileCount(dir), 0);
    EXPECT_FALSE(testing::fileExists(dir.file("matrix")));
}

TEST(CommandLine, ClosedStandardOutputEndsTheProgramLikeAPipeline) {
    // A bipartite graph keeps every edge: about 1 MB of output, more than a pipe holds, so the
    // program is still writing when the reader leaves after one byte. Standard output named as a
    // file ends the same way.
    ScratchDir dir;
    std::string edges;
    for (int i = 0; i < 300; ++i) {
        for (int j = 300; j < 600; ++j)
            edges += std::to_string(i) + " e " + std::to_string(j) + "\n";
    }
    writeText(dir.file("in.txt"), edges);
    for (const char* output : {"-", "/dev/stdout"}) {
        SCOPED_TRACE(output);
        ScratchDir temporary;
        const std::string command = "TMPDIR=" + shellQuote(temporary.file("")) +
                                    "; export TMPDIR; (" +
                                    commandFor({"reduce", dir.file("in.txt"), output}) + " 2>" +
                                    shellQuote(dir.file("err")) + "; echo $? >" +
                                    shellQuote(dir.file("status")) + ") | head -c 1 >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(readText(dir.file("status")), std::to_string(128 + SIGPIPE) + "\n");
        EXPECT_EQ(readText(dir.file("err")), "");
        EXPECT_EQ(temporary.entries(), std::vector<std::string>{});
    }
}

TEST(CommandLine, StandardStreamsThatCannotBeWrittenAreNamed) {
    // Help and version into a full device.
    for (const char* option : {"--help", "--version"}) {
        SCOPED_TRACE(option);
        ScratchDir dir;
        const std::string command =
            commandFor({option}) + " >/dev/full 2>" + shellQuote(dir.file("err"));
        EXPECT_EQ(exitCodeOf(std::system(command.c_str())), 3);
        EXPECT_EQ(readText(dir.file("err")),
                  "fwprune: standard output: cannot write: No space left on device\n");
    }
    // Output bound for standard output goes through a copy in $TMPDIR, which here takes no more
    // than a kilobyte: the message names standard output and that folder, not the copy's path,
    // which is gone.
    ScratchDir dir;
    std::string edges;
    for (int i = 0; i < 200; ++i) edges += std::to_string(i) + " e " + std::to_string(i + 1) + "\n";
    writeText(dir.file("in.txt"), edges);
    const CliResult result =
        runCli({"reduce", dir.file("in.txt"), "-"}, {"", "", "trap '' XFSZ; ulimit -f 1;"});
    expectOneErrorLine(result, 3, {"standard output (its copy in ", "File too large"});
    EXPECT_FALSE(contains(result.err, "/output")) << result.err;
}

// Each labelled format, through the library (options from fwpruneInitOptions, the format told by
// the file's name) and through the program, gives the native output mapped through the labels, in
// order of the labels' first appearance; .npy in and out gives the bytes of the text matrix.
TEST(FileFormats, LabelledAndNpyRunsMatchTheNativeRunMappedThroughTheLabels) {
    ScratchDir dir;
    std::mt19937 rng(2020);
    const int n = 40;
    std::vector<std::string> labels;
    for (int i = 0; i < n; ++i) {
        std::string label;
        if (i % 3 == 0) {
            for (int d = 0; d < 40; ++d) label += "0123456789abcdef"[rng() % 16];
        } else {
            label = "task " + std::to_string(i) + (i % 3 == 1 ? ", part" : " \"q\"");
        }
        labels.push_back(label);
    }
    // Cycles, self-loops and repeats included.
    std::vector<std::pair<int, int>> edges;
    for (int e = 0; e < 160; ++e) {
        const int s = static_cast<int>(rng() % n);
        edges.emplace_back(s, rng() % 4 == 0
                                  ? static_cast<int>(rng() % n)
                                  : std::min(n - 1, s + 1 + static_cast<int>(rng() % 5)));
    }
    std::string native;
    for (const auto& [s, t] : edges)
        native += std::to_string(s) + " edge " + std::to_string(t) + "\n";
    writeText(dir.file("g.txt"), native);
    ASSERT_EQ(runTransitiveReductionChecked(dir.file("g.txt").c_str(), dir.file("r.txt").c_str(),
                                            nullptr),
              FWPRUNE_OK);
    std::set<std::pair<int, int>> kept;
    std::istringstream reduced(readText(dir.file("r.txt")));
    for (int s, t; reduced >> s && reduced.ignore(6) >> t;) kept.emplace(s, t);
    std::vector<int> appearance(n, -1);
    int seen = 0;
    for (const auto& [s, t] : edges) {
        if (appearance[s] < 0) appearance[s] = seen++;
        if (appearance[t] < 0) appearance[t] = seen++;
    }
    std::vector<std::pair<int, int>> inOrder(kept.begin(), kept.end());
    std::sort(inOrder.begin(), inOrder.end(), [&](const auto& a, const auto& b) {
        return std::make_pair(appearance[a.first], appearance[a.second]) <
               std::make_pair(appearance[b.first], appearance[b.second]);
    });
    const auto csvField = [](const std::string& label) {
        if (label.find_first_of(",\"") == std::string::npos) return label;
        std::string quoted = "\"";
        for (const char c : label) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
    };
    struct Case {
        std::string name;
        std::string input;
        std::string expected;
    };
    std::vector<Case> cases(3);
    cases[0].name = "g.tsv";
    cases[1].name = "g.csv";
    cases[2].name = "g.dot";
    cases[0].input = "source\ttarget\tweight\n";
    cases[1].input = "source,target\r\n";
    cases[2].input = "digraph deps {\n";
    cases[0].expected = cases[0].input;
    cases[1].expected = "source,target\n";
    cases[2].expected = cases[2].input;
    for (const auto& [s, t] : edges) {
        cases[0].input += labels[s] + "\t" + labels[t] + "\t" + std::to_string(s * 100 + t) + "\n";
        cases[1].input += csvField(labels[s]) + "," + csvField(labels[t]) + "\r\n";
        const std::string ds =
            "\"" + std::regex_replace(labels[s], std::regex("\""), "\\\"") + "\"";
        const std::string dt =
            "\"" + std::regex_replace(labels[t], std::regex("\""), "\\\"") + "\"";
        cases[2].input += "  " + ds + " -> " + dt + " [w=" + std::to_string(s) + "];\n";
        cases[2].expected +=
            "  " +
            (kept.count({s, t}) ? ds + " -> " + dt + " [w=" + std::to_string(s) + "]"
                                : ds + "; " + dt) +
            ";\n";
    }
    cases[2].input += "}\n";
    cases[2].expected += "}\n";
    for (const auto& [s, t] : inOrder) {
        cases[0].expected +=
            labels[s] + "\t" + labels[t] + "\t" + std::to_string(s * 100 + t) + "\n";
        cases[1].expected += csvField(labels[s]) + "," + csvField(labels[t]) + "\n";
    }
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.header = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file(c.name);
        const std::string out = dir.file("out-" + c.name);
        writeText(in, c.input);
        ASSERT_EQ(runTransitiveReductionChecked(in.c_str(), out.c_str(), &options), FWPRUNE_OK)
            << fwpruneGetLastErrorMessage();
        EXPECT_EQ(readText(out), c.expected);
        std::vector<std::string> arguments = {"reduce", in, "-"};
        if (c.name != "g.dot") arguments.push_back("--header");
        const CliResult cli = runCli(arguments);
        EXPECT_EQ(cli.exitCode, 0) << cli.err;
        EXPECT_EQ(cli.out, c.expected);
    }

    // Weakest link: the same matrix as text and as .npy (float64, so each value is converted
    // as the text reader converts it).
    const int w = 70;
    std::vector<double> weights(static_cast<std::size_t>(w) * w);
    std::string text;
    for (int i = 0; i < w; ++i) {
        for (int j = 0; j < w; ++j) {
            double& v = weights[static_cast<std::size_t>(i) * w + j];
            v = rng() % 9 == 0 ? (rng() % 2 ? 2.0 : -0.25) : (rng() % 1000000) / 1e6 + 1e-7;
            char number[40];
            std::snprintf(number, sizeof number, "%.17g ", v);
            text += number;
        }
        text += "\n";
    }
    std::string npy = "{'descr': '<f8', 'fortran_order': False, 'shape': (70, 70), }";
    while ((10 + npy.size() + 1) % 64 != 0) npy += ' ';
    npy = std::string("\x93NUMPY\x01\x00", 8) + char(npy.size() + 1) + '\0' + npy + "\n" +
          std::string(reinterpret_cast<const char*>(weights.data()), weights.size() * 8);
    writeText(dir.file("w.txt"), text);
    writeText(dir.file("w.npy"), npy);
    const auto prune = [&](const std::string& in, const std::string& edges,
                           const std::string& matrix, bool cli) {
        if (cli) {
            const CliResult result = runCli({"weakest-link", dir.file(in), dir.file(edges),
                                             dir.file(matrix), "--lower", "0.1", "--upper", "1"});
            ASSERT_EQ(result.exitCode, 0) << result.err;
        } else {
            ASSERT_EQ(
                runWeakestLinkReductionChecked(dir.file(in).c_str(), dir.file(edges).c_str(),
                                               dir.file(matrix).c_str(), 0.1f, 1.0f, &options),
                FWPRUNE_OK)
                << fwpruneGetLastErrorMessage();
        }
    };
    for (const bool cli : {false, true}) {
        prune("w.txt", "e-text.txt", "m-text.txt", cli);
        prune("w.npy", "e-npy.txt", "m-npy.txt", cli);
        prune("w.txt", "e-text2.txt", "m-text.npy", cli);
        prune("w.npy", "e-npy2.txt", "m-npy.npy", cli);
        EXPECT_EQ(readText(dir.file("m-npy.txt")), readText(dir.file("m-text.txt")));
        EXPECT_EQ(readText(dir.file("e-npy.txt")), readText(dir.file("e-text.txt")));
        EXPECT_EQ(readText(dir.file("e-npy2.txt")), readText(dir.file("e-text.txt")));
        EXPECT_EQ(readText(dir.file("m-npy.npy")), readText(dir.file("m-text.npy")));
        EXPECT_EQ(readText(dir.file("m-npy.npy")).size(), 128u + 4u * w * w);
    }
}

}  // namespace
}  // namespace fwprune
