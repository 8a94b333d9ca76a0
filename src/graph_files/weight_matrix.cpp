#include "graph_files/weight_matrix.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if !defined(_WIN32)
#include <locale.h>
#endif

#include "common/error.h"
#include "graph_files/edge_records.h"
#include "graph_files/file_io.h"
#include "graph_files/text_tokens.h"

namespace fwprune {
namespace {

// The number of tokens on the first line: blanks, tabs and the line feed separate them, and a
// carriage return right before the line feed (or the end of the file) belongs to the line end.
std::int64_t countFirstLineTokens(std::string_view text) {
    std::int64_t count = 0;
    bool inToken = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool lineEnd = c == '\n';
        const bool crAtLineEnd = c == '\r' && (i + 1 == text.size() || text[i + 1] == '\n');
        if (c == ' ' || c == '\t' || lineEnd || crAtLineEnd) {
            if (inToken) ++count;
            inToken = false;
            if (lineEnd) return count;
        } else {
            inToken = true;
        }
    }
    return count + (inToken ? 1 : 0);
}

// strtod in the C locale, whatever locale the host process has set.
double strtodInCLocale(const char* text, char** end) {
#if defined(_WIN32)
    static const _locale_t cLocale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, end, cLocale);
#else
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    return strtod_l(text, end, cLocale);
#endif
}

bool isPlainDecimal(std::string_view token) {
    if (token.empty() || token.front() == '+') return false;
    for (const char c : token) {
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == 'e' || c == 'E')) return false;
    }
    return true;
}

char* appendThreeDigitExponent(char* begin, char* end) {
    // to_chars writes at least two exponent digits; floats never need more than two, so widen to
    // the three the format documents by inserting a zero after the exponent's sign.
    char* const sign = static_cast<char*>(std::memchr(begin, 'e', static_cast<std::size_t>(end - begin))) + 1;
    if (end - (sign + 1) >= 3) return end;
    std::memmove(sign + 2, sign + 1, static_cast<std::size_t>(end - (sign + 1)));
    sign[1] = '0';
    return end + 1;
}

}  // namespace

float parseWeight(std::string_view token, bool* whole) {
    if (isPlainDecimal(token)) {
        double value = 0;
        const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
        // from_chars agrees with strtod on every whole decimal it accepts; partial numbers,
        // overflow and underflow go to strtod, which defines atof's result for them.
        if (error == std::errc() && end == token.data() + token.size()) {
            if (whole) *whole = true;
            return static_cast<float>(value);
        }
    }
    const std::string terminated(token);
    char* end = nullptr;
    const double value = strtodInCLocale(terminated.c_str(), &end);
    if (whole) *whole = !terminated.empty() && end == terminated.c_str() + terminated.size();
    return static_cast<float>(value);
}

WeightMatrix parseWeightMatrix(std::string_view text, const std::string& path, bool strict) {
    const std::int64_t n = countFirstLineTokens(text);
    const std::int32_t cells = checkedCellCount(n, path);
    WeightMatrix matrix;
    matrix.n = static_cast<std::int32_t>(n);
    try {
        matrix.cells.resize(static_cast<std::size_t>(cells));
    } catch (const std::bad_alloc&) {
        fail(Status::OutOfMemory, describeAt(path, "not enough memory for a matrix of " +
                                                       std::to_string(n) + " nodes"));
    }
    TokenScanner scanner(text);
    float* const out = matrix.cells.data();
    long long lastLine = 1;
    for (std::int64_t index = 0; index < cells; ++index) {
        const std::string_view token = scanner.next();
        if (token.empty()) {
            fail(Status::Format,
                 describeAt(path, lastLine,
                            "the matrix has " + std::to_string(n) + " columns on its first line, so " +
                                std::to_string(static_cast<std::int64_t>(cells)) +
                                " values are needed, but the file ends after " +
                                std::to_string(index) + " values"));
        }
        bool whole = true;
        out[index] = parseWeight(token, strict ? &whole : nullptr);
        lastLine = scanner.line();
        if (!whole) {
            fail(Status::Format, describeAt(path, lastLine,
                                            "'" + std::string(tokenForMessage(token)) +
                                                "' is not a number"));
        }
    }
    nodeCount = matrix.n;
    cellCount = cells;
    return matrix;
}

WeightMatrix readWeightMatrix(const std::string& path, bool strict) {
    return parseWeightMatrix(readWholeFile(path), path, strict);
}

char* formatWeight(float value, char* out) {
    if (std::isnan(value)) {
        char* p = out;
        if (std::signbit(value)) *p++ = '-';
        return std::copy_n("nan", 3, p);
    }
    if (std::isinf(value)) {
        char* p = out;
        if (value < 0) *p++ = '-';
        return std::copy_n("inf", 3, p);
    }
    // The float widened to double and printed like "%e": to_chars is exact and rounds ties to
    // even, as printf does in the default rounding mode.
    char* const end = std::to_chars(out, out + 16, static_cast<double>(value),
                                    std::chars_format::scientific, 6)
                          .ptr;
    return appendThreeDigitExponent(out, end);
}

void writeWeightMatrix(const WeightMatrix& matrix, const std::string& path) {
    OutputFile file(path);
    const std::int64_t n = matrix.n;
    constexpr std::size_t kFlushAt = std::size_t{1} << 22;
    std::string buffer;
    buffer.reserve(kFlushAt + 64);
    char value[24];
    for (std::int64_t i = 0; i < n; ++i) {
        const float* const row = matrix.cells.data() + i * n;
        for (std::int64_t j = 0; j < n; ++j) {
            char* p = value;
            if (j > 0) *p++ = ' ';
            p = formatWeight(row[j], p);
            buffer.append(value, static_cast<std::size_t>(p - value));
        }
        buffer.push_back('\n');
        if (buffer.size() >= kFlushAt) {
            file.write(buffer);
            buffer.clear();
        }
    }
    file.write(buffer);
    file.commit();
}

void writeWeightEdgeList(const WeightMatrix& matrix, const std::string& path) {
    const float* const cells = matrix.cells.data();
    const std::int64_t n = matrix.n;
    // NaN cells are written: they compare unequal to the absent mark.
    writeEdgeRecords(n, path, [&](std::int64_t i, std::int64_t j) { return !(cells[i * n + j] == WEIGHT_ABSENT); });
}

}  // namespace fwprune
