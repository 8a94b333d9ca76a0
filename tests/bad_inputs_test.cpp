// Bad inputs for both jobs, each run through the library's checked calls and through the command
// line: the status, the exit code and a fragment of the message stand beside each case.
// Exit codes: 0 ok, 2 usage, 3 input or output file error, 4 device or engine error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fwprune.h"
#include "test_support.h"

namespace fwprune {
namespace {

using namespace std::string_literals;
using testing::CliResult;
using testing::fileExists;
using testing::readText;
using testing::runCli;
using testing::ScratchDir;
using testing::writeText;

enum class Job { Reduce, WeakestLink };
enum class Input { Text, Missing, Directory };
enum class Output {
    Fresh,
    InMissingDirectory,
    EdgesOnlyInMissingDirectory,  // the weakest-link matrix path is fine
    IsADirectory,
    SameAsInput,
    EmptyPath
};

// For the weakest-link job, Output describes the edge-list path; the matrix goes beside it.
struct BadInput {
    const char* name;
    Job job;
    Input input;
    std::string text;
    Output output;
    bool strict;               // --strict on the command line
    fwpruneStatus status;      // from the checked call
    int exitCode;              // from the command line
    std::string fragment;      // in the message and on standard error
    std::string written = {};  // on success: the output (reduce) or edge list (weakest link)
    std::string inputName = "input.txt";  // its extension tells the format
};

// Names a failing case by its name rather than its bytes.
void PrintTo(const BadInput& c, std::ostream* out) {
    *out << c.name;
}

constexpr float kLower = 0.1f;
constexpr float kUpper = 0.9f;

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// A .npy file: the header numpy writes for descr and shape, then payload bytes of zeros.
std::string npy(const std::string& descr, const std::string& shape, std::size_t payload) {
    std::string header =
        "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    while ((10 + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    return "\x93NUMPY\x01\x00"s + static_cast<char>(header.size()) + '\0' + header +
           std::string(payload, '\0');
}

const std::vector<BadInput>& cases() {
    using J = Job;
    using I = Input;
    using O = Output;
    static const std::vector<BadInput> table = {
        // Edge lists.
        {"edges missing file", J::Reduce, I::Missing, "", O::Fresh, false, FWPRUNE_ERROR_IO, 3,
         "cannot open for reading: "},
        {"edges directory", J::Reduce, I::Directory, "", O::Fresh, false, FWPRUNE_ERROR_IO, 3,
         "cannot read: "},
        {"edges empty file", J::Reduce, I::Text, "", O::Fresh, false, FWPRUNE_OK, 0, "", ""},
        {"edges binary garbage", J::Reduce, I::Text,
         "\x7f"
         "ELF\x02\x01\x01\0\xff\xfe"s,
         O::Fresh, false, FWPRUNE_ERROR_FORMAT, 3, "the file ends inside a record"},
        {"edges binary tokens read as atoi reads them", J::Reduce, I::Text,
         "\x01\x02 \xff\xfe \x80", O::Fresh, false, FWPRUNE_OK, 0, "", ""},
        {"edges binary tokens, strict", J::Reduce, I::Text, "\x01\x02 \xff\xfe \x80", O::Fresh,
         true, FWPRUNE_ERROR_FORMAT, 3, "is not a node number"},
        {"edges lone sign, strict", J::Reduce, I::Text, "0 edge 1\n0 edge -\n", O::Fresh, true,
         FWPRUNE_ERROR_FORMAT, 3, ":2: '-' is not a node number"},
        {"edges overlong node token", J::Reduce, I::Text, "0 edge 123456789012\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, ":1: node number '123456789012' is longer than 11 characters"},
        {"edges overlong middle word", J::Reduce, I::Text, "0 " + repeat("w", 1 << 20) + " 1\n",
         O::Fresh, false, FWPRUNE_OK, 0, "", "0 edge 1\n"},
        {"edges number overflows", J::Reduce, I::Text, "0 edge 1\n0 edge 99999999999\n", O::Fresh,
         false, FWPRUNE_ERROR_FORMAT, 3, ":2: node number '99999999999' does not fit a 32-bit"},
        {"edges negative number overflows", J::Reduce, I::Text, "-9999999999 edge 0\n", O::Fresh,
         false, FWPRUNE_ERROR_FORMAT, 3, "does not fit a 32-bit integer"},
        {"edges n too large", J::Reduce, I::Text, "46340 edge 0\n", O::Fresh, false,
         FWPRUNE_ERROR_TOO_LARGE, 3, "46341 nodes need 46341x46341 cells"},
        {"edges n far too large", J::Reduce, I::Text, "0 edge 2147483647\n", O::Fresh, false,
         FWPRUNE_ERROR_TOO_LARGE, 3, "2147483648 nodes"},
        {"edges record cut short", J::Reduce, I::Text, "0 edge 1\n2 edge\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, ":2: the file ends inside a record"},
        {"edges output in a missing directory", J::Reduce, I::Text, "0 edge 1\n",
         O::InMissingDirectory, false, FWPRUNE_ERROR_IO, 3, "cannot create output file: "},
        {"edges output is a directory", J::Reduce, I::Text, "0 edge 1\n", O::IsADirectory, false,
         FWPRUNE_ERROR_IO, 3, "cannot replace output file: "},
        {"edges output is the input", J::Reduce, I::Text, "0 edge 1\n1 edge 2\n0 edge 2\n",
         O::SameAsInput, false, FWPRUNE_OK, 0, "", "0 edge 1\n1 edge 2\n"},
        {"edges empty output path", J::Reduce, I::Text, "0 edge 1\n", O::EmptyPath, false,
         FWPRUNE_ERROR_INVALID_ARGUMENT, 2, "the output path is empty"},

        // Weight matrices.
        {"matrix missing file", J::WeakestLink, I::Missing, "", O::Fresh, false, FWPRUNE_ERROR_IO,
         3, "cannot open for reading: "},
        {"matrix directory", J::WeakestLink, I::Directory, "", O::Fresh, false, FWPRUNE_ERROR_IO, 3,
         "cannot read: "},
        {"matrix empty file", J::WeakestLink, I::Text, "", O::Fresh, false, FWPRUNE_OK, 0, "", ""},
        {"matrix binary garbage", J::WeakestLink, I::Text, "\0\x01\x02 \xff\xfe\n"s, O::Fresh,
         false, FWPRUNE_ERROR_FORMAT, 3, "4 values are needed, but the file ends after 2 values"},
        {"matrix binary token, strict", J::WeakestLink, I::Text, "\xff\xfe 1\n2 3\n", O::Fresh,
         true, FWPRUNE_ERROR_FORMAT, 3, ":1: '\\xff\\xfe' is not a number"},
        {"matrix lone point, strict", J::WeakestLink, I::Text, "0 1\n. 0\n", O::Fresh, true,
         FWPRUNE_ERROR_FORMAT, 3, ":2: '.' is not a number"},
        // A 5000-digit number is infinity (at or above the upper threshold, so absent).
        {"matrix overlong number", J::WeakestLink, I::Text, "1" + repeat("0", 4999) + "\n",
         O::Fresh, true, FWPRUNE_OK, 0, "", ""},
        // The message quotes at most 40 characters of a token.
        {"matrix overlong token, strict", J::WeakestLink, I::Text, repeat("x", 5000) + "\n",
         O::Fresh, true, FWPRUNE_ERROR_FORMAT, 3, "'" + repeat("x", 40) + "...' is not a number"},
        // Overflow and underflow read as atof reads them: infinities and zero.
        {"matrix numbers that overflow", J::WeakestLink, I::Text, "1e999 -1e999\n1e-999 0\n",
         O::Fresh, true, FWPRUNE_OK, 0, "", "1 edge 0\n1 edge 1\n"},
        {"matrix n too large", J::WeakestLink, I::Text, repeat("0 ", 46341) + "\n", O::Fresh, false,
         FWPRUNE_ERROR_TOO_LARGE, 3, "46341 nodes"},
        {"matrix short", J::WeakestLink, I::Text, "1 2\n3\n", O::Fresh, false, FWPRUNE_ERROR_FORMAT,
         3, ":2: the matrix has 2 columns on its first line, so 4 values"},
        {"matrix outputs in a missing directory", J::WeakestLink, I::Text, "0 1\n1 0\n",
         O::InMissingDirectory, false, FWPRUNE_ERROR_IO, 3, "cannot create output file"},
        {"matrix edge list alone in a missing directory", J::WeakestLink, I::Text, "0 1\n1 0\n",
         O::EdgesOnlyInMissingDirectory, false, FWPRUNE_ERROR_IO, 3, "cannot create output file"},
        {"matrix edge list is a directory", J::WeakestLink, I::Text, "0 1\n1 0\n", O::IsADirectory,
         false, FWPRUNE_ERROR_IO, 3, "cannot replace output file: "},
        {"matrix edge list is the input", J::WeakestLink, I::Text, "0 0.5\n0.95 0\n",
         O::SameAsInput, false, FWPRUNE_OK, 0, "", "0 edge 0\n0 edge 1\n1 edge 1\n"},
        {"matrix empty edge list path", J::WeakestLink, I::Text, "0\n", O::EmptyPath, false,
         FWPRUNE_ERROR_INVALID_ARGUMENT, 2, "the edge list path is empty"},

        // Labelled edge lists, DOT and .npy, told by the input's extension.
        {"csv unterminated quote", J::Reduce, I::Text, "a,b\n\"c,d\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.csv:2: a quoted field is not closed", "", "input.csv"},
        {"csv text after a closing quote", J::Reduce, I::Text, "a,b\n\"c\"x,d\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.csv:2: text after the closing quote", "", "input.csv"},
        {"tsv record without a target", J::Reduce, I::Text, "# c\na\tb\nc\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.tsv:3: a record needs a source and a target", "",
         "input.tsv"},
        {"tsv target only line ends", J::Reduce, I::Text, "a\tb\r\nc\t\r\r\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.tsv:2: the target label is empty", "", "input.tsv"},
        {"tsv empty source", J::Reduce, I::Text, "a\tb\n\tb", O::Fresh, false, FWPRUNE_ERROR_FORMAT,
         3, "input.tsv:2: the source label is empty", "", "input.tsv"},
        {"dot syntax error", J::Reduce, I::Text, "digraph {\n  a -> ;\n}\n", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.dot:2:8: expected an ID", "", "input.dot"},
        {"dot undirected graph", J::Reduce, I::Text, "graph { a -- b }", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.gv:1:1: an undirected graph", "", "input.gv"},
        {"dot undirected edge", J::Reduce, I::Text, "digraph { a -- b }", O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "input.dot:1:13: an undirected edge '--'", "", "input.dot"},
        {"npy for the reduction", J::Reduce, I::Text, npy("<f4", "(1, 1)", 4), O::Fresh, false,
         FWPRUNE_ERROR_INVALID_ARGUMENT, 2, "holds a weight matrix", "", "input.npy"},
        {"npy int matrix", J::WeakestLink, I::Text, npy("<i4", "(2, 2)", 16), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "holds int32 values", "", "input.npy"},
        {"npy complex matrix", J::WeakestLink, I::Text, npy("<c8", "(2, 2)", 32), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "holds complex64 values", "", "input.npy"},
        {"npy object matrix", J::WeakestLink, I::Text, npy("|O", "(2, 2)", 16), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "holds object values", "", "input.npy"},
        {"npy 1-D array", J::WeakestLink, I::Text, npy("<f8", "(4,)", 32), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "holds a 1-D array", "", "input.npy"},
        {"npy not square", J::WeakestLink, I::Text, npy("<f8", "(2, 3)", 48), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3, "2 x 3 matrix, which is not square", "", "input.npy"},
        {"npy truncated", J::WeakestLink, I::Text, npy("<f4", "(3, 3)", 30), O::Fresh, false,
         FWPRUNE_ERROR_FORMAT, 3,
         "holds 30 bytes of elements where its header's shape (3, 3) "
         "needs 36",
         "", "input.npy"},
        {"npy header lies about its size", J::WeakestLink, I::Text, npy("<f4", "(2, 2)", 36),
         O::Fresh, false, FWPRUNE_ERROR_FORMAT, 3, "holds 36 bytes of elements", "", "input.npy"},
        {"npy cut inside its header", J::WeakestLink, I::Text,
         npy("<f4", "(2, 2)", 0).substr(0, 40), O::Fresh, false, FWPRUNE_ERROR_FORMAT, 3,
         "the .npy header is cut short", "", "input.npy"},
        {"npy past the dense limit", J::WeakestLink, I::Text, npy("<f4", "(46341, 46341)", 0),
         O::Fresh, false, FWPRUNE_ERROR_TOO_LARGE, 3, "46341", "", "input.npy"},
    };
    return table;
}

// Paths of one case, laid out in its own directory.
struct Paths {
    std::string input, output, matrix;
};

Paths prepare(const BadInput& c, const ScratchDir& dir) {
    Paths p{dir.file(c.inputName), dir.file("output.txt"), dir.file("matrix.txt")};
    if (c.input == Input::Text) writeText(p.input, c.text);
    if (c.input == Input::Directory) std::filesystem::create_directory(p.input);
    switch (c.output) {
        case Output::Fresh:
            break;
        case Output::InMissingDirectory:
            p.output = dir.file("no-such-directory/output.txt");
            p.matrix = dir.file("no-such-directory/matrix.txt");
            break;
        case Output::EdgesOnlyInMissingDirectory:
            p.output = dir.file("no-such-directory/output.txt");
            break;
        case Output::IsADirectory:
            std::filesystem::create_directory(p.output);
            break;
        case Output::SameAsInput:
            p.output = p.input;
            break;
        case Output::EmptyPath:
            p.output = "";
            break;
    }
    return p;
}

std::vector<std::string> cliArguments(const BadInput& c, const Paths& p) {
    std::vector<std::string> arguments = {"reduce", p.input, p.output};
    if (c.job == Job::WeakestLink) {
        arguments = {"weakest-link", p.input, p.output,  p.matrix,
                     "--lower",      "0.1",   "--upper", "0.9"};
    }
    arguments.insert(arguments.end(), {"--backend", "emulated"});
    if (c.strict) arguments.push_back("--strict");
    return arguments;
}

fwpruneStatus runLibrary(const BadInput& c, const Paths& p) {
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = FWPRUNE_BACKEND_EMULATED;
    options.strict = c.strict ? 1 : 0;
    if (c.job == Job::Reduce) {
        return runTransitiveReductionChecked(p.input.c_str(), p.output.c_str(), &options);
    }
    return runWeakestLinkReductionChecked(p.input.c_str(), p.output.c_str(), p.matrix.c_str(),
                                          kLower, kUpper, &options);
}

// After a failure no output exists; after a success the output holds what the case expects.
void expectOutputs(const BadInput& c, const Paths& p, bool succeeded) {
    if (succeeded) {
        EXPECT_EQ(readText(p.output), c.written);
        if (c.job == Job::WeakestLink) {
            EXPECT_TRUE(fileExists(p.matrix));
        }
        return;
    }
    if (c.output == Output::Fresh || c.output == Output::InMissingDirectory ||
        c.output == Output::EdgesOnlyInMissingDirectory) {
        EXPECT_FALSE(fileExists(p.output));
    }
    if (c.job == Job::WeakestLink) {
        EXPECT_FALSE(fileExists(p.matrix)) << "the matrix was written by a failed job";
    }
    if (c.input == Input::Text && c.output != Output::SameAsInput) {
        EXPECT_EQ(readText(p.input), c.text) << "the input was changed";
    }
}

class BadInputs : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, LibraryReportsTheStatusAndMessage) {
    const BadInput& c = GetParam();
    ScratchDir dir;
    const Paths p = prepare(c, dir);
    const fwpruneStatus status = runLibrary(c, p);
    const std::string message = fwpruneGetLastErrorMessage();
    EXPECT_EQ(status, c.status) << fwpruneGetStatusName(status) << ": " << message;
    EXPECT_NE(message.find(c.fragment), std::string::npos) << message;
    if (c.status != FWPRUNE_OK && c.output != Output::EmptyPath) {
        const std::string named = c.output == Output::Fresh ? p.input : dir.file("");
        EXPECT_NE(message.find(named), std::string::npos) << "names no file: " << message;
    }
    expectOutputs(c, p, status == FWPRUNE_OK);
}

TEST_P(BadInputs, CommandLineExitsWithTheCodeAndMessage) {
    const BadInput& c = GetParam();
    ScratchDir dir;
    const Paths p = prepare(c, dir);
    const CliResult outcome = runCli(cliArguments(c, p));
    EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.err;
    EXPECT_NE(outcome.err.find(c.fragment), std::string::npos) << outcome.err;
    expectOutputs(c, p, outcome.exitCode == 0);
}

std::string caseName(const ::testing::TestParamInfo<BadInput>& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p)))
            name += *p;
        else if (*p == ' ')
            name += '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(BothFormats, BadInputs, ::testing::ValuesIn(cases()), caseName);

TEST(BadCommandLines, ExitWithTheUsageCodeAndSayWhy) {
    struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        const char* fragment;
    };
    // The fragment is what was wrong, which the message must name whatever its wording.
    const Row rows[] = {
        {{}, 2, "no command"},
        {{"prune", "a", "b"}, 2, "prune"},
        {{"reduce", "a"}, 2, "reduce"},
        {{"reduce", "a", "b", "--frobnicate"}, 2, "--frobnicate"},
        {{"weakest-link", "a", "b", "c", "--upper", "1"}, 2, "--lower"},
        {{"weakest-link", "a", "b", "c", "--lower", "0.1x", "--upper", "1"}, 2, "0.1x"},
        {{"weakest-link", "a", "b", "c", "--lower", "0.1", "--upper"}, 2, "--upper"},
        {{"reduce", "a", "b", "--backend", "tpu"}, 2, "tpu"},
        {{"reduce", "a", "b", "--threads", "-1"}, 2, "--threads"},
        {{"reduce", "a", "b", "--threads", "4097"}, 2, "4097"},
    };
    for (const Row& row : rows) {
        const CliResult outcome = runCli(row.arguments);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.fragment;
        EXPECT_NE(outcome.err.find(row.fragment), std::string::npos) << outcome.err;
    }
}

TEST(BadCommandLines, GpuWithoutADeviceIsAnEngineError) {
    if (fwpruneGetDefaultBackend() == FWPRUNE_BACKEND_GPU) GTEST_SKIP() << "this machine has a GPU";
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 edge 1\n");
    const CliResult outcome =
        runCli({"reduce", dir.file("in.txt"), dir.file("out.txt"), "--backend", "gpu"});
    EXPECT_EQ(outcome.exitCode, 4);
    EXPECT_NE(outcome.err.find("no usable CUDA device"), std::string::npos) << outcome.err;
    EXPECT_FALSE(fileExists(dir.file("out.txt")));
}

// A C caller may store any int in the backend field; the library must reject it without reading
// it through the enum type (undefined behaviour that UBSan reports).
TEST(BadOptions, UnknownBackendValueIsAnInvalidArgument) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), "0 edge 1\n");
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    const int unknown = 9;
    std::memcpy(&options.backend, &unknown, sizeof unknown);
    unsigned char cell = 1;
    float weight = 0.5f;
    const fwpruneStatus statuses[] = {
        runTransitiveReductionChecked(dir.file("in.txt").c_str(), dir.file("out.txt").c_str(),
                                      &options),
        fwpruneReduceAdjacencyMatrix(&cell, 1, 1, &options),
        fwprunePruneWeightMatrix(&weight, 1, 1, kLower, kUpper, &options),
    };
    for (const fwpruneStatus status : statuses) {
        EXPECT_EQ(status, FWPRUNE_ERROR_INVALID_ARGUMENT) << fwpruneGetStatusName(status);
    }
    EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find("unknown backend 9"),
              std::string::npos)
        << fwpruneGetLastErrorMessage();
    EXPECT_FALSE(fileExists(dir.file("out.txt")));
}

