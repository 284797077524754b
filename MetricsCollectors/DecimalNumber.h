#pragma once
// The value of a text that is wholly an optionally signed, finite decimal number ("12", "-0.5",
// "1.5e3", ".5"); absent for anything else, "inf" and "nan" included.
#include <optional>
#include <string_view>

namespace joulix {

std::optional<double> parseDecimalNumber(std::string_view text);

}  // namespace joulix
