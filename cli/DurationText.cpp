#include "cli/DurationText.h"

#include "cli/HistoryDatabase.h"

#include <cctype>

namespace joulix::cli {

std::optional<double> parseSecondsOrDuration(std::string_view text) {
    const bool bareNumber =
        !text.empty() && std::isdigit(static_cast<unsigned char>(text.back())) != 0;
    return parseDuration(bareNumber ? std::string(text) + "s" : std::string(text));
}

std::string durationCheck(const std::string& text) {
    return parseSecondsOrDuration(text)
               ? std::string()
               : "not a duration: " + text + " (seconds, or a number with s, m, h or d)";
}

}  // namespace joulix::cli
