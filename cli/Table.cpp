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

}  // namespace joulix::cli
