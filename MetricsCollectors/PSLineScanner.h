#pragma once
// Reads the leading numbers of a `ps` output line one after another and hands back the rest of
// the line. White space and newlines at the line's start are skipped, as trimming it would; before
// each number only white space (not newlines) is. A scan that finds no number
// returns false and leaves the value as it was. The common shapes (ASCII blanks, up to 18
// integer digits, up to 15 mantissa digits without an exponent) are scanned inline; anything
// else takes the general paths. Values come back through out parameters: an optional returned
// from each scan would be copied through memory on every number.
#include "MetricsCollectors/DecimalNumber.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace joulix {

class PSLineScanner {
  public:
    explicit PSLineScanner(std::string_view text)
        : next_(text.data()), end_(text.data() + text.size()) {
        skipBlanks(true);
    }

    // An optionally signed decimal integer that fits in 64 bits.
    bool scanInteger(int64_t& value) {
        skipBlanks(false);
        const char* p = next_;
        const bool negative = p != end_ && *p == '-';
        if (p != end_ && (*p == '+' || *p == '-')) ++p;
        const char* const digits = p;
        // Up to 18 digits cannot overflow; longer runs go through the checked conversion.
        uint64_t magnitude = 0;
        while (p != end_ && isDigit(*p) && p - digits < 18)
            magnitude = magnitude * 10 + static_cast<uint64_t>(*p++ - '0');
        if (p == digits) return false;
        if (p != end_ && isDigit(*p)) return scanLongInteger(value);
        next_ = p;
        value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

    // An optionally signed finite decimal number: digits, a fraction, an exponent.
    bool scanDouble(double& value) {
        skipBlanks(false);
        const char* p = next_;
        const bool negative = p != end_ && *p == '-';
        if (p != end_ && (*p == '+' || *p == '-')) ++p;
        // The mantissa is gathered while scanning, for the common short number ("12.5").
        uint64_t mantissa = 0;
        std::size_t mantissaDigits = 0, fractionDigits = 0;
        for (; p != end_ && isDigit(*p); ++mantissaDigits)
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
        if (p != end_ && *p == '.') {
            for (++p; p != end_ && isDigit(*p); ++mantissaDigits, ++fractionDigits)
                mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
        }
        if (mantissaDigits == 0) return false;
        if (mantissaDigits > 15 || (p != end_ && (*p == 'e' || *p == 'E'))) {
            return scanLongDouble(p, value);
        }
        next_ = p;
        value = shortDecimalValue(mantissa, fractionDigits, negative);
        return true;
    }

    // What follows the last scanned number.
    std::string_view rest() const { return {next_, static_cast<std::size_t>(end_ - next_)}; }

  private:
    static bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

    static bool isBlank(char c, bool newlines) {
        return c == ' ' || c == '\t' || (newlines && c >= '\n' && c <= '\r');
    }
    // Skips white space, and newlines too when `newlines` is set. The cursor is copied out and
    // back: stores through the class would be redone per byte (the compiler must assume the
    // text may alias it).
    void skipBlanks(bool newlines) {
        const char* p = next_;
        while (p != end_ && isBlank(*p, newlines))
            ++p;
        next_ = p;
        if (p != end_ && static_cast<unsigned char>(*p) >= 0x80) skipUnicodeBlanks(newlines);
    }
    // The same from a non-ASCII byte on: Unicode characters mixed with ASCII ones.
    void skipUnicodeBlanks(bool newlines);
    // A run of more than 18 digits at the next number, through the checked conversion.
    bool scanLongInteger(int64_t& value);
    // The number from the next one up to `mantissaEnd` and its exponent, if any, through the
    // general conversion.
    bool scanLongDouble(const char* mantissaEnd, double& value);

    const char* next_;
    const char* end_;
};

}  // namespace joulix
