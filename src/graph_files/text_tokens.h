// Token scanning shared by the two file readers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <string_view>
#include <vector>

namespace fwprune {

// The separators of C's "%s" conversion (isspace in the C locale), as a table: the readers test
// every byte of their input against it.
struct SeparatorTable {
    bool separator[256] = {};
    constexpr SeparatorTable() {
        for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'})
            separator[static_cast<unsigned char>(c)] = true;
    }
};
inline constexpr SeparatorTable kSeparators{};

inline bool isTokenSeparator(char c) {
    return kSeparators.separator[static_cast<unsigned char>(c)];
}

// A hint to fetch the text a page ahead of p: a piece was written by the thread that read the
// file, and is rarely in the reading core's caches by the time it is counted or parsed.
inline void fetchTextAhead(const char* p, const char* end) {
    constexpr std::ptrdiff_t kAhead = 4096;
    if (end - p <= kAhead) return;
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p + kAhead);
#endif
}

#if defined(__SSE2__)
// Bit i set when byte i of the 16 at p is a separator: the blank, or '\t' '\n' '\v' '\f' '\r'
// (9 to 13). Bytes above 127 compare as negative and are never separators.
inline unsigned separatorMask16(const char* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i isSeparator =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                     _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('\t' - 1)),
                                   _mm_cmplt_epi8(bytes, _mm_set1_epi8('\r' + 1))));
    return static_cast<unsigned>(_mm_movemask_epi8(isSeparator));
}

// The set bits of a 16-bit mask, without the POPCNT instruction that baseline x86-64 lacks.
inline unsigned popcount16(unsigned bits) {
    bits = bits - ((bits >> 1) & 0x5555u);
    bits = (bits & 0x3333u) + ((bits >> 2) & 0x3333u);
    bits = (bits + (bits >> 4)) & 0x0f0fu;
    return (bits + (bits >> 8)) & 0x1fu;
}

// The set bits of a 64-bit mask, likewise.
inline unsigned popcount64(std::uint64_t bits) {
    bits = bits - ((bits >> 1) & 0x5555555555555555u);
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<unsigned>((bits * 0x0101010101010101u) >> 56);
}

// Bit i set when byte i of the 64 at p is a separator; with CountLines, *lineFeeds likewise for
// the line feeds.
template <bool CountLines>
inline std::uint64_t separatorMask64(const char* p, std::uint64_t* lineFeeds) {
    std::uint64_t separators = 0;
    std::uint64_t feeds = 0;
    for (int i = 0; i < 4; ++i) {
        separators |= std::uint64_t{separatorMask16(p + 16 * i)} << (16 * i);
        if constexpr (CountLines) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            feeds |= std::uint64_t{static_cast<unsigned>(
                         _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))))}
                     << (16 * i);
        }
    }
    if constexpr (CountLines) *lineFeeds = feeds;
    return separators;
}

// Bit i set when byte i of the 16 at p is a decimal digit.
inline unsigned digitMask16(const char* p) {
    const __m128i offset =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
    // Unsigned offset <= 9 exactly when the minimum with 9 leaves it unchanged.
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset)));
}
#endif

// The number of tokens that start in [begin, end), given whether the byte before begin is a
// separator (or begin is the start of the text), and with CountLines the number of line feeds
// there in *lineFeeds. The readers' counting passes run this over the whole input, so it looks at
// 16 bytes at a time where SSE2 is there (every x86-64 CPU).
template <bool CountLines>
std::int64_t countTokens(const char* begin, const char* end, bool afterSeparator,
                         std::int64_t* lineFeeds) {
    std::int64_t count = 0;
    std::int64_t feeds = 0;
    unsigned previous = afterSeparator ? 1u : 0u;
    const char* p = begin;
#if defined(__SSE2__)
    // Sixty-four bytes at a time: one count of the bits of each mask, not four.
    for (; end - p >= 64; p += 64) {
        fetchTextAhead(p, end);
        std::uint64_t feedMask = 0;
        const std::uint64_t separators = separatorMask64<CountLines>(p, &feedMask);
        count += popcount64((separators << 1 | previous) & ~separators);
        if constexpr (CountLines) feeds += popcount64(feedMask);
        previous = static_cast<unsigned>(separators >> 63);
    }
    for (; end - p >= 16; p += 16) {
        const unsigned separators = separatorMask16(p);
        const unsigned starts = (separators << 1 | previous) & ~separators & 0xffffu;
        count += popcount16(starts);
        if constexpr (CountLines) {
            feeds += popcount16(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('\n')))));
        }
        previous = separators >> 15;
    }
#endif
    for (; p < end; ++p) {
        const unsigned separator = kSeparators.separator[static_cast<unsigned char>(*p)] ? 1u : 0u;
        count += previous & (separator ^ 1u);
        if constexpr (CountLines) feeds += *p == '\n';
        previous = separator;
    }
    if constexpr (CountLines) *lineFeeds = feeds;
    return count;
}

inline std::int64_t countTokenStarts(const char* begin, const char* end,
                                     bool afterSeparator = true) {
    return countTokens<false>(begin, end, afterSeparator, nullptr);
}

// The line feeds in [begin, end), for the line numbers of error messages. Written so that the
// compiler vectorises it (std::count is not): the readers run it over their whole input.
inline long long countLineFeeds(const char* begin, const char* end) {
    long long total = 0;
    constexpr std::ptrdiff_t kBlock = 1 << 16;
    for (const char* at = begin; at < end; at += std::min(kBlock, end - at)) {
        const char* const stop = at + std::min(kBlock, end - at);
        std::uint32_t count = 0;
        for (const char* p = at; p < stop; ++p) count += *p == '\n';
        total += count;
    }
    return total;
}

// The weight-matrix reader's counting pass, which needs both counts for every block.
inline std::int64_t countTokensAndLines(const char* begin, const char* end,
                                        std::int64_t* lineFeeds) {
    return countTokens<true>(begin, end, true, lineFeeds);
}

// Bounds of count chunks of text of about equal size (bounds[0] = 0, bounds[count] = the end),
// each inner bound moved forward to a separator, so that no token straddles two chunks.
inline std::vector<std::size_t> chunkBoundsAtSeparators(std::string_view text, std::size_t count) {
    std::vector<std::size_t> bounds(count + 1, text.size());
    bounds[0] = 0;
    for (std::size_t c = 1; c < count; ++c) {
        std::size_t b =
            bounds[c - 1] > text.size() * c / count ? bounds[c - 1] : text.size() * c / count;
        while (b < text.size() && !isTokenSeparator(text[b])) ++b;
        bounds[c] = b;
    }
    return bounds;
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

  private:
    std::string_view text_;
    std::size_t position_ = 0;
    long long line_ = 1;
};

// A token as an error message shows it: quoted, cut after 40 characters, and with bytes that
// are not printable ASCII (a NUL would end the C string the caller reads) shown as \xNN.
inline std::string quoteToken(std::string_view token) {
    constexpr std::size_t kShown = 40;
    std::string quoted = "'";
    for (std::size_t i = 0; i < token.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7f) {
            quoted += static_cast<char>(c);
        } else {
            const char* const hex = "0123456789abcdef";
            quoted += "\\x";
            quoted += hex[c >> 4];
            quoted += hex[c & 15];
        }
    }
    if (token.size() > kShown) quoted += "...";
    return quoted + "'";
}

}  // namespace fwprune
