// What the commands on one tracker share: the PORT argument and the link's
// options, the check of a tracker ID's digits, and running the work on the
// opened link with its failures turned into exit codes.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>

#include "ctl/commands/commands.h"

namespace qx17::ctl {

// The PORT argument on `command`, bound to `target`.
void AddPortArgument(CLI::App& command, TrackerTarget& target);

// --retries on `command`, bound to `times`.
void AddLinkOptions(CLI::App& command, LinkTimes& times);

// CLI11's check of a tracker ID: empty when `text` is one.
std::string CheckIdDigits(const std::string& text);

// --id DIGITS|profile on `command`, bound to `id`: the ID a write gives.
void AddIdOption(CLI::App& command, std::string& id);
// --id's text as a choice: "profile", the digits of a tracker ID, or
// nothing, which keeps the tracker's own.
IdChoice ParseIdChoice(const std::string& text);

// Runs `work` on the opened link and turns what can go wrong into the exit
// code and a message naming the port.
int OnTracker(const TrackerTarget& target, Progress& progress,
              const std::function<int(TrackerLink&)>& work);

// Runs `command` with Ctrl-C handled and the progress shown as it suits
// stdout (a terminal or not).
int WithProgress(const std::function<int(Progress&)>& command,
                 std::unique_ptr<Progress> progress = nullptr);

}  // namespace qx17::ctl
