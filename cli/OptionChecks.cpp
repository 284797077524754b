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

CLI::Validator secondsFrom(double minimum, double maximum, bool above) {
    const std::string range =
        above ? "more than " + text::formatted("%g", minimum) + " and at most " +
                    text::formatted("%g", maximum)
              : "from " + text::formatted("%g", minimum) + " to " + text::formatted("%g", maximum);
    return CLI::Validator(
        [minimum, maximum, above, range](std::string& input) -> std::string {
            std::size_t used = 0;
            double value = 0;
            try {
                value = std::stod(input, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            const bool inRange = above ? value > minimum : value >= minimum;
            if (used > 0 && used == input.size() && std::isfinite(value) && inRange &&
                value <= maximum) {
                return {};
            }
            return input + " is not a number of seconds " + range;
        },
        "SECONDS " + range);
}

}  // namespace joulix::cli
