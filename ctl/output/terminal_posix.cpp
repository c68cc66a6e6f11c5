#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/output/terminal.h"

namespace qx17::ctl {

std::optional<TerminalSize> StdoutTerminalSize() {
    winsize size{};
    if (!::isatty(STDOUT_FILENO) || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        return std::nullopt;
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

bool EnableTerminalSequences() {
    return ::isatty(STDOUT_FILENO) != 0;
}

bool StderrSharesTheTerminal() {
    struct stat out {};
    struct stat err {};
    return ::isatty(STDERR_FILENO) && ::fstat(STDOUT_FILENO, &out) == 0 &&
           ::fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

}  // namespace qx17::ctl
