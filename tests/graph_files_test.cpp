// Edge-list reading and writing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "common/error.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::adjacencyOf;
using testing::ScratchDir;
using testing::temporaryFilesIn;

ByteAdjacencyMatrix parse(const std::string& text) {
    return parseEdgeList(text, "g.txt");
}

std::string roundTrip(const std::string& text) {
    ScratchDir dir;
    writeSortedEdges(edgeRecordsOf(parse(text)), dir.file("out.txt"));
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
    EXPECT_EQ(chain.cells, adjacencyOf(3, {{0, 1}, {1, 2}}));

    const ByteAdjacencyMatrix loop = parse("5 edge 5\n");
    EXPECT_EQ(loop.n, 6);
    EXPECT_EQ(loop.cells, adjacencyOf(6, {{5, 5}}));
}

TEST(EdgeListReader, NegativeNodeSkipsItsRecordButTheOtherNumberCounts) {
    const ByteAdjacencyMatrix m = parse("-1 edge 5\n");
    EXPECT_EQ(m.n, 6);
    EXPECT_EQ(m.cells, adjacencyOf(6, {}));
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
    EXPECT_EQ(parse("0 to 1\r\n").cells, adjacencyOf(2, {{0, 1}}));
    EXPECT_EQ(parse("0\nedge\n1 1 e\t2").cells, adjacencyOf(3, {{0, 1}, {1, 2}}));
    EXPECT_EQ(parse("2abc edge +1\n").cells, adjacencyOf(3, {{2, 1}}));
    EXPECT_EQ(parse("x edge 2\n").cells, adjacencyOf(3, {{0, 2}}));
    EXPECT_EQ(parse("0 a-very-long-middle-word-is-ignored-entirely 1\n").cells,
              adjacencyOf(2, {{0, 1}}));
}

TEST(EdgeListReader, StoresALastRecordWithNoWhitespaceAfterIt) {
    EXPECT_EQ(parse("0 edge 1\n1 edge 2").cells, adjacencyOf(3, {{0, 1}, {1, 2}}));
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
    const EdgeRecords serial = parseEdgeRecords(text, "big.txt", false, 1, text.size());
    ScratchDir dir;
    testing::writeText(dir.file("big.txt"), text);
    for (const int threads : {1, 2, 3, 8}) {
        // The file is read in pieces; a record may straddle any of their ends.
        for (const std::size_t piece : {kEdgeListPieceBytes, std::size_t{7}, std::size_t{300007}}) {
            const EdgeRecords parallel = parseEdgeRecords(text, "big.txt", false, threads, piece);
            ASSERT_EQ(parallel.n, serial.n);
            ASSERT_EQ(parallel.records, serial.records)
                << threads << " threads, pieces of " << piece << " bytes";
            // Read from the file, mapped a piece at a time (pieces of a few bytes would take a
            // mapping each).
            if (piece > 7) {
                ASSERT_EQ(readEdgeRecords(dir.file("big.txt"), false, threads, piece).records,
                          serial.records)
                    << threads << " threads, pieces of " << piece << " bytes, from the file";
            }
            // Lines are numbered across pieces.
            try {
                parseEdgeRecords(text + "7 edge", "g.txt", false, threads, piece);
                ADD_FAILURE() << "no error";
            } catch (const Error& error) {
                EXPECT_NE(std::string(error.what()).find("g.txt:" + std::to_string(lines) + ":"),
                          std::string::npos)
                    << error.what() << ", " << threads << " threads, pieces of " << piece;
            }
        }
    }
    expectParseError(text + "7 edge", Status::Format,
                     {("g.txt:" + std::to_string(lines) + ":").c_str(), "ends inside a record"});
    std::string bad = text;
    bad.insert(bad.size() / 2, " 123456789012 ");
    expectParseError(bad, Status::Format, {"longer than 11"});
}

// A plain reading of the format to compare against: whitespace-separated tokens in threes,
// each node token read as atoi reads it.
ByteAdjacencyMatrix readPlainly(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : text + " ") {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    std::vector<std::pair<long long, long long>> records;
    long long top = -1;
    for (std::size_t t = 0; t + 2 < tokens.size(); t += 3) {
        const long long a = std::atoi(tokens[t].c_str());
        const long long b = std::atoi(tokens[t + 2].c_str());
        records.emplace_back(a, b);
        top = std::max({top, a, b});
    }
    ByteAdjacencyMatrix m;
    m.n = static_cast<std::int32_t>(top + 1);
    m.cells.assign(static_cast<std::size_t>(m.n) * m.n, 0);
    for (const auto& [a, b] : records)
        if (a >= 0 && b >= 0) m.cells[static_cast<std::size_t>(a * m.n + b)] = 1;
    return m;
}

