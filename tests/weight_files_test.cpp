// Weight-matrix reading and writing.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/error.h"
#include "graph_files/number_text.h"
#include "graph_files/weight_matrix.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::ScratchDir;

WeightMatrix parse(const std::string& text) {
    return parseWeightMatrix(text, "w.txt");
}

// What printf("%e") prints for the float, with the exponent widened to three digits.
std::string printfForm(float value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%e", static_cast<double>(value));
    std::string text = buffer;
    const std::size_t e = text.find('e');
    if (e != std::string::npos && text.size() - e - 2 < 3) text.insert(e + 2, "0");
    return text;
}

std::string formatted(float value) {
    char buffer[32];
    return std::string(buffer, formatWeight(value, buffer));
}

TEST(WeightMatrixReader, CountsColumnsOnTheFirstLine) {
    EXPECT_EQ(parse("0.5 2 2\n1 1 1\n1 1 1\n").n, 3);
    EXPECT_EQ(parse("  1 2\t3 \n4 5 6 7 8 9\n").n, 3);
    EXPECT_EQ(parse("1 2 3\r\n4 5 6\r\n7 8 9\r\n").n, 3);
    EXPECT_EQ(parse("1 2 3 \r\n4 5 6 7 8 9").n, 3);
    EXPECT_EQ(parse("1 2\n3 4").n, 2);  // no line feed after the last row
    EXPECT_EQ(parse("7").n, 1);         // one line, no line feed at all
    EXPECT_EQ(parse("7\r").n, 1);
    EXPECT_EQ(parse("0.5 \r").n, 1);  // a carriage return ends the file's only line
    // A carriage return anywhere else is part of a token.
    EXPECT_EQ(parse("1\r2 3\n4 5 6").n, 2);
}

// First lines of random tokens between blanks and tabs, ended by LF, CR LF, CR at the end of the
// file, or nothing, with carriage returns inside tokens too: n and the values must be those of a
// plain reading.
TEST(WeightMatrixReader, AgreesWithAPlainReadingOnRandomLineEnds) {
    std::mt19937 random(29);
    ScratchDir dir;
    const char* const gaps[] = {" ", "\t", "  ", " \t "};
    const char* const lineEnds[] = {"\n", "\r\n", " \n", " \r\n"};
    const char* const fileEnds[] = {"", "\n", "\r", " \r", "\t\r", "\r\n", " "};
    for (int round = 0; round < 400; ++round) {
        const int n = 1 + static_cast<int>(random() % 4);
        std::vector<std::string> tokens;
        for (int t = 0; t < n * n; ++t) {
            std::string token = std::to_string(random() % 100);
            if (random() % 8 == 0) token += "\r" + std::to_string(random() % 10);
            tokens.push_back(token);
        }
        std::string text = random() % 3 == 0 ? "\t" : "";
        for (int t = 0; t < n * n; ++t) {
            text += tokens[std::size_t(t)];
            if (t + 1 == n * n)
                text += fileEnds[random() % 7];
            else
                text += (t + 1) % n == 0 ? lineEnds[random() % 4] : gaps[random() % 4];
        }
        // Plainly: the first line without its LF and one CR before it (or at the end of the
        // file), split at blanks and tabs; every value split at any whitespace.
        std::string first = text.substr(0, text.find('\n'));
        if (!first.empty() && first.back() == '\r') first.pop_back();
        std::istringstream firstLine(first), all(text);
        std::vector<float> values;
        int columns = 0;
        for (std::string token; std::getline(firstLine, token, ' ');) {
            std::istringstream parts(token);
            for (std::string part; std::getline(parts, part, '\t');) columns += !part.empty();
        }
        for (std::string token; all >> token;)
            values.push_back(std::strtof(token.c_str(), nullptr));
        SCOPED_TRACE(::testing::PrintToString(text));
        const WeightMatrix m = parse(text);
        ASSERT_EQ(m.n, columns);
        values.resize(std::size_t(columns) * columns);
        ASSERT_EQ(m.cells, values);
        // The file reader, with blocks of a few bytes: CR LF pairs, tokens and the first line
        // straddle them.
        testing::writeText(dir.file("m.txt"), text);
        const std::size_t block = 1 + random() % 6;
        const WeightMatrix read = detail::readWeightMatrix(dir.file("m.txt"), false, 2, block);
        ASSERT_EQ(read.n, columns) << "blocks of " << block;
        ASSERT_EQ(read.cells, values) << "blocks of " << block;
    }
}