TEST(BadMatrixArguments, InMemoryCallsRejectThemAndLeaveTheMatrix) {
    struct Row {
        int n;
        std::size_t rowStride;
        bool nullMatrix;
        fwpruneStatus status;
        const char* fragment;
    };
    const Row rows[] = {
        {-1, 4, false, FWPRUNE_ERROR_INVALID_ARGUMENT, "n is negative (-1)"},
        {3, 2, false, FWPRUNE_ERROR_INVALID_ARGUMENT, "row stride 2 is smaller than n (3)"},
        {2, 2, true, FWPRUNE_ERROR_INVALID_ARGUMENT, "the matrix pointer is null"},
        {46341, 46341, false, FWPRUNE_ERROR_TOO_LARGE, "46341 nodes exceed the limit of 46340"},
        {0, 0, true, FWPRUNE_OK, ""},
    };
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = FWPRUNE_BACKEND_EMULATED;
    for (const Row& row : rows) {
        std::vector<unsigned char> bytes(16, 1);
        std::vector<float> weights(16, -1.0f);
        unsigned char* const adjacency = row.nullMatrix ? nullptr : bytes.data();
        float* const floats = row.nullMatrix ? nullptr : weights.data();
        EXPECT_EQ(fwpruneReduceAdjacencyMatrix(adjacency, row.n, row.rowStride, &options),
                  row.status);
        EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find(row.fragment), std::string::npos)
            << fwpruneGetLastErrorMessage();
        EXPECT_EQ(fwprunePruneWeightMatrix(floats, row.n, row.rowStride, kLower, kUpper, &options),
                  row.status);
        EXPECT_NE(std::string(fwpruneGetLastErrorMessage()).find(row.fragment), std::string::npos)
            << fwpruneGetLastErrorMessage();
        EXPECT_EQ(bytes, std::vector<unsigned char>(16, 1));
        EXPECT_EQ(weights, std::vector<float>(16, -1.0f));
    }
}

}  // namespace
}  // namespace fwprune
