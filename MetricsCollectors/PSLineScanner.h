#pragma once
// Reads the leading numbers of a `ps` output line one after another, skipping white space (but
// not newlines) before each, and hands back the rest of the line.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace joulix {

class PSLineScanner {
  public:
    explicit PSLineScanner(std::string_view text) : text_(text) {}

    // An optionally signed decimal integer that fits in 64 bits.
    std::optional<int64_t> scanInteger();
    // An optionally signed finite decimal number: digits, a fraction, an exponent.
    std::optional<double> scanDouble();
    // What follows the last scanned number.
    std::string_view rest() const { return text_.substr(position_); }

  private:
    void skipWhitespace();

    std::string_view text_;
    std::size_t position_ = 0;
};

}  // namespace joulix