TEST(WeightMatrixReader, EmptyFirstLineGivesAnEmptyMatrix) {
    for (const char* text : {"", "\n", "\r\n", "  \n1 2 3\n"}) {
        const WeightMatrix m = parse(text);
        EXPECT_EQ(m.n, 0) << '"' << text << '"';
        EXPECT_TRUE(m.cells.empty());
    }
}

TEST(WeightMatrixReader, ReadsValuesRowMajorIgnoringLaterLineBreaks) {
    const WeightMatrix m = parse("1 2\n3\n4 99 100\n");
    EXPECT_EQ(m.cells, (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(parse("0.5 2 2\n0 0 0 0 0 0\n").cells.front(), 0.5f);
}

TEST(WeightMatrixReader, ShortFileIsAnErrorWithTheCounts) {
    try {
        parse("1 2 3\n4 5\n");
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::Format);
        const std::string message = error.what();
        EXPECT_NE(message.find("w.txt:2:"), std::string::npos) << message;
        EXPECT_NE(message.find("9 values are needed"), std::string::npos) << message;
        EXPECT_NE(message.find("after 5 values"), std::string::npos) << message;
    }
}

TEST(WeightMatrixReader, TooManyColumnsIsRejectedBeforeAllocating) {
    std::string line;
    for (int i = 0; i < 46341; ++i) line += "1 ";
    try {
        parse(line + "\n");
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::TooLarge);
    }
}

TEST(WeightMatrixReader, ConvertsEveryTokenExactlyAsAtof) {
    const char* const tokens[] = {
        "0.1",
        "-0.1",
        "+0.25",
        "1e10",
        "1E-5",
        "-0",
        "0.0",
        ".5",
        "5.",
        "-.5e-3",
        "3.4028235e38",
        "3.4028236e38",
        "1e39",
        "-1e39",
        "1e-39",
        "1e-45",
        "7e-46",
        "1e-400",
        "0x1.8p3",
        "0X10",
        "-0x1p-149",
        "inf",
        "-INF",
        "Infinity",
        "nan",
        "-nan",
        "NaN(123)",
        "12abc",
        "1e",
        "1e+",
        "-",
        "+",
        ".",
        "-.",
        "+.e1",
        "abc",
        "e5",
        "0.30000001192092896",
        "1.00000005960464477539",
        "123456789012345678901234567890123456789012345678901234567890.5",
        "0.000000000000000000000000000000000000000000000000000000000001e+30"};
    for (const char* token : tokens) {
        const float expected = static_cast<float>(std::atof(token));
        bool whole = false;
        const float got = parseWeight(token, &whole);
        // Strict reading accepts a token only when strtod takes all of it.
        char* end = nullptr;
        std::strtod(token, &end);
        EXPECT_EQ(whole, *token != '\0' && *end == '\0') << token;
        EXPECT_EQ(std::memcmp(&expected, &got, sizeof got) == 0 ||
                      (std::isnan(expected) && std::isnan(got) &&
                       std::signbit(expected) == std::signbit(got)),
                  true)
            << token << ": atof " << expected << ", parsed " << got;
    }
}

