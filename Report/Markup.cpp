#include "Report/Markup.h"

#include "SharedModels/Text.h"

namespace joulix {

std::string escapedMarkup(std::string_view text) {
    const std::string valid = text::repairUTF8(text);
    std::string out;
    out.reserve(valid.size());
    for (const char c : valid) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

}  // namespace joulix
