#pragma once
// Durations given on the command line: a number of seconds, or a number followed by "s", "m",
// "h" or "d" ("90", "30s", "5m", "24h", "7d").
#include <optional>
#include <string>
#include <string_view>

namespace joulix::cli {

// Seconds; absent for anything else, for a negative or a non-finite figure.
std::optional<double> parseDuration(std::string_view text);

// A CLI11 check that accepts only such durations.
std::string durationCheck(const std::string& text);

}  // namespace joulix::cli
