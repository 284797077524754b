#include "MetricsCollectors/PropertyValueReaders.h"

#include "SharedModels/Text.h"

#include <charconv>
#include <cmath>

namespace joulix::property {

std::optional<int64_t> parseDecimalInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    uint64_t magnitude = 0;
    const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || rest != text.data() + text.size()) return std::nullopt;
    constexpr auto maxPositive = static_cast<uint64_t>(INT64_MAX);
    if (!negative) {
        if (magnitude > maxPositive) return std::nullopt;
        return static_cast<int64_t>(magnitude);
    }
    if (magnitude > maxPositive + 1) return std::nullopt;
    return static_cast<int64_t>(0 - magnitude);
}

std::optional<int64_t> integerValue(const PowerSourceValue& value) {
    if (const auto* integer = std::get_if<int64_t>(&value)) return *integer;
    if (const auto* real = std::get_if<double>(&value)) {
        // Within [-2^63, 2^63): the truncated value fits.
        if (!std::isfinite(*real) || *real < -9223372036854775808.0 ||
            *real >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<int64_t>(*real);
    }
    if (const auto* text = std::get_if<std::string>(&value)) return parseDecimalInteger(*text);
    return std::nullopt;
}

std::optional<bool> booleanValue(const PowerSourceValue& value, TextBooleans texts) {
    if (const auto* boolean = std::get_if<bool>(&value)) return *boolean;
    if (const auto* integer = std::get_if<int64_t>(&value)) return *integer != 0;
    if (const auto* real = std::get_if<double>(&value)) return *real != 0;
    const auto* text = std::get_if<std::string>(&value);
    if (!text || texts == TextBooleans::ignored) return std::nullopt;
    const std::string lowered = text::lowercased(*text);
    if (lowered == "1" || lowered == "true" || lowered == "yes") return true;
    if (lowered == "0" || lowered == "false" || lowered == "no") return false;
    return std::nullopt;
}

std::optional<std::string> textValue(const PowerSourceValue& value, EmptyText empty) {
    const auto* text = std::get_if<std::string>(&value);
    if (!text || (text->empty() && empty == EmptyText::absent)) return std::nullopt;
    return *text;
}

std::optional<int64_t> timeRemainingMinutes(std::optional<int64_t> minutes) {
    if (!minutes || *minutes < 1 || *minutes == 65534 || *minutes == 65535) return std::nullopt;
    return minutes;
}

}  // namespace joulix::property
