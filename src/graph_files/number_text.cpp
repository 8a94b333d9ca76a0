#include "graph_files/number_text.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/float_bits.h"
#include "graph_files/text_tokens.h"

#if !defined(_WIN32)
#include <locale.h>
#endif

namespace fwprune {
namespace {

// Powers of ten that doubles hold exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^k as the nearest double, for k from kLowestPower up: the scale factors of the formatter.
constexpr int kLowestPower = -40;
constexpr double kPowersOfTen[] = {
    1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28,
    1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15,
    1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,
    1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,
    1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,
    1e25,  1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,
    1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,
    1e51,  1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60};

// strtod in the C locale, whatever locale the host process has set.
double strtodInCLocale(const char* text, char** end) {
#if defined(_WIN32)
    // The C runtime MinGW links (msvcrt) reads neither infinities, NaNs nor hexadecimal numbers,
    // which strtod reads everywhere else (and this library writes "inf" and "nan"); from_chars
    // reads them as strtod does, in no locale.
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    const bool hexadecimal = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const char letter = static_cast<char>(*digits | 0x20);
    if (hexadecimal || letter == 'i' || letter == 'n') {
        if (hexadecimal) digits += 2;
        double value = 0;
        const auto [stop, error] =
            std::from_chars(digits, digits + std::strlen(digits), value,
                            hexadecimal ? std::chars_format::hex : std::chars_format::general);
        if (error == std::errc{}) {
            *end = const_cast<char*>(stop);
            return *text == '-' ? -value : value;
        }
    }
    static const _locale_t cLocale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, end, cLocale);
#else
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    return strtod_l(text, end, cLocale);
#endif
}

// The common forms ("0.25", "-1.5e-3", "2.000000e-001") with at most 19 significant digits and a
// small decimal exponent convert with one exactly rounded double operation (the mantissa and the
// power of ten are both exact), which is the correctly rounded value strtod returns. Reads from p
// up to end or the first separator, whichever comes first, and returns where it stopped, or
// nullptr when the text there is not such a number (or the number is followed by something other
// than a separator): that takes the general path.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline const char*
parseSimpleDecimal(const char* p, const char* const end, double* value) {
    bool negative = false;
    if (p < end && *p == '-') {
        negative = true;
        ++p;
    }
    std::uint64_t mantissa = 0;
    int significant = 0;
    int exponent = 0;
    bool anyDigit = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        anyDigit = true;
        if (mantissa == 0 && *p == '0') continue;
        if (++significant > 19) return nullptr;
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (p < end && *p == '.') {
        for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
            anyDigit = true;
            --exponent;
            if (mantissa == 0 && *p == '0') continue;
            if (++significant > 19) return nullptr;
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        }
    }
    if (!anyDigit) return nullptr;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < end && (*p == '-' || *p == '+')) negativeExponent = *p++ == '-';
        if (p == end || *p < '0' || *p > '9') return nullptr;
        int written = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            written = written * 10 + (*p - '0');
            if (written > 1000) return nullptr;
        }
        exponent += negativeExponent ? -written : written;
    }
    if (p != end && !isTokenSeparator(*p)) return nullptr;
    if (mantissa == 0) {
        *value = negative ? -0.0 : 0.0;
        return p;
    }
    if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return nullptr;
    const double m = static_cast<double>(mantissa);
    const double magnitude =
        exponent < 0 ? m / kExactPowers[-exponent] : m * kExactPowers[exponent];
    *value = negative ? -magnitude : magnitude;
    return p;
}

// The form the writer gives every finite value, "d.dddddde+ddd" (%e with a three-digit exponent),
// optionally signed, read at its fixed places with no loop: the mantissa and exponent
// parseSimpleDecimal would find there, and so the same value. nullptr when the text at p has
// another form.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline const char*
parseWrittenForm(const char* p, const char* const end, double* value) {
    const bool negative = p < end && *p == '-';
    const char* const q = p + (negative ? 1 : 0);
    if (end - q < 13 || q[1] != '.' || q[8] != 'e' || (q[9] != '+' && q[9] != '-')) return nullptr;
    if (end - q > 13 && !isTokenSeparator(q[13])) return nullptr;
    const auto digit = [q](int at) { return static_cast<unsigned>(q[at] - '0'); };
    const unsigned digits[10] = {digit(0), digit(2), digit(3),  digit(4),  digit(5),
                                 digit(6), digit(7), digit(10), digit(11), digit(12)};
    unsigned mantissa = 0;
    bool allDigits = true;
    for (int i = 0; i < 7; ++i) {
        allDigits &= digits[i] <= 9;
        mantissa = mantissa * 10 + digits[i];
    }
    for (int i = 7; i < 10; ++i) allDigits &= digits[i] <= 9;
    if (!allDigits) return nullptr;
    const int written = static_cast<int>(digits[7] * 100 + digits[8] * 10 + digits[9]);
    const int exponent = (q[9] == '-' ? -written : written) - 6;
    if (mantissa == 0) {
        *value = negative ? -0.0 : 0.0;
        return q + 13;
    }
    if (exponent < -22 || exponent > 22) return nullptr;
    const double m = static_cast<double>(mantissa);
    const double magnitude =
        exponent < 0 ? m / kExactPowers[-exponent] : m * kExactPowers[exponent];
    *value = negative ? -magnitude : magnitude;
    return q + 13;
}

