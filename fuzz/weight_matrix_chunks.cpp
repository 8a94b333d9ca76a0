// The weight-matrix reader splits texts of 2 MiB and more into chunks parsed in parallel. This
// target builds such a text from the input's tokens and separators, every third cell holding its
// own index so that a value landing in the wrong cell shows, and checks the parse with 1 and 3
// threads cell by cell against parseWeight of the token placed there, including the error (and
// its line) of the first fault in the file: when strict, a token that is not a number, else a
// short file.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "graph_files/number_text.h"
#include "graph_files/weight_matrix.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

namespace {

constexpr std::size_t kTargetBytes = (std::size_t{9} << 20) / 4;  // above the 2 MiB chunk limit

struct Built {
    std::string text;
    std::vector<std::string> tokens;  // of each cell written, in order
    std::vector<long long> lines;     // 1-based line of each token
};

Built build(std::string_view source, int n, std::size_t missing) {
    std::vector<std::string_view> pieces;
    std::string separators;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= source.size(); ++i) {
        if (i < source.size() && !isTokenSeparator(source[i])) continue;
        if (i > start) pieces.push_back(source.substr(start, i - start));
        if (i < source.size()) separators += source[i];
        start = i + 1;
    }
    if (separators.empty()) separators = " ";
    Built out;
    const std::size_t cells = std::size_t(n) * std::size_t(n) - missing;
    out.tokens.reserve(cells);
    out.lines.reserve(cells);
    long long line = 1;
    for (std::size_t c = 0; c < cells; ++c) {
        std::string token = c % 3 == 0 || pieces.empty() ? std::to_string(c)
                                                         : std::string(pieces[c % pieces.size()]);
        out.text += token;
        out.tokens.push_back(std::move(token));
        out.lines.push_back(line);
        // The first line holds exactly n tokens, so only blanks separate them.
        const char separator = c + 1 < std::size_t(n)    ? ' '
                               : c + 1 == std::size_t(n) ? '\n'
                                                         : separators[c % separators.size()];
        out.text += separator;
        if (separator == '\n') ++line;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return -1;
    const bool strict = data[0] & 1;
    const std::size_t missing = data[0] >> 1 & 3;  // values cut from the end
    const std::string_view source(reinterpret_cast<const char*>(data) + 1, size - 1);

    // Pick n so that the text passes the chunking limit: from the mean token length, then grown.
    std::size_t tokenBytes = 0, tokenCount = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (!isTokenSeparator(source[i])) ++tokenBytes;
        if (!isTokenSeparator(source[i]) && (i == 0 || isTokenSeparator(source[i - 1])))
            ++tokenCount;
    }
    const double meanBytes =
        1.0 + (2.0 * 7 + double(tokenBytes) / std::max<std::size_t>(1, tokenCount)) / 3;
    int n = static_cast<int>(std::ceil(std::sqrt(kTargetBytes / meanBytes)));
    Built built = build(source, n, missing);
    while (built.text.size() < kTargetBytes && n < 1500) built = build(source, n += 50, missing);
    if (built.text.size() < kTargetBytes) return -1;

    const std::size_t cells = std::size_t(n) * std::size_t(n);
    // The first fault in the file's order: when strict, a token that is not a number; then a
    // file that ends short.
    std::string expectedError;
    if (strict) {
        for (std::size_t c = 0; c < cells - missing && expectedError.empty(); ++c) {
            bool whole = true;
            parseWeight(built.tokens[c], &whole);
            if (!whole) {
                expectedError = "fuzz.txt:" + std::to_string(built.lines[c]) + ": " +
                                quoteToken(built.tokens[c]) + " is not a number";
            }
        }
    }
    if (expectedError.empty() && missing > 0) {
        expectedError = "fuzz.txt:" + std::to_string(built.lines.back()) + ": the matrix has " +
                        std::to_string(n) + " columns on its first line, so " +
                        std::to_string(cells) + " values are needed, but the file ends after " +
                        std::to_string(cells - missing) + " values";
    }

    for (const int threads : {1, 3}) {
        try {
            const WeightMatrix matrix = parseWeightMatrix(built.text, "fuzz.txt", strict, threads);
            require(expectedError.empty(), "the parse succeeded where it must fail", expectedError);
            require(matrix.n == n && matrix.cells.size() == cells, "n is the first line's count");
            for (std::size_t c = 0; c < cells; ++c) {
                require(sameBits(matrix.cells[c], parseWeight(built.tokens[c])),
                        "a cell holds the value of its own token", std::to_string(c));
            }
        } catch (const Error& error) {
            // what() ends at the first NUL byte that a quoted token may hold.
            require(error.status() == Status::Format &&
                        error.what() == expectedError.substr(0, expectedError.find('\0')),
                    "the expected error",
                    std::string(error.what()) + " | expected " + expectedError);
        }
    }
    return 0;
}
