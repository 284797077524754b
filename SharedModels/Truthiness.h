#pragma once
// The rule for boolean switches read from the environment or the Info dictionary.
#include <string_view>

namespace joulix {

// True for "1", "true", "yes", "y" and "on" after trimming white space and newlines and
// lower-casing; false for everything else.
bool parseTruthiness(std::string_view text);

}  // namespace joulix
