#include "SharedModels/Text.h"

#include <cstdio>
#include <utf8proc.h>

namespace joulix::text {
namespace {

// Decodes one code point at `pos`. On an invalid sequence returns -1 and sets `length` to the
// length of its maximal subpart (at least 1), as the Unicode replacement rules define it.
int32_t decodeAt(std::string_view s, std::size_t pos, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[pos + i]); };
    const unsigned char b0 = byte(0);
    length = 1;
    if (b0 < 0x80) return b0;
    std::size_t need = 0;
    int32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (std::size_t i = 1; i <= need; ++i) {
        if (pos + i >= s.size()) return -1;
        const unsigned char b = byte(i);
        if (b < lo || b > hi) return -1;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        length = i + 1;
    }
    return cp;
}

// Visits each code point with its byte range; invalid bytes are visited as U+FFFD.
template <typename Visit> void forEachCodePoint(std::string_view s, Visit visit) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t length = 1;
        const int32_t cp = decodeAt(s, pos, length);
        if (!visit(cp < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(cp), pos, length)) return;
        pos += length;
    }
}

}  // namespace

bool isNewline(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(char32_t c) {
    if (c == 0x09) return true;
    if (c < 0x80) return c == 0x20;
    return utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_ZS;
}

bool isWhitespaceOrNewline(char32_t c) {
    return isNewline(c) || isWhitespace(c);
}

std::string_view trim(std::string_view s) {
    // ASCII fast path: strip ASCII white space byte by byte; only when an end is a non-ASCII
    // byte does the Unicode scan below decide.
    const auto isASCIISpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && isASCIISpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isASCIISpace(s.back()))
        s.remove_suffix(1);
    if (s.empty() || (static_cast<unsigned char>(s.front()) < 0x80 &&
                      static_cast<unsigned char>(s.back()) < 0x80)) {
        return s;
    }
    std::size_t first = s.size();
    std::size_t end = 0;
    forEachCodePoint(s, [&](char32_t c, std::size_t pos, std::size_t length) {
        if (!isWhitespaceOrNewline(c)) {
            if (first == s.size()) first = pos;
            end = pos + length;
        }
        return true;
    });
    if (first == s.size()) return s.substr(s.size());
    return s.substr(first, end - first);
}

namespace {
template <typename IsSeparator>
std::vector<std::string_view> splitDroppingEmpty(std::string_view s, IsSeparator isSeparator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    forEachCodePoint(s, [&](char32_t c, std::size_t pos, std::size_t length) {
        if (isSeparator(c)) {
            if (pos > start) pieces.push_back(s.substr(start, pos - start));
            start = pos + length;
        }
        return true;
    });
    if (start < s.size()) pieces.push_back(s.substr(start));
    return pieces;
}
}  // namespace

std::vector<std::string_view> splitLines(std::string_view s) {
    // ASCII fast path: only LF, VT, FF and CR can occur.
    bool ascii = true;
    for (const char ch : s) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (!ascii) return splitDroppingEmpty(s, isNewline);
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch >= 0x0A && ch <= 0x0D) {
            if (i > start) pieces.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < s.size()) pieces.push_back(s.substr(start));
    return pieces;
}

std::vector<std::string_view> splitWhitespace(std::string_view s) {
    return splitDroppingEmpty(s, isWhitespaceOrNewline);
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view s, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == separator) {
            pieces.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return pieces;
}

std::string lowercased(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        } else {
            appendUTF8(out,
                       static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
        }
        return true;
    });
    return out;
}

std::vector<std::size_t> characterBoundaries(std::string_view s) {
    std::vector<std::size_t> boundaries;
    boundaries.reserve(s.size() + 1);
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    forEachCodePoint(s, [&](char32_t c, std::size_t pos, std::size_t) {
        const auto cp = static_cast<utf8proc_int32_t>(c);
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
            boundaries.push_back(pos);
        }
        previous = cp;
        return true;
    });
    boundaries.push_back(s.size());
    return boundaries;
}

std::size_t characterCount(std::string_view s) {
    return characterBoundaries(s).size() - 1;
}

std::size_t byteOffsetOfCharacter(std::string_view s, std::size_t index) {
    const auto boundaries = characterBoundaries(s);
    return index < boundaries.size() ? boundaries[index] : s.size();
}

std::string formatted(const char* format, double value) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, format, value);
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < sizeof buffer) return buffer;
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, value);
    return text;
}

std::string repairUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t length = 1;
        if (decodeAt(bytes, pos, length) < 0) {
            appendUTF8(out, 0xFFFD);
        } else {
            out.append(bytes.substr(pos, length));
        }
        pos += length;
    }
    return out;
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace joulix::text