// Whether every node token of the records is an optional sign followed by digits alone.
bool whollyDecimalNodes(const std::string& text) {
    std::istringstream in(text);
    std::string token;
    for (int position = 0; in >> token; position = (position + 1) % 3) {
        if (position == 1) continue;
        const std::size_t digits = token[0] == '+' || token[0] == '-' ? 1 : 0;
        if (token.size() == digits) return false;
        for (std::size_t i = digits; i < token.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
        }
    }
    return true;
}

// Node tokens of every length up to 11 characters, leading zeros, signs, trailing junk and
// non-numbers; middle words short and long; every separator in runs. The reader has a fast
// path for short plain records and a general one for the rest; both must read as atoi does,
// wherever a record falls against the end of the text.
TEST(EdgeListReader, AgreesWithAPlainTokenReaderOnRandomShapes) {
    std::mt19937 random(17);
    const auto pick = [&](int below) { return static_cast<int>(random() % unsigned(below)); };
    const auto nodeToken = [&]() -> std::string {
        switch (pick(10)) {
            case 0:
                return std::string(static_cast<std::size_t>(1 + pick(6)), '0') +
                       std::to_string(pick(900));
            case 1:
                return (pick(2) ? "+" : "-") + std::to_string(pick(900));
            case 2:
                return std::to_string(pick(900)) + (pick(2) ? "x" : "e5");
            case 3: {
                const char* const words[] = {"node", "-", "+", ".", "-.", "+-1"};
                return words[pick(6)];
            }
            default:
                return std::to_string(pick(2) ? pick(10) : pick(900));
        }
    };
    // A lone carriage return is a separator too, at the end of the file as anywhere else.
    const char* const separators[] = {" ", "\n", "\t", "\r\n", "  \v", "\f", "\r", " \r"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int records = 1 + pick(40);
        for (int r = 0; r < records; ++r) {
            text += nodeToken() + separators[pick(8)];
            text += pick(8) ? "edge" : std::string(static_cast<std::size_t>(1 + pick(40)), 'w');
            text += std::string(separators[pick(8)]) + nodeToken();
            if (r + 1 < records || pick(2)) text += separators[pick(8)];
        }
        const ByteAdjacencyMatrix expected = readPlainly(text);
        for (const int threads : {1, 2}) {
            const ByteAdjacencyMatrix m = parseEdgeList(text, "g.txt", false, threads);
            ASSERT_EQ(m.n, expected.n) << text;
            ASSERT_EQ(m.cells, expected.cells) << text;
        }
        // Strict reading takes the same records, or refuses the first node token that is not
        // wholly an optional sign and digits.
        if (whollyDecimalNodes(text)) {
            ASSERT_EQ(parseEdgeList(text, "g.txt", true).cells, expected.cells) << text;
        } else {
            EXPECT_THROW(parseEdgeList(text, "g.txt", true), Error) << text;
        }
    }
    // Nine and ten digits, and eleven characters with a sign, are still node numbers.
    const ByteAdjacencyMatrix wide = parse(
        "000000001 edge 0000000002\n"
        "+0000000002 e 0000000000\n"
        "-000000001 edge 0000000001\n");
    EXPECT_EQ(wide.cells, adjacencyOf(3, {{1, 2}, {2, 0}}));
}

TEST(EdgeListWriter, WritesEachEdgeOnceSortedBySourceThenTarget) {
    EXPECT_EQ(roundTrip("2 edge 0\n0 edge 2\n0 edge 1\n2 edge 0\n1 edge 1\n"),
              "0 edge 1\n0 edge 2\n1 edge 1\n2 edge 0\n");
    EXPECT_EQ(roundTrip("-1 edge 5\n"), "");
}

