// Exact, fast conversions between weight tokens and floats.
#pragma once

#include <string_view>

namespace fwprune {

// atof's value of one token, rounded to float. *whole (when given) tells whether the number took
// up the whole token.
float parseWeight(std::string_view token, bool* whole = nullptr);

// One value as C's "%e" prints it (the float widened to double), with the exponent widened to
// three digits: "2.000000e-001". Infinities and NaNs as printf spells them ("inf", "-nan").
// Returns the end of the written characters; out must have room for 16.
char* formatWeight(float value, char* out);

}  // namespace fwprune
