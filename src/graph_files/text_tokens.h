// Token scanning shared by the two file readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace fwprune {

// The separators of C's "%s" conversion (isspace in the C locale), as a table: the readers test
// every byte of their input against it.
struct SeparatorTable {
    bool separator[256] = {};
    constexpr SeparatorTable() {
        for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) separator[static_cast<unsigned char>(c)] = true;
    }
};
inline constexpr SeparatorTable kSeparators{};

inline bool isTokenSeparator(char c) { return kSeparators.separator[static_cast<unsigned char>(c)]; }

// The number of tokens that start in [begin, end), given whether the byte before begin is a
// separator (or begin is the start of the text). Branch-free, for the readers' counting passes.
inline std::int64_t countTokenStarts(const char* begin, const char* end, bool afterSeparator = true) {
    std::int64_t count = 0;
    unsigned previous = afterSeparator ? 1u : 0u;
    for (const char* p = begin; p < end; ++p) {
        const unsigned separator = kSeparators.separator[static_cast<unsigned char>(*p)] ? 1u : 0u;
        count += previous & (separator ^ 1u);
        previous = separator;
    }
    return count;
}

// Walks the whitespace-separated tokens of a text, counting lines for error messages.
class TokenScanner {
public:
    explicit TokenScanner(std::string_view text, std::size_t start = 0)
        : text_(text), position_(start) {}

    // The next token, or an empty view at the end of the text.
    std::string_view next() {
        while (position_ < text_.size() && isTokenSeparator(text_[position_])) {
            if (text_[position_] == '\n') ++line_;
            ++position_;
        }
        const std::size_t start = position_;
        while (position_ < text_.size() && !isTokenSeparator(text_[position_])) ++position_;
        return text_.substr(start, position_ - start);
    }

    // 1-based line of the token returned last (counted from the start position).
    long long line() const { return line_; }

    // Offset where the next token starts (or the text's size when none is left).
    std::size_t peek() {
        while (position_ < text_.size() && isTokenSeparator(text_[position_])) {
            if (text_[position_] == '\n') ++line_;
            ++position_;
        }
        return position_;
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
    long long line_ = 1;
};

// Shows a token in an error message, shortened when it is long.
inline std::string_view tokenForMessage(std::string_view token) {
    return token.size() > 40 ? token.substr(0, 40) : token;
}

}  // namespace fwprune