// Rows of a matrix written through its edge records, across the 8-cell skips over empty cells:
// sizes on both sides of the step, rows empty, with one edge anywhere, sparse, or dense.
TEST(EdgeListWriter, WritesEveryEdgeOfSparseRowsOfAnyLength) {
    std::mt19937 random(23);
    for (const int n : {1, 7, 8, 9, 63, 64, 65, 127, 128, 129, 200}) {
        ByteAdjacencyMatrix m;
        m.n = n;
        m.cells.assign(std::size_t(n) * n, 0);
        std::string expected;
        for (int i = 0; i < n; ++i) {
            std::uint8_t* const row = m.cells.data() + std::size_t(i) * n;
            const int kind = static_cast<int>(random() % 4);
            if (kind == 1) row[random() % unsigned(n)] = 1;
            for (int j = 0; j < n && kind >= 2; ++j) {
                if (random() % (kind == 2 ? 40 : 2) == 0) row[j] = static_cast<std::uint8_t>(j);
            }
            for (int j = 0; j < n; ++j) {
                if (row[j] != 0)
                    expected += std::to_string(i) + " edge " + std::to_string(j) + "\n";
            }
        }
        ScratchDir dir;
        writeSortedEdges(edgeRecordsOf(m), dir.file("out.txt"));
        ASSERT_EQ(testing::readText(dir.file("out.txt")), expected) << "n=" << n;
    }
}

TEST(EdgeListWriter, WritesEveryNonZeroCell) {
    ScratchDir dir;
    ByteAdjacencyMatrix m;
    m.n = 2;
    m.cells = {0, 2, 1, 7};
    writeSortedEdges(edgeRecordsOf(m), dir.file("out.txt"));
    EXPECT_EQ(testing::readText(dir.file("out.txt")), "0 edge 1\n1 edge 0\n1 edge 1\n");
}

TEST(EdgeListWriter, FailureLeavesNoFileAndKeepsAnExistingOne) {
    ScratchDir dir;
    const ByteAdjacencyMatrix m = parse("0 edge 1\n");
    EXPECT_THROW(writeSortedEdges(edgeRecordsOf(m), dir.file("no-such-dir/out.txt")), Error);
    EXPECT_TRUE(dir.entries().empty());

    // A directory cannot be replaced by a file: the rename fails after the temporary file was
    // written, and both the directory and the scratch folder are left clean.
    std::filesystem::create_directory(dir.file("taken"));
    testing::writeText(dir.file("taken/keep.txt"), "old");
    EXPECT_THROW(writeSortedEdges(edgeRecordsOf(m), dir.file("taken")), Error);
    EXPECT_EQ(testing::readText(dir.file("taken/keep.txt")), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"taken"});
}

const char* const kOneEdge = "0 edge 1\n";

TEST(OutputFile, SymbolicLinkOutputWritesTheLinksTarget) {
    ScratchDir dir;
    const ByteAdjacencyMatrix m = parse(kOneEdge);
    testing::writeText(dir.file("real.txt"), "old\n");
    std::filesystem::create_symlink("real.txt", dir.file("link.txt"));
    std::filesystem::create_symlink("link.txt", dir.file("link-to-link.txt"));
    std::filesystem::create_symlink("later.txt", dir.file("dangling.txt"));
    writeSortedEdges(edgeRecordsOf(m), dir.file("link-to-link.txt"));
    writeSortedEdges(edgeRecordsOf(m), dir.file("dangling.txt"));
    // A link whose target is a relative link in another folder: that link is read from its own
    // folder, whether its target exists or not.
    std::filesystem::create_directory(dir.file("a"));
    std::filesystem::create_directory(dir.file("b"));
    testing::writeText(dir.file("b/real.txt"), "old\n");
    std::filesystem::create_symlink("real.txt", dir.file("b/link.txt"));
    std::filesystem::create_symlink("new.txt", dir.file("b/dangling.txt"));
    std::filesystem::create_symlink("../b/link.txt", dir.file("a/out.txt"));
    std::filesystem::create_symlink("../b/dangling.txt", dir.file("a/new-out.txt"));
    writeSortedEdges(edgeRecordsOf(m), dir.file("a/out.txt"));
    writeSortedEdges(edgeRecordsOf(m), dir.file("a/new-out.txt"));
    EXPECT_EQ(testing::readText(dir.file("b/real.txt")), kOneEdge);
    EXPECT_EQ(testing::readText(dir.file("b/new.txt")), kOneEdge);
    EXPECT_FALSE(testing::fileExists(dir.file("a/real.txt")));
    EXPECT_FALSE(testing::fileExists(dir.file("a/new.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link-to-link.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.txt")));
    EXPECT_EQ(testing::readText(dir.file("real.txt")), kOneEdge);
    EXPECT_EQ(testing::readText(dir.file("later.txt")), kOneEdge);
    EXPECT_EQ(temporaryFilesIn(dir), std::vector<std::string>{});
}

