#include "MetricsCollectors/DecimalNumber.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace joulix {

std::optional<double> parseDecimalNumber(std::string_view text) {
    bool negative = false;
    std::string_view digits = text;
    if (digits.starts_with('+') || digits.starts_with('-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    // Short plain numbers ("123.45") take the exact division.
    uint64_t mantissa = 0;
    std::size_t count = 0, fraction = 0;
    bool point = false, plain = !digits.empty() && digits.size() <= 16;
    for (std::size_t i = 0; plain && i < digits.size(); ++i) {
        const char c = digits[i];
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            ++count;
            if (point) ++fraction;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            plain = false;
        }
    }
    if (plain && count > 0 && count <= 15) return shortDecimalValue(mantissa, fraction, negative);
    if (digits.starts_with('-') || digits.starts_with('+')) return std::nullopt;
    double value = 0;
    const char* first = text.data() + (text.starts_with('+') ? 1 : 0);
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace joulix
