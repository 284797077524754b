#pragma once
// Text tables of the command output: every column padded to its widest cell, counted in
// characters, columns two spaces apart. A left-aligned last column is left unpadded.
#include <string>
#include <vector>

namespace joulix::cli {

enum class Alignment { left, right };

// Prints `rows` (the header among them, if any) to standard output, one line each.
void printAlignedRows(const std::vector<std::vector<std::string>>& rows,
                      const std::vector<Alignment>& alignments);

}  // namespace joulix::cli