TEST(OutputFile, TargetThatIsNotARegularFileIsWrittenInPlace) {
    ScratchDir dir;
    const ByteAdjacencyMatrix m = parse(kOneEdge);

    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::string fromFifo;
    std::thread reader([&] { fromFifo = testing::readText(dir.file("fifo")); });
    writeSortedEdges(edgeRecordsOf(m), dir.file("fifo"));
    reader.join();
    EXPECT_EQ(fromFifo, kOneEdge);
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));

    // An open descriptor named through /proc, and a character device (a null device of our own
    // where we may make one).
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    writeSortedEdges(edgeRecordsOf(m), "/proc/self/fd/" + std::to_string(pipeEnds[1]));
    ::close(pipeEnds[1]);
    char received[64] = {};
    EXPECT_EQ(::read(pipeEnds[0], received, sizeof received), ssize_t(std::strlen(kOneEdge)));
    ::close(pipeEnds[0]);
    EXPECT_STREQ(received, kOneEdge);
    if (::mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        writeSortedEdges(edgeRecordsOf(m), dir.file("null"));
        EXPECT_TRUE(std::filesystem::is_character_file(dir.file("null")));
    }
    EXPECT_EQ(temporaryFilesIn(dir), std::vector<std::string>{});
}

TEST(OutputFile, ReplacedFileKeepsItsModeAndOwner) {
    ScratchDir dir;
    const std::string path = dir.file("private.txt");
    testing::writeText(path, "old\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    // Only a privileged process may hand a file to another user; others test the mode alone.
    const bool privileged = ::geteuid() == 0;
    if (privileged) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
    writeSortedEdges(edgeRecordsOf(parse(kOneEdge)), path);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (privileged) {
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
    }
    EXPECT_EQ(testing::readText(path), kOneEdge);
}

TEST(OutputFile, NewFileTakesTheModeThatOpeningForWritingGives) {
    ScratchDir dir;
    for (const mode_t mask : {022, 077, 002, 0}) {
        const mode_t saved = ::umask(mask);
        const std::string path = dir.file("new-" + std::to_string(mask) + ".txt");
        writeSortedEdges(edgeRecordsOf(parse(kOneEdge)), path);
        ::umask(saved);
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask) << "umask " << std::oct << mask;
    }
}

