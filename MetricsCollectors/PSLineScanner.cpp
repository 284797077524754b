#include "MetricsCollectors/PSLineScanner.h"

#include "MetricsCollectors/DecimalNumber.h"
#include "SharedModels/Text.h"

#include <charconv>
#include <utf8proc.h>

namespace joulix {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void PSLineScanner::skipWhitespace() {
    while (position_ < text_.size()) {
        const auto byte = static_cast<unsigned char>(text_[position_]);
        if (byte < 0x80) {
            if (byte != ' ' && byte != '\t') return;
            ++position_;
            continue;
        }
        utf8proc_int32_t cp = 0;
        const auto n =
            utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text_.data() + position_),
                             static_cast<utf8proc_ssize_t>(text_.size() - position_), &cp);
        if (n < 1 || !text::isWhitespace(static_cast<char32_t>(cp))) return;
        position_ += static_cast<std::size_t>(n);
    }
}

std::optional<int64_t> PSLineScanner::scanInteger() {
    skipWhitespace();
    std::size_t end = position_;
    if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
    const std::size_t digits = end;
    while (end < text_.size() && isDigit(text_[end]))
        ++end;
    if (end == digits) return std::nullopt;
    // Up to 18 digits cannot overflow; longer runs go through the checked conversion.
    if (end - digits <= 18) {
        int64_t value = 0;
        for (std::size_t i = digits; i < end; ++i)
            value = value * 10 + (text_[i] - '0');
        if (text_[position_] == '-') value = -value;
        position_ = end;
        return value;
    }
    const std::size_t from = text_[position_] == '+' ? position_ + 1 : position_;
    int64_t value = 0;
    const auto [stop, ec] = std::from_chars(text_.data() + from, text_.data() + end, value);
    if (ec != std::errc{} || stop != text_.data() + end) return std::nullopt;
    position_ = end;
    return value;
}

std::optional<double> PSLineScanner::scanDouble() {
    skipWhitespace();
    std::size_t end = position_;
    const bool negative = end < text_.size() && text_[end] == '-';
    if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
    // The mantissa is gathered while scanning, for the common short number ("12.5").
    uint64_t mantissa = 0;
    std::size_t mantissaDigits = 0, fractionDigits = 0;
    while (end < text_.size() && isDigit(text_[end])) {
        mantissa = mantissa * 10 + static_cast<uint64_t>(text_[end++] - '0');
        ++mantissaDigits;
    }
    if (end < text_.size() && text_[end] == '.') {
        ++end;
        while (end < text_.size() && isDigit(text_[end])) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(text_[end++] - '0');
            ++mantissaDigits, ++fractionDigits;
        }
    }
    if (mantissaDigits == 0) return std::nullopt;
    bool exponent = false;
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
        std::size_t digits = end + 1;
        if (digits < text_.size() && (text_[digits] == '+' || text_[digits] == '-')) ++digits;
        if (digits < text_.size() && isDigit(text_[digits])) {
            exponent = true;
            end = digits;
            while (end < text_.size() && isDigit(text_[end]))
                ++end;
        }
    }
    // Up to 15 digits and no exponent: exact from the gathered mantissa; anything longer takes
    // the general conversion.
    const std::optional<double> value =
        !exponent && mantissaDigits <= 15
            ? shortDecimalValue(mantissa, fractionDigits, negative)
            : parseDecimalNumber(text_.substr(position_, end - position_));
    if (value) position_ = end;
    return value;
}

}  // namespace joulix
