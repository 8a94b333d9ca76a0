// Helpers shared by the tests: scratch files, graphs and their text, the options of a backend,
// the command-line runner, and plain references of both jobs written for clarity rather than
// speed.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fwprune.h"
#include "reference_models.h"

namespace fwprune::testing {

// A directory that exists for the life of one test.
class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("fwprune-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

  private:
    std::filesystem::path path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

// Whether a name is that of an output's temporary file.
inline bool isTemporaryFileName(const std::string& name) {
    return name.rfind(".fwprune-", 0) == 0;
}

// The temporary files an output left in a folder.
inline std::vector<std::string> temporaryFilesIn(const ScratchDir& dir) {
    std::vector<std::string> names = dir.entries();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !isTemporaryFileName(name); }),
                names.end());
    return names;
}

inline int temporaryFileCount(const ScratchDir& dir) {
    return static_cast<int>(temporaryFilesIn(dir).size());
}

// The default options with the backend (and thread count) set.
inline fwpruneOptions backendOptions(fwpruneBackend backend, int threads = 0) {
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = backend;
    options.threads = threads;
    return options;
}

// The n x n 0/1 matrix of the edges (source, target), row by row.
inline std::vector<std::uint8_t> adjacencyOf(std::int64_t n,
                                             const std::vector<std::pair<int, int>>& edges) {
    std::vector<std::uint8_t> cells(static_cast<std::size_t>(n * n), 0);
    for (const auto& [source, target] : edges) cells[std::size_t(source * n + target)] = 1;
    return cells;
}

// An edge list in the native text: "i edge j" lines, row by row, for each cell of the n x n
// matrix that holds an edge (a non-zero byte; a weight other than 2.0).
template <typename Cell>
std::string edgeListText(const std::vector<Cell>& cells, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const Cell cell = cells[std::size_t(i) * n + j];
            const bool edge = std::is_same<Cell, float>::value ? !(cell == Cell(2)) : cell != 0;
            if (edge) text += std::to_string(i) + " edge " + std::to_string(j) + "\n";
        }
    }
    return text;
}

// A weight matrix as text with digits enough to read back exactly (NaN payloads aside).
inline std::string exactWeightText(const std::vector<float>& cells, int n) {
    std::string text;
    char value[32];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            std::snprintf(value, sizeof value, j == 0 ? "%.9g" : " %.9g",
                          double(cells[std::size_t(i) * n + j]));
            text += value;
        }
        text += "\n";
    }
    return text;
}

// --- the command line (FWPRUNE_CLI: its path, set by the tests' build) ---------------------------
#ifdef FWPRUNE_CLI

inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string commandFor(const std::vector<std::string>& arguments) {
    std::string command = shellQuote(FWPRUNE_CLI);
    for (const std::string& argument : arguments) command += " " + shellQuote(argument);
    return command;
}

// A shell's wait status as an exit code; -1 when a signal ended the program.
inline int exitCodeOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

struct CliResult {
    int exitCode;  // exitCodeOf the program's status
    std::string out;
    std::string err;
};

struct CliSetup {
    std::string input;             // standard input
    std::string workingDirectory;  // empty: the test's own
    std::string shellPrefix;       // run before the command in the same shell, e.g. a ulimit
};

// Runs the program with its standard streams on files and $TMPDIR on a fresh directory, which
// must be empty again afterwards whether the run succeeded or not.
inline CliResult runCli(const std::vector<std::string>& arguments, const CliSetup& setup = {}) {
    ScratchDir streams;
    ScratchDir temporary;
    writeText(streams.file("in"), setup.input);
    std::string command = "TMPDIR=" + shellQuote(temporary.file("")) + "; export TMPDIR; ";
    if (!setup.workingDirectory.empty())
        command += "cd " + shellQuote(setup.workingDirectory) + " && ";
    command += setup.shellPrefix + " " + commandFor(arguments) + " <" +
               shellQuote(streams.file("in")) + " >" + shellQuote(streams.file("out")) + " 2>" +
               shellQuote(streams.file("err"));
    const int status = std::system(command.c_str());
    EXPECT_EQ(temporary.entries(), std::vector<std::string>{}) << "temporaries left behind";
    return {exitCodeOf(status), readText(streams.file("out")), readText(streams.file("err"))};
}
#endif

// A random 0/1 matrix with the given edge probability; self-loops and cycles included.
inline std::vector<std::uint8_t> randomAdjacency(int n, double density, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::bernoulli_distribution edge(density);
    std::vector<std::uint8_t> cells(static_cast<std::size_t>(n) * n);
    for (auto& cell : cells) cell = edge(random) ? 1 : 0;
    return cells;
}

inline float signallingNaN() {
    const std::uint32_t bits = 0x7fa00000u;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Random weights with every value that exercises a rule: NaN of both signs (quiet and
// signalling), -0.0, negatives, subnormals, infinities, 2.0 cells, zeros, and cells equal to
// either threshold.
inline std::vector<float> randomWeights(int n, float lower, float upper, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 41);
    const float specials[] = {std::nanf(""), -std::nanf(""),  -0.0f,           0.0f, -0.5f, 1e-40f,
                              -1e-40f,       INFINITY,        -INFINITY,       2.0f, lower, upper,
                              -lower,        signallingNaN(), -signallingNaN()};
    std::vector<float> m(static_cast<std::size_t>(n) * n);
    for (float& v : m) {
        const int choice = pick(random);
        v = choice < 15 ? specials[choice] : unit(random);
    }
    return m;
}

inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace fwprune::testing
