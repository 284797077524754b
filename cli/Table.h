#pragma once
// Text tables of the command output: every column padded to its widest cell, counted in
// characters, columns two spaces apart. A left-aligned last column is left unpadded.
#include <string>
#include <string_view>
#include <vector>

namespace joulix::cli {

enum class Alignment { left, right };

// Prints `rows` (the header among them, if any) to standard output, one line each.
void printAlignedRows(const std::vector<std::vector<std::string>>& rows,
                      const std::vector<Alignment>& alignments);

// Names come from other users' file names and bundles: control characters (C0, DEL, C1) show
// as "?", as ps shows them, so that no name can move the cursor or send terminal commands.
std::string printable(std::string_view text);

}  // namespace joulix::cli
