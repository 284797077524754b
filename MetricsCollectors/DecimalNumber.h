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
double shortDecimalValue(uint64_t mantissa, std::size_t fractionDigits, bool negative);

}  // namespace joulix
