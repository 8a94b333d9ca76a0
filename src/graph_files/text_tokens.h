// Token scanning shared by the two file readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fwprune {

// The separators of C's "%s" conversion (isspace in the C locale).
inline bool isTokenSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Walks the whitespace-separated tokens of a text, counting lines for error messages.
class TokenScanner {
public:
    explicit TokenScanner(std::string_view text) : text_(text) {}

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

    // 1-based line of the token returned last.
    long long line() const { return line_; }

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
