#include "ctl/board/done_hook.h"

#include <algorithm>

namespace qx17::ctl {

namespace {

constexpr std::size_t kLineMost = 300;  // of a line it printed, the rest cut

}  // namespace

void HandOnLines(std::string& text, const HookRun& run, bool all) {
    for (std::size_t end; (end = text.find('\n')) != std::string::npos;) {
        std::string line = text.substr(0, std::min(end, kLineMost));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (run.said) {
            run.said(line);
        }
        text.erase(0, end + 1);
    }
    if (all && !text.empty() && run.said) {
        run.said(text.substr(0, kLineMost));
    }
    if (all || text.size() > 4 * kLineMost) {
        text.clear();  // a line without end, too long to wait for
    }
}

std::string StoppedBecause(const HookRun& run, bool late) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(run.timeout);
    return late ? "stopped after " + std::to_string(seconds.count()) + " s" : "stopped (Ctrl-C)";
}

}  // namespace qx17::ctl
