#pragma once
// Checks of numeric options that say what was wrong in the user's terms ("--limit: 0 is not a
// whole number from 1 to 10000"), instead of a generic range or conversion text.
#include <CLI/CLI.hpp>

#include <cstdint>

namespace joulix::cli {

// A whole number from `minimum` to `maximum`.
CLI::Validator wholeNumberFrom(int64_t minimum, int64_t maximum);

// A number of seconds from `minimum` to `maximum`.
CLI::Validator secondsFrom(double minimum, double maximum);

}  // namespace joulix::cli
