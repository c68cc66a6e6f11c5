// Rows of text printed as aligned columns, for the listings on a terminal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx17::ctl {

// Each column as wide as its widest cell, two spaces apart; the last column
// is not padded, so a long text there moves nothing.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

}  // namespace qx17::ctl
