// Edge-list reading and writing.
#include <gtest/gtest.h>

#include "common/error.h"
#include "graph_files/edge_list.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::ScratchDir;

ByteAdjacencyMatrix parse(const std::string& text) {
    return parseEdgeList(text, "g.txt");
}

std::vector<std::uint8_t> cellsOf(int n, std::initializer_list<std::pair<int, int>> edges) {
    std::vector<std::uint8_t> cells(std::size_t(n) * n, 0);
    for (auto [a, b] : edges) cells[std::size_t(a) * n + b] = 1;
    return cells;
}

std::string roundTrip(const std::string& text) {
    ScratchDir dir;
    writeEdgeList(parse(text), dir.file("out.txt"));
    return testing::readText(dir.file("out.txt"));
}

// Expects a parse error of the given status whose message contains every fragment.
void expectParseError(const std::string& text, Status status,
                      std::initializer_list<const char*> fragments) {
    try {
        parse(text);
        ADD_FAILURE() << "no error for: " << text;
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), status);
        for (const char* fragment : fragments) {
            EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos)
                << error.what() << " lacks " << fragment;
        }
    }
}

TEST(EdgeListReader, SizesTheMatrixByTheLargestNodeNumber) {
    const ByteAdjacencyMatrix chain = parse("0 edge 1\n1 edge 2\n");
    EXPECT_EQ(chain.n, 3);
    EXPECT_EQ(chain.cells, cellsOf(3, {{0, 1}, {1, 2}}));
    EXPECT_EQ(nodeCount, 3);
    EXPECT_EQ(cellCount, 9);

    const ByteAdjacencyMatrix loop = parse("5 edge 5\n");
    EXPECT_EQ(loop.n, 6);
    EXPECT_EQ(loop.cells, cellsOf(6, {{5, 5}}));
}

TEST(EdgeListReader, NegativeNodeSkipsItsRecordButTheOtherNumberCounts) {
    const ByteAdjacencyMatrix m = parse("-1 edge 5\n");
    EXPECT_EQ(m.n, 6);
    EXPECT_EQ(m.cells, cellsOf(6, {}));
    EXPECT_EQ(parse("-3 edge -4\n-1 x -1\n").n, 0);
}

TEST(EdgeListReader, EmptyOrBlankFilesHaveNoNodes) {
    for (const char* text : {"", "\n", "  \r\n\t \n"}) {
        const ByteAdjacencyMatrix m = parse(text);
        EXPECT_EQ(m.n, 0) << '"' << text << '"';
        EXPECT_TRUE(m.cells.empty());
    }
}

TEST(EdgeListReader, ReadsTokensAsAtoiDoesAndIgnoresLineStructure) {
    // Any middle word, CR LF line ends, records split across lines, leading numbers of
    // mixed tokens, signs, and non-numbers as 0.
    EXPECT_EQ(parse("0 to 1\r\n").cells, cellsOf(2, {{0, 1}}));
    EXPECT_EQ(parse("0\nedge\n1 1 e\t2").cells, cellsOf(3, {{0, 1}, {1, 2}}));
    EXPECT_EQ(parse("2abc edge +1\n").cells, cellsOf(3, {{2, 1}}));
    EXPECT_EQ(parse("x edge 2\n").cells, cellsOf(3, {{0, 2}}));
    EXPECT_EQ(parse("0 a-very-long-middle-word-is-ignored-entirely 1\n").cells,
              cellsOf(2, {{0, 1}}));
}

TEST(EdgeListReader, StoresALastRecordWithNoWhitespaceAfterIt) {
    EXPECT_EQ(parse("0 edge 1\n1 edge 2").cells, cellsOf(3, {{0, 1}, {1, 2}}));
}

TEST(EdgeListReader, RejectsWhatWouldOverflowOrBeLost) {
    expectParseError("0 edge 1\n123456789012 edge 1\n", Status::Format,
                     {"g.txt:2:", "123456789012", "longer than 11"});
    expectParseError("0 edge 99999999999\n", Status::Format, {"g.txt:1:", "32-bit"});
    expectParseError("0 edge 2147483647\n", Status::TooLarge, {"g.txt", "46340"});
    expectParseError("0 edge 46340\n", Status::TooLarge, {"46341 nodes"});
    expectParseError("0 edge 1\n2 edge\n", Status::Format, {"g.txt:2:", "ends inside a record"});
    expectParseError("0 edge 1 7", Status::Format, {"ends inside a record", "'7'"});
}