// Decimal digits of a value of up to 128 bits.
std::string decimalDigits(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + int(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

// Random digit strings, and one in four a mantissa close to where 64-bit arithmetic or the
// 19-digit exact range ends (multiples of 2^64, powers of ten near 10^19).
TEST(WeightMatrixReader, RandomDecimalsMatchAtof) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int> digit(0, 9), length(1, 25), exponent(-50, 40);
    const unsigned __int128 edges[] = {static_cast<unsigned __int128>(1) << 64,
                                       static_cast<unsigned __int128>(3) << 64,
                                       static_cast<unsigned __int128>(10000000000000000000u),
                                       static_cast<unsigned __int128>(10000000000000000000u) * 10};
    for (int trial = 0; trial < 20000; ++trial) {
        std::string token = trial % 3 == 0 ? "-" : "";
        std::string mantissa;
        if (trial % 4 == 1) {
            // Up to 2^53 either side, so a wrapped 64-bit mantissa would look exact.
            const std::uint64_t offset = random() >> (11 + random() % 53);
            const unsigned __int128 edge = edges[random() % 4];
            mantissa = decimalDigits(random() % 2 ? edge + offset : edge - offset);
            mantissa.insert(0, std::string(random() % 3, '0'));
        } else {
            mantissa.resize(static_cast<std::size_t>(length(random)));
            for (char& c : mantissa) c = static_cast<char>('0' + digit(random));
        }
        const int digits = static_cast<int>(mantissa.size());
        const int point = std::uniform_int_distribution<int>(0, digits)(random);
        for (int d = 0; d < digits; ++d) {
            if (d == point) token += '.';
            token += mantissa[static_cast<std::size_t>(d)];
        }
        if (trial % 2 == 0) token += "e" + std::to_string(exponent(random));
        const float expected = static_cast<float>(std::atof(token.c_str()));
        const float got = parseWeight(token);
        ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0) << token;
    }
}

// The writer's form "d.dddddde+ddd" is read at fixed places in a run of values: random digits,
// signs and three-digit exponents (in and far out of the exactly converted range), and near
// misses of the form, each as atof reads it.
TEST(WeightMatrixReader, WrittenFormInARunMatchesAtof) {
    std::mt19937_64 random(8);
    std::string text;
    std::vector<float> expected;
    for (int trial = 0; trial < 20000; ++trial) {
        char token[32];
        std::snprintf(token, sizeof token, "%s%u.%06ue%c%03u", random() % 3 == 0 ? "-" : "",
                      unsigned(random() % 10), unsigned(random() % 1000000),
                      random() % 2 ? '+' : '-', unsigned(random() % (random() % 4 ? 40 : 1000)));
        std::string t = token;
        // A near miss now and then: a digit or the point dropped, a fourth exponent digit.
        if (trial % 7 == 0) t.erase(static_cast<std::size_t>(random() % t.size()), 1);
        if (trial % 11 == 0) t += "7";
        expected.push_back(static_cast<float>(std::atof(t.c_str())));
        text += t + (trial % 5 == 0 ? "\n" : " ");
    }
    std::vector<float> got(expected.size());
    std::string_view bad;
    const std::int64_t count = parseWeightRun(text.data(), text.data() + text.size(), got.data(),
                                              static_cast<std::int64_t>(got.size()), false, &bad);
    ASSERT_EQ(count, static_cast<std::int64_t>(expected.size()));
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::memcmp(&expected[i], &got[i], sizeof got[i]), 0) << i;
    }
}

