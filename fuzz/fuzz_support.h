// Shared by the fuzz targets: a scratch directory for the writers, plain references of both jobs,
// and a crash-on-violation check (libFuzzer reports any abort as a finding).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "graph_files/node_counts.h"
#include "graph_files/text_tokens.h"
#include "pipelines/pipelines.h"
#include "reference_models.h"

namespace fwprune::fuzzing {

// Graphs larger than this are not swept: the stand-in runs n launches of n blocks, and small
// graphs already reach every branch of the kernels.
constexpr int kMaxSweptNodes = 64;

[[noreturn]] inline void violated(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant violated: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void require(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) violated(what, detail);
}

// A directory private to this fuzzing process, for round trips through the writers.
inline const std::string& scratchDirectory() {
    static const std::string path = [] {
        char pattern[] = "/tmp/fwprune-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) violated("cannot create a scratch directory");
        return std::string(made);
    }();
    return path;
}

inline std::string scratchFile(const char* name) {
    return scratchDirectory() + "/" + name;
}

// An error the library promises for bad input: anything else escaping is a bug.
inline bool isInputError(const Error& error) {
    return error.status() == Status::Format || error.status() == Status::TooLarge;
}

// The graph parse() reads when it is small enough to sweep; nothing when the reader rejects the
// input (the parser targets cover bad input) or the graph is too large.
template <typename Parse>
auto sweepableInput(Parse&& parse) -> std::optional<decltype(parse())> {
    try {
        auto input = parse();
        if (input.n > kMaxSweptNodes) return std::nullopt;
        return input;
    } catch (const Error&) {
        return std::nullopt;
    }
}

using testing::referenceReduction;
using testing::referenceWeakestLink;

// Runs a reader on fuzz input: returns its matrix, or nothing when it threw an input error that
// names the file first. Any other outcome is a finding.
template <typename Read>
auto readOrInputError(Read&& read) -> std::optional<decltype(read())> {
    try {
        auto matrix = read();
        return matrix;
    } catch (const Error& error) {
        require(isInputError(error), "only input errors", error.what());
        require(std::string_view(error.what()).rfind("fuzz.txt", 0) == 0,
                "message names the file first", error.what());
        return std::nullopt;
    }
}

// The same for readers of labelled graphs, whose results carry no n of the per-thread counts.
template <typename Read>
auto parsedOrInputError(Read&& read) -> std::optional<decltype(read())> {
    try {
        return read();
    } catch (const Error& error) {
        require(isInputError(error), "only input errors", error.what());
        require(std::string_view(error.what()).rfind("fuzz.txt", 0) == 0,
                "message names the file first", error.what());
        return std::nullopt;
    }
}

inline bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace fwprune::fuzzing

namespace fwprune::fuzzing {

// True when some token of the text reads as a node number that would size a matrix of more than
// 1024 nodes yet within the 46340-node limit: such inputs allocate up to 2 GiB per run and only
// exercise the allocator. Larger numbers still reach the size and overflow checks.
inline bool namesAHugeButAllowedNode(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isTokenSeparator(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !isTokenSeparator(text[i])) ++i;
        std::string_view token = text.substr(start, i - start);
        if (token.size() > 11) continue;
        if (!token.empty() && (token[0] == '+' || token[0] == '-')) token.remove_prefix(1);
        long long value = 0;
        for (std::size_t d = 0; d < token.size() && token[d] >= '0' && token[d] <= '9'; ++d) {
            value = value * 10 + (token[d] - '0');
        }
        if (value > 1024 && value <= 46340) return true;
    }
    return false;
}

}  // namespace fwprune::fuzzing
