#include "cli/Table.h"

#include "SharedModels/Text.h"

#include <algorithm>
#include <iostream>

namespace joulix::cli {

void printAlignedRows(const std::vector<std::vector<std::string>>& rows,
                      const std::vector<Alignment>& alignments) {
    std::vector<std::size_t> widths(alignments.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], text::characterCount(row[i]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            const std::string padding(widths[i] - text::characterCount(row[i]), ' ');
            if (i > 0) line += "  ";
            if (alignments[i] == Alignment::right) {
                line += padding + row[i];
            } else {
                line += last ? row[i] : row[i] + padding;
            }
        }
        std::cout << line << '\n';
    }
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) {
            out += '?';
            if (c1) ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace joulix::cli
