#pragma once
// Unicode text helpers used everywhere text from outside is handled. Texts are UTF-8.
// "White space" and "newline" follow the Unicode properties: newlines are LF, VT, FF, CR,
// NEL, U+2028 and U+2029; white space is tab plus the space separators (Zs). A "character"
// is an extended grapheme cluster, so CR LF counts as one.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace joulix::text {

bool isNewline(char32_t c);
bool isWhitespace(char32_t c);  // white space that is not a newline
bool isWhitespaceOrNewline(char32_t c);

// Removes white space and newlines from both ends.
std::string_view trim(std::string_view s);
// True when nothing but white space and newlines remains after trimming.
inline bool isBlank(std::string_view s) {
    // A first character of printable ASCII other than the space settles it without a scan.
    if (!s.empty() && s.front() > ' ' && s.front() < 0x7F) return false;
    return trim(s).empty();
}

// Splits at every newline character, dropping empty pieces.
std::vector<std::string_view> splitLines(std::string_view s);
// Splits at white space and newlines, dropping empty pieces.
std::vector<std::string_view> splitWhitespace(std::string_view s);
// Splits at one byte, keeping empty pieces ("a\n\nb" gives "a", "", "b").
std::vector<std::string_view> splitKeepingEmpty(std::string_view s, char separator);

// Full-text lower-casing by Unicode case mapping.
std::string lowercased(std::string_view s);

// Number of characters (grapheme clusters).
std::size_t characterCount(std::string_view s);
// Byte offset of the start of character `index`; the byte length when index >= the count.
std::size_t byteOffsetOfCharacter(std::string_view s, std::size_t index);
// Byte offsets of every character start, followed by the byte length of the text.
std::vector<std::size_t> characterBoundaries(std::string_view s);

// One number printed with a printf format for a double ("%.2f"), at any length.
std::string formatted(const char* format, double value);

// Decodes bytes as UTF-8, replacing every maximal invalid subpart by U+FFFD. Never fails.
std::string repairUTF8(std::string_view bytes);

// Appends the UTF-8 encoding of one code point.
void appendUTF8(std::string& out, char32_t c);

}  // namespace joulix::text