// Files above a few MiB are parsed and written in parallel chunks; the result must not depend on
// where the chunks fall, and errors must still name the right line.
TEST(WeightMatrixFiles, LargeFilesParseAndWriteTheSameOnAnyThreadCount) {
    const int n = 420;
    WeightMatrix m;
    m.n = n;
    m.cells = testing::randomWeights(n, 0.1f, 0.9f, 17);
    ScratchDir dir;
    writeWeightMatrix(m, dir.file("one.txt"), 1);
    writeWeightMatrix(m, dir.file("three.txt"), 3);
    const std::string text = testing::readText(dir.file("one.txt"));
    ASSERT_GT(text.size(), std::size_t{2} << 20);
    EXPECT_EQ(text, testing::readText(dir.file("three.txt")));
    // Rows split across lines at random places parse the same.
    std::string reflowed = text;
    std::mt19937 random(5);
    for (std::size_t i = text.find('\n') + 1; i < reflowed.size(); ++i) {
        if (reflowed[i] == ' ' && random() % 7 == 0) reflowed[i] = '\n';
    }
    for (const int threads : {1, 2, 5}) {
        const WeightMatrix back = parseWeightMatrix(reflowed, "big.txt", true, threads);
        ASSERT_EQ(back.n, n);
        const WeightMatrix expected = parseWeightMatrix(text, "big.txt", false, 1);
        EXPECT_EQ(std::memcmp(back.cells.data(), expected.cells.data(), back.cells.size() * 4), 0);
    }
    // A bad token near the end, and a missing last value, are reported at their lines.
    std::string bad = text;
    const std::size_t lastLineStart = bad.rfind('\n', bad.size() - 2) + 1;
    bad.replace(lastLineStart, 1, "x");
    try {
        parseWeightMatrix(bad, "big.txt", true, 2);
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("big.txt:" + std::to_string(n) + ":"),
                  std::string::npos)
            << error.what();
    }
    const std::string shortText = text.substr(0, text.rfind(' '));
    try {
        parseWeightMatrix(shortText, "big.txt", false, 2);
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("big.txt:" + std::to_string(n) + ":"),
                  std::string::npos)
            << error.what();
        EXPECT_NE(std::string(error.what()).find("after " + std::to_string(n * n - 1) + " values"),
                  std::string::npos)
            << error.what();
    }
}

