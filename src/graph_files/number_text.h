// Exact, fast conversions between weight tokens and floats.
#pragma once

#include <cstdint>
#include <string_view>

namespace fwprune {

// atof's value of one token, rounded to float. *whole (when given) tells whether the number took
// up the whole token.
float parseWeight(std::string_view token, bool* whole = nullptr);

// Parses the whitespace-separated tokens of [p, end), which must not end inside a token, as
// parseWeight does, into out[0], out[1], ..., at most maxValues of them; returns how many it
// stored. With strict set, it stops at the first token that is not wholly a number and sets *bad
// to it. The readers' inner loop: the common forms convert without first measuring the token.
std::int64_t parseWeightRun(const char* p, const char* end, float* out, std::int64_t maxValues,
                            bool strict, std::string_view* bad);

// One value as C's "%e" prints it (the float widened to double), with the exponent widened to
// three digits: "2.000000e-001". Infinities and NaNs as printf spells them ("inf", "-nan").
// Returns the end of the written characters; out must have room for 16.
char* formatWeight(float value, char* out);

}  // namespace fwprune
