#pragma once
// Reads the Low Power Mode setting out of `pmset -g` output: a line per setting, the setting's
// name first and its value last.
#include <optional>
#include <string_view>

namespace joulix {

// The first line whose trimmed, lower-cased text begins with "lowpowermode" and whose last
// white-space separated piece is "1" (true) or "0" (false) decides; absent when none does.
std::optional<bool> lowPowerModeFromPmsetOutput(std::string_view output);

}  // namespace joulix