// A written matrix read back block by block, wherever the blocks end, gives the values that
// reading the whole text gives, and writing them again gives the same text; a bad token and a
// missing value are reported at their lines.
TEST(WeightMatrixFiles, RoundTripsWhereverTheReadBlocksEnd) {
    const int n = 23;
    WeightMatrix m;
    m.n = n;
    m.cells = testing::randomWeights(n, 0.1f, 0.9f, 41);
    ScratchDir dir;
    const std::string path = dir.file("m.txt");
    writeWeightMatrix(m, path, 2);
    const std::string text = testing::readText(path);
    const WeightMatrix whole = parseWeightMatrix(text, path);
    for (const std::size_t block : {1, 2, 3, 13, 14, 15, 64, 1000}) {
        for (const int threads : {1, 2}) {
            const WeightMatrix read = detail::readWeightMatrix(path, true, threads, block);
            ASSERT_EQ(read.n, n);
            ASSERT_TRUE(testing::sameBits(read.cells, whole.cells)) << "blocks of " << block;
        }
    }
    writeWeightMatrix(whole, dir.file("again.txt"), 1);
    EXPECT_EQ(testing::readText(dir.file("again.txt")), text);

    const auto errorOf = [&](const std::string& bad) {
        testing::writeText(path, bad);
        try {
            detail::readWeightMatrix(path, true, 2, 7);
        } catch (const Error& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    std::string bad = text;
    std::size_t line17 = 0;
    for (int line = 1; line < 17; ++line) line17 = bad.find('\n', line17) + 1;
    bad.replace(bad.find(' ', line17) + 1, 1, "x");
    EXPECT_NE(errorOf(bad).find("m.txt:17: 'x"), std::string::npos) << errorOf(bad);
    const std::string cut = text.substr(0, text.rfind(' ')) + "\n\n";
    EXPECT_NE(errorOf(cut).find("m.txt:" + std::to_string(n) + ": "), std::string::npos)
        << errorOf(cut);
}

TEST(WeightMatrixWriter, WritesThePrintfFormWithThreeDigitExponents) {
    ScratchDir dir;
    WeightMatrix m;
    m.n = 2;
    m.cells = {1, 2, 3, 4};
    writeWeightMatrix(m, dir.file("m.txt"));
    EXPECT_EQ(testing::readText(dir.file("m.txt")),
              "1.000000e+000 2.000000e+000\n3.000000e+000 4.000000e+000\n");

    EXPECT_EQ(formatted(0.2f), "2.000000e-001");
    EXPECT_EQ(formatted(-0.0f), "-0.000000e+000");
    EXPECT_EQ(formatted(INFINITY), "inf");
    EXPECT_EQ(formatted(-INFINITY), "-inf");
    EXPECT_EQ(formatted(std::nanf("")), "nan");
    EXPECT_EQ(formatted(-std::nanf("")), "-nan");
}

TEST(WeightMatrixWriter, AgreesWithPrintfOnRandomAndBoundaryFloats) {
    const float boundaries[] = {FLT_MAX,    -FLT_MAX,  FLT_MIN,    FLT_TRUE_MIN,
                                1048576.5f, 0.5f,      9.9999995f, 9.999999e-5f,
                                1e-40f,     123456.7f, 1.0000005f, 2.5e-8f};
    for (const float v : boundaries) EXPECT_EQ(formatted(v), printfForm(v)) << v;
    std::mt19937 random(11);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int trial = 0; trial < 100000; ++trial) {
        const std::uint32_t pattern = bits(random);
        float v;
        std::memcpy(&v, &pattern, sizeof v);
        if (std::isnan(v) || std::isinf(v)) continue;
        ASSERT_EQ(formatted(v), printfForm(v)) << pattern;
    }
}

TEST(WeightMatrixWriter, WrittenMatrixReadsBackToSevenSignificantDigits) {
    ScratchDir dir;
    WeightMatrix m;
    m.n = 3;
    m.cells = {0.123456789f,  -1e-40f,        3e38f, INFINITY, -INFINITY,
               std::nanf(""), -std::nanf(""), -0.0f, 2.0f};
    writeWeightMatrix(m, dir.file("m.txt"));
    const WeightMatrix back = readWeightMatrix(dir.file("m.txt"));
    ASSERT_EQ(back.n, 3);
    for (std::size_t c = 0; c < m.cells.size(); ++c) {
        const float original = m.cells[c];
        if (std::isnan(original)) {
            EXPECT_TRUE(std::isnan(back.cells[c]));
            EXPECT_EQ(std::signbit(back.cells[c]), std::signbit(original));
        } else {
            const float expected = static_cast<float>(std::atof(printfForm(original).c_str()));
            EXPECT_EQ(std::memcmp(&expected, &back.cells[c], sizeof expected), 0) << c;
        }
    }
}

TEST(WeightMatrixWriter, EdgeListNamesEveryCellThatIsNotAbsent) {
    ScratchDir dir;
    WeightMatrix m;
    m.n = 2;
    m.cells = {0, 2.0f, 2.0f, 0.5f};
    writeWeightEdgeList(m, dir.file("e.txt"));
    EXPECT_EQ(testing::readText(dir.file("e.txt")), "0 edge 0\n1 edge 1\n");
    m.cells = {std::nanf(""), -2.0f, 2.0000002f, 2.0f};
    writeWeightEdgeList(m, dir.file("e.txt"));
    EXPECT_EQ(testing::readText(dir.file("e.txt")), "0 edge 0\n0 edge 1\n1 edge 0\n");
}

TEST(WeightMatrixWriter, EmptyMatrixGivesEmptyFiles) {
    ScratchDir dir;
    const WeightMatrix m = parse("\n");
    writeWeightMatrix(m, dir.file("m.txt"));
    writeWeightEdgeList(m, dir.file("e.txt"));
    EXPECT_EQ(testing::readText(dir.file("m.txt")), "");
    EXPECT_EQ(testing::readText(dir.file("e.txt")), "");
    EXPECT_TRUE(testing::fileExists(dir.file("m.txt")));
}

}  // namespace
}  // namespace fwprune
