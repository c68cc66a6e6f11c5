// The terminal that standard output is, as the progress line and the board
// need it: its size, whether it takes the cursor and colour sequences, and
// whether standard error shows on it too. One implementation per platform.
#pragma once

#include <optional>

namespace qx17::ctl {

struct TerminalSize {
    int columns = 0;
    int rows = 0;
};

// The size of the terminal standard output is; nothing when it is none.
std::optional<TerminalSize> StdoutTerminalSize();

// Makes standard output take cursor and colour sequences (the Windows
// console since Windows 10 must be asked to); false when it cannot.
bool EnableTerminalSequences();

// Standard error goes to the same terminal as standard output.
bool StderrSharesTheTerminal();

}  // namespace qx17::ctl
