#pragma once
// The value of a text that is wholly an optionally signed, finite decimal number ("12", "-0.5",
// "1.5e3", ".5"); absent for anything else, "inf" and "nan" included.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace joulix {

std::optional<double> parseDecimalNumber(std::string_view text);

// The value of `mantissa` / 10^`fractionDigits`, signed; exact (correctly rounded) when the
// mantissa has at most 15 digits, which callers check (a mantissa below 2^53 and a power of ten
// up to 10^15 are exact doubles, so one division rounds once).
inline double shortDecimalValue(uint64_t mantissa, std::size_t fractionDigits, bool negative) {
    static constexpr double powersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const double value = static_cast<double>(mantissa) / powersOfTen[fractionDigits];
    return negative ? -value : value;
}

}  // namespace joulix