// Runs attempt() in a child as user nobody when this process is root (whose writes nothing
// refuses), else as this user; returns the message attempt() failed with, "" when it did not.
std::string failureAsAnotherUser(const std::function<void()>& attempt) {
    int channel[2];
    if (::pipe(channel) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
        std::string message;
        try {
            attempt();
        } catch (const Error& error) {
            message = error.what();
        }
        const ssize_t written = ::write(channel[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 91);
    }
    ::close(channel[1]);
    std::string message;
    char buffer[512];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        message.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? message
                                                         : "child status " + std::to_string(status);
}

TEST(OutputFile, RefusesWhatOpeningForWritingWouldRefuse) {
    struct Case {
        const char* name;
        mode_t fileMode;
        mode_t folderMode;
        const char* message;  // a part of the error
    };
    const Case cases[] = {
        // Its folder would let a rename replace it, but "w" is refused.
        {"read-only file", 0444, 0777, "cannot open for writing: Permission denied"},
        // "w" would open it; a new file beside it, which replacing it needs, cannot be made.
        {"writable file in a closed folder", 0666, 0555, "its folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string folder = dir.file("folder");
        const std::string path = folder + "/out.txt";
        std::filesystem::create_directory(folder);
        testing::writeText(path, "old\n");
        ASSERT_EQ(::chmod(path.c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        ASSERT_EQ(::chmod(dir.file("").c_str(), 0755), 0);
        const std::string message =
            failureAsAnotherUser([&] { writeSortedEdges(edgeRecordsOf(parse(kOneEdge)), path); });
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_NE(message.find(path), std::string::npos) << message;
        ::chmod(folder.c_str(), 0755);
        EXPECT_EQ(testing::readText(path), "old\n");
        EXPECT_EQ(std::filesystem::directory_iterator(folder)->path().filename(), "out.txt");
    }
}

TEST(OutputFile, RemovingTemporaryFilesNeverSplitsATwoOutputCommit) {
    // A signal handler removes the temporary files while two outputs commit, at moments spread
    // over the commit: each time, both targets must end new or both old.
    ScratchDir dir;
    const std::string a = dir.file("a.txt"), b = dir.file("b.txt");
    int split = 0;
    for (int round = 0; round < 400; ++round) {
        testing::writeText(a, "old\n");
        testing::writeText(b, "old\n");
        OutputFile fa(a), fb(b);
        fa.write("new\n");
        fb.write("new\n");
        std::atomic<bool> committing{false};
        std::thread handler([&] {
            while (!committing.load()) std::this_thread::yield();
            const auto due =
                std::chrono::steady_clock::now() + std::chrono::nanoseconds(250 * round);
            while (std::chrono::steady_clock::now() < due) {
            }
            removeTemporaryFiles();
        });
        committing = true;
        try {
            commitTogether(fa, fb);
        } catch (const Error&) {
        }
        handler.join();
        split += testing::readText(a) != testing::readText(b);
    }
    EXPECT_EQ(split, 0) << "one output was replaced and the other not";
    EXPECT_EQ(temporaryFilesIn(dir), std::vector<std::string>{});
}

TEST(OutputFile, NameOfTheLongestLengthAFolderTakes) {
    ScratchDir dir;
    const std::string path = dir.file(std::string(250, 'n'));
    writeSortedEdges(edgeRecordsOf(parse(kOneEdge)), path);
    EXPECT_EQ(testing::readText(path), kOneEdge);
}

TEST(OutputFile, TwoOutputsReplaceBothTargetsOrNeither) {
    ScratchDir first, second;
    const std::string a = first.file("a.txt"), b = second.file("b.txt");
    const auto writeBoth = [&] {
        OutputFile fa(a), fb(b);
        fa.write("new a\n");
        fb.write("new b\n");
        // The second output's temporary file vanishes before the commit, so its rename fails
        // after the first target was replaced.
        for (const std::string& name : temporaryFilesIn(second)) {
            std::filesystem::remove(second.file(name));
        }
        commitTogether(fa, fb);
    };
    for (const bool firstExisted : {true, false}) {
        SCOPED_TRACE(firstExisted ? "first target existed" : "first target is new");
        if (firstExisted) testing::writeText(a, "old a\n");
        testing::writeText(b, "old b\n");
        EXPECT_THROW(writeBoth(), Error);
        EXPECT_EQ(testing::fileExists(a), firstExisted);
        if (firstExisted) {
            EXPECT_EQ(testing::readText(a), "old a\n");
        }
        EXPECT_EQ(testing::readText(b), "old b\n");
        EXPECT_EQ(temporaryFilesIn(first), std::vector<std::string>{});
        EXPECT_EQ(temporaryFilesIn(second), std::vector<std::string>{});
        std::filesystem::remove(a);
    }

    // A file of another user in a sticky folder cannot be replaced; that is found before the
    // first target changes.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    ScratchDir sticky;
    ASSERT_EQ(::chmod(sticky.file("").c_str(), 01777), 0);
    testing::writeText(sticky.file("mine.txt"), "old mine\n");
    testing::writeText(sticky.file("theirs.txt"), "old theirs\n");
    ASSERT_EQ(::chown(sticky.file("mine.txt").c_str(), 65534, 65534), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(90);
        try {
            OutputFile mine(sticky.file("mine.txt")), theirs(sticky.file("theirs.txt"));
            mine.write("new\n");
            theirs.write("new\n");
            commitTogether(mine, theirs);
        } catch (const Error&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(testing::readText(sticky.file("mine.txt")), "old mine\n");
    EXPECT_EQ(testing::readText(sticky.file("theirs.txt")), "old theirs\n");
    EXPECT_EQ(temporaryFilesIn(sticky), std::vector<std::string>{});
}

}  // namespace
}  // namespace fwprune