TEST(EdgeListReader, MessagesShowUnprintableBytesEscaped) {
    // A NUL inside a quoted token would cut the C string a caller reads the message from.
    const std::string text("0 edge 1\n2 edge 12345678\0x12\n", 29);
    expectParseError(text, Status::Format, {"g.txt:2:", "'12345678\\x00x12'"});
}

TEST(EdgeListReader, LargestGraphThatFitsTheCellCountIsAccepted) {
    const ByteAdjacencyMatrix m = parse("46339 edge 0\n");
    EXPECT_EQ(m.n, 46340);
    EXPECT_EQ(cellCount, 46340 * 46340);
}

TEST(EdgeListReader, ReportsFilesThatCannotBeRead) {
    ScratchDir dir;
    try {
        readEdgeList(dir.file("missing.txt"));
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::Io);
        EXPECT_NE(std::string(error.what()).find("missing.txt"), std::string::npos);
    }
    EXPECT_THROW(readEdgeList(dir.file("")), Error);  // a directory
}

// Files of several MiB are parsed in parallel chunks; records that straddle chunk boundaries,
// split across lines in any way, must read the same, and errors must name the right line.
TEST(EdgeListReader, LargeFilesReadTheSameOnAnyThreadCount) {
    std::mt19937 random(9);
    std::uniform_int_distribution<int> node(-2, 1499);
    std::string text;
    long long lines = 1;
    while (text.size() < (std::size_t{6} << 20)) {
        const char* const separators[] = {" ", "\n", "\t", " \r\n"};
        text += std::to_string(node(random)) + separators[random() % 4] + "edge" +
                separators[random() % 4] + std::to_string(node(random)) + "\n";
    }
    for (char c : text) lines += c == '\n';
    const ByteAdjacencyMatrix serial = parseEdgeList(text, "big.txt", false, 1);
    for (const int threads : {2, 3, 8}) {
        // With and without room to keep the records between the two passes.
        for (const std::size_t kept : {kKeptRecordBytes, std::size_t{0}, std::size_t{200000}}) {
            const ByteAdjacencyMatrix parallel =
                parseEdgeList(text, "big.txt", false, threads, kept);
            ASSERT_EQ(parallel.n, serial.n);
            ASSERT_EQ(parallel.cells, serial.cells)
                << threads << " threads, " << kept << " bytes kept";
        }
    }
    expectParseError(text + "7 edge", Status::Format,
                     {("g.txt:" + std::to_string(lines) + ":").c_str(), "ends inside a record"});
    std::string bad = text;
    bad.insert(bad.size() / 2, " 123456789012 ");
    expectParseError(bad, Status::Format, {"longer than 11"});
}

TEST(EdgeListWriter, WritesEachEdgeOnceSortedBySourceThenTarget) {
    EXPECT_EQ(roundTrip("2 edge 0\n0 edge 2\n0 edge 1\n2 edge 0\n1 edge 1\n"),
              "0 edge 1\n0 edge 2\n1 edge 1\n2 edge 0\n");
    EXPECT_EQ(roundTrip("-1 edge 5\n"), "");
}

TEST(EdgeListWriter, WritesEveryNonZeroCell) {
    ScratchDir dir;
    ByteAdjacencyMatrix m;
    m.n = 2;
    m.cells = {0, 2, 1, 7};
    writeEdgeList(m, dir.file("out.txt"));
    EXPECT_EQ(testing::readText(dir.file("out.txt")), "0 edge 1\n1 edge 0\n1 edge 1\n");
}

TEST(EdgeListWriter, FailureLeavesNoFileAndKeepsAnExistingOne) {
    ScratchDir dir;
    const ByteAdjacencyMatrix m = parse("0 edge 1\n");
    EXPECT_THROW(writeEdgeList(m, dir.file("no-such-dir/out.txt")), Error);
    EXPECT_TRUE(dir.entries().empty());

    // A directory cannot be replaced by a file: the rename fails after the temporary file was
    // written, and both the directory and the scratch folder are left clean.
    std::filesystem::create_directory(dir.file("taken"));
    testing::writeText(dir.file("taken/keep.txt"), "old");
    EXPECT_THROW(writeEdgeList(m, dir.file("taken")), Error);
    EXPECT_EQ(testing::readText(dir.file("taken/keep.txt")), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"taken"});
}

}  // namespace
}  // namespace fwprune