// "00" to "99".
struct DigitPairs {
    char digits[200];
    constexpr DigitPairs() : digits() {
        for (int i = 0; i < 100; ++i) {
            digits[2 * i] = static_cast<char>('0' + i / 10);
            digits[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs{};

char* writePair(char* p, unsigned value) {
    std::memcpy(p, kDigitPairs.digits + 2 * value, 2);
    return p + 2;
}

char* writeExponent(char* p, int exponent) {
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int e = exponent < 0 ? -exponent : exponent;
    *p++ = static_cast<char>('0' + e / 100);
    return writePair(p, static_cast<unsigned>(e % 100));
}

// The general path: to_chars is exact and rounds ties to even, as printf does in the default
// rounding mode; its exponent gets widened to three digits.
char* formatExactly(double value, char* out) {
    char buffer[32];
    char* const end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 6).ptr;
    char* const e =
        static_cast<char*>(std::memchr(buffer, 'e', static_cast<std::size_t>(end - buffer)));
    const std::size_t mantissaLength = static_cast<std::size_t>(e - buffer);
    std::memcpy(out, buffer, mantissaLength);
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exponent);
    return writeExponent(out + mantissaLength, exponent);
}

}  // namespace

float parseWeight(std::string_view token, bool* whole) {
    double value = 0;
    const char* const tokenEnd = token.data() + token.size();
    if (parseSimpleDecimal(token.data(), tokenEnd, &value) == tokenEnd) {
        if (whole) *whole = true;
        return static_cast<float>(value);
    }
    const std::string terminated(token);
    char* end = nullptr;
    value = strtodInCLocale(terminated.c_str(), &end);
    if (whole) *whole = !terminated.empty() && end == terminated.c_str() + terminated.size();
    return static_cast<float>(value);
}

std::int64_t parseWeightRun(const char* p, const char* end, float* out, std::int64_t maxValues,
                            bool strict, std::string_view* bad) {
    std::int64_t count = 0;
    while (count < maxValues) {
        while (p < end && isTokenSeparator(*p)) ++p;
        if (p == end) break;
        double simple = 0;
        const char* after = parseWrittenForm(p, end, &simple);
        if (after == nullptr) after = parseSimpleDecimal(p, end, &simple);
        if (after != nullptr) {
            out[count++] = static_cast<float>(simple);
            p = after;
            continue;
        }
        const char* const start = p;
        while (p < end && !isTokenSeparator(*p)) ++p;
        const std::string_view token(start, static_cast<std::size_t>(p - start));
        bool whole = true;
        out[count] = parseWeight(token, strict ? &whole : nullptr);
        if (!whole) {
            *bad = token;
            break;
        }
        ++count;
    }
    return count;
}

char* formatWeight(float value, char* out) {
    const std::uint32_t bits = bitsOf(value);
    char* p = out;
    if (bits & kSignBit) *p++ = '-';
    const std::uint32_t magnitudeBits = magnitude(bits);
    if (magnitudeBits >= kInfBits) return std::copy_n(isNaN(magnitudeBits) ? "nan" : "inf", 3, p);
    if (magnitudeBits == 0) {
        std::memcpy(p, "0.000000", 8);
        return writeExponent(p + 8, 0);
    }
    if (bits == kAbsentBits) {  // most cells of a pruned matrix
        std::memcpy(p, "2.000000e+000", 13);
        return p + 13;
    }
    // The decimal exponent, estimated from the binary one (floor(e2 * log10(2)), exact or one
    // too small) and corrected below.
    int binaryExponent = static_cast<int>(magnitudeBits >> 23) - 127;
    if (binaryExponent == -127) binaryExponent = -126 - (__builtin_clz(magnitudeBits) - 8);
    int exponent = (binaryExponent * 78913) >> 18;
    const double magnitude = std::fabs(static_cast<double>(value));
    // Scale to seven digits before the point in double precision. The scaled value carries a
    // relative error of a few 2^-53, so unless it lies very near a rounding boundary (a fraction
    // of one half, or the ends of the seven-digit range), rounding it gives the digits printf's
    // exact rounding gives; near a boundary, take the exact path.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double scaled = magnitude * kPowersOfTen[6 - exponent - kLowestPower];
        if (scaled < 1e6) {
            --exponent;
            continue;
        }
        if (scaled >= 1e7) {
            ++exponent;
            continue;
        }
        const double whole = static_cast<double>(static_cast<std::uint32_t>(scaled));
        const double fraction = scaled - whole;
        if (std::fabs(fraction - 0.5) < 1e-6 || scaled - 1e6 < 1e-6 || 1e7 - scaled < 1e-6) break;
        std::uint32_t digits = static_cast<std::uint32_t>(whole) + (fraction > 0.5 ? 1 : 0);
        if (digits == 10000000) {
            digits = 1000000;
            ++exponent;
        }
        const std::uint32_t rest = digits % 1000000;
        *p++ = static_cast<char>('0' + digits / 1000000);
        *p++ = '.';
        p = writePair(p, rest / 10000);
        p = writePair(p, rest / 100 % 100);
        p = writePair(p, rest % 100);
        return writeExponent(p, exponent);
    }
    return formatExactly(static_cast<double>(value), out);
}

}  // namespace fwprune
