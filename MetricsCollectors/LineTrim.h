#pragma once
// text::trim for tool output lines, answered byte by byte while both ends are ASCII (the usual
// case) and by the Unicode trim otherwise, with the same result either way.
#include "SharedModels/Text.h"

#include <string_view>

namespace joulix {

inline std::string_view trimLine(std::string_view s) {
    const auto isASCIISpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && isASCIISpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isASCIISpace(s.back()))
        s.remove_suffix(1);
    if (!s.empty() && (static_cast<unsigned char>(s.front()) >= 0x80 ||
                       static_cast<unsigned char>(s.back()) >= 0x80)) {
        return text::trim(s);
    }
    return s;
}

}  // namespace joulix
