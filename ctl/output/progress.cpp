#include "ctl/output/progress.h"

#include <cstdio>

#include "ctl/output/terminal.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qx17::ctl {

bool StdoutIsTerminal() {
#ifdef _WIN32
    return ::_isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}

bool StdoutTakesSequences() {
    return StdoutIsTerminal() && EnableTerminalSequences();
}

void Progress::ToStderr(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

Progress::Progress(bool terminal, LineSink lines) : terminal_(terminal), lines_(std::move(lines)) {}

Progress::~Progress() {
    Finish();
}

void Progress::EraseLine() {
    if (drawn_) {
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
        drawn_ = false;
    }
}

void Progress::DrawLine() {
    if (steps_.empty()) {
        return;
    }
    std::string line;
    for (const auto& [port, text] : steps_) {
        if (!line.empty()) {
            line += " | ";
        }
        line += port + ": " + text;
    }
    std::fputs(("\r\033[K" + line).c_str(), stdout);
    std::fflush(stdout);
    drawn_ = true;
}

void Progress::Step(const std::string& port, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!terminal_) {
        lines_(port + ": " + text);
        return;
    }
    steps_[port] = text;
    DrawLine();
}

void Progress::Clear(const std::string& port) {
    std::lock_guard lock(mutex_);
    if (steps_.erase(port) != 0 && terminal_) {
        EraseLine();
        DrawLine();
    }
}

void Progress::Message(const std::string& text) {
    std::lock_guard lock(mutex_);
    EraseLine();
    lines_(text);
    if (terminal_) {
        DrawLine();
    }
}

void Progress::Finish() {
    std::lock_guard lock(mutex_);
    steps_.clear();
    EraseLine();
}

}  // namespace qx17::ctl
