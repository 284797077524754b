#include "cli/OptionChecks.h"

#include "SharedModels/Text.h"

#include <charconv>
#include <cmath>
#include <string>

namespace joulix::cli {

CLI::Validator wholeNumberFrom(int64_t minimum, int64_t maximum) {
    const std::string range = std::to_string(minimum) + " to " + std::to_string(maximum);
    return CLI::Validator(
        [minimum, maximum, range](std::string& input) -> std::string {
            int64_t value = 0;
            const auto [end, error] =
                std::from_chars(input.data(), input.data() + input.size(), value);
            if (error == std::errc() && end == input.data() + input.size() && value >= minimum &&
                value <= maximum) {
                return {};
            }
            return input + " is not a whole number from " + range;
        },
        "INT in " + range);
}

CLI::Validator secondsFrom(double minimum, double maximum) {
    const std::string range =
        "from " + text::formatted("%g", minimum) + " to " + text::formatted("%g", maximum);
    return CLI::Validator(
        [minimum, maximum, range](std::string& input) -> std::string {
            double value = 0;
            const auto [end, error] =
                std::from_chars(input.data(), input.data() + input.size(), value);
            if (error == std::errc() && end == input.data() + input.size() &&
                std::isfinite(value) && value >= minimum && value <= maximum) {
                return {};
            }
            return input + " is not a number of seconds " + range;
        },
        "SECONDS " + range);
}

}  // namespace joulix::cli
