#include "cli/DurationText.h"

#include <charconv>
#include <cmath>

namespace joulix::cli {

std::optional<double> parseDuration(std::string_view text) {
    double unitS = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 's':
            unitS = 1;
            break;
        case 'm':
            unitS = 60;
            break;
        case 'h':
            unitS = 3600;
            break;
        case 'd':
            unitS = 86400;
            break;
        default:
            unitS = 0;
        }
        if (unitS != 0)
            text.remove_suffix(1);
        else
            unitS = 1;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        !std::isfinite(value) || value < 0)
        return std::nullopt;
    return value * unitS;
}

std::string durationCheck(const std::string& text) {
    return parseDuration(text)
               ? std::string()
               : "not a duration: " + text + " (seconds, or a number with s, m, h or d)";
}

}  // namespace joulix::cli
