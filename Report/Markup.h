#pragma once
// Text placed in HTML or SVG markup: made valid UTF-8, special characters escaped, control
// characters (which XML forbids) shown as "?".
#include <string>
#include <string_view>

namespace joulix {

std::string escapedMarkup(std::string_view text);

}  // namespace joulix
