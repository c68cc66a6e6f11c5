// `qx17ctl line --on-done COMMAND`: a command run after each tracker's row is
// on the disk, through the system's shell (/bin/sh -c; cmd /c on Windows),
// with the tracker in its environment (QX17_PORT, QX17_STATION,
// QX17_OUTCOME, QX17_ID_BEFORE, QX17_ID_WRITTEN, QX17_DIFFERENCES,
// QX17_SECONDS, QX17_PROFILE_SHA256) and never a password: PGPASSWORD is
// taken out of what it inherits. Its input is empty; what it prints comes
// back line by line, for the line's messages, so that it never draws over
// the board nor into --json. One that runs past its time, or when Ctrl-C is
// pressed twice, is stopped with everything it started. One implementation
// per platform.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qx17::ctl {

struct HookRun {
    std::string command;
    std::vector<std::pair<std::string, std::string>> environment;  // added to the inherited
    std::chrono::milliseconds timeout{30000};
    std::function<void(const std::string& line)> said;  // each line it printed
    std::function<bool()> stop_now;                     // checked while it runs
};

// Empty when the command ended with 0; otherwise why not ("ended with 3",
// "stopped after 30 s", "killed by signal 9", "cannot be started: ...").
std::string RunHook(const HookRun& run);

// For the implementations: hands each whole line of `text` to `run.said`
// (a line end's CR dropped, a long line cut) and keeps the rest; with
// `all`, the rest too.
void HandOnLines(std::string& text, const HookRun& run, bool all);
// Why a command still running was stopped: its time, or a second Ctrl-C.
std::string StoppedBecause(const HookRun& run, bool late);

}  // namespace qx17::ctl
