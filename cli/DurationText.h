#pragma once
// Durations of `record` and `report`: a bare number of seconds ("6") or what parseDuration of
// cli/HistoryDatabase.h reads ("90s", "15m", "24h", "7d").
#include <optional>
#include <string>
#include <string_view>

namespace joulix::cli {

// Seconds; none for anything else or for a figure that is not positive and finite.
std::optional<double> parseSecondsOrDuration(std::string_view text);

// The CLI11 check: empty for a duration, else why the text is not one.
std::string durationCheck(const std::string& text);

}  // namespace joulix::cli
