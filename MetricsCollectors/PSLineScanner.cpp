#include "MetricsCollectors/PSLineScanner.h"

#include "SharedModels/Text.h"

#include <charconv>
#include <utf8proc.h>

namespace joulix {

void PSLineScanner::skipUnicodeBlanks(bool newlines) {
    while (next_ != end_) {
        const auto byte = static_cast<unsigned char>(*next_);
        if (byte < 0x80) {
            if (!isBlank(*next_, newlines)) return;
            ++next_;
            continue;
        }
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(next_),
                                        static_cast<utf8proc_ssize_t>(end_ - next_), &cp);
        if (n < 1) return;
        const auto c = static_cast<char32_t>(cp);
        if (!(newlines ? text::isWhitespaceOrNewline(c) : text::isWhitespace(c))) return;
        next_ += n;
    }
}

bool PSLineScanner::scanLongInteger(int64_t& value) {
    const char* from = *next_ == '+' ? next_ + 1 : next_;
    const char* end = from + (*from == '-' ? 1 : 0);
    while (end != end_ && isDigit(*end))
        ++end;
    int64_t parsed = 0;
    const auto [stop, ec] = std::from_chars(from, end, parsed);
    if (ec != std::errc{} || stop != end) return false;
    next_ = end;
    value = parsed;
    return true;
}

bool PSLineScanner::scanLongDouble(const char* mantissaEnd, double& value) {
    const char* end = mantissaEnd;
    if (end != end_ && (*end == 'e' || *end == 'E')) {
        const char* digits = end + 1;
        if (digits != end_ && (*digits == '+' || *digits == '-')) ++digits;
        if (digits != end_ && isDigit(*digits)) {
            end = digits;
            while (end != end_ && isDigit(*end))
                ++end;
        }
    }
    const auto parsed = parseDecimalNumber({next_, static_cast<std::size_t>(end - next_)});
    if (!parsed) return false;
    next_ = end;
    value = *parsed;
    return true;
}

}  // namespace joulix
