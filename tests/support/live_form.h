// Test helper: the window logic on the headless toolkit against a tracker at
// the other end of a real port, where chunks arrive in real time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "ui/headless_toolkit.h"

namespace qx17::test {

// Delivers chunks and lets the toolkit's timers follow the real clock until
// `done` holds (true) or `timeout` passes (false).
bool RunInRealTime(HeadlessToolkit& ui, const std::function<bool()>& done,
                   std::chrono::milliseconds timeout);

// How many boxes with `text` have been shown.
std::size_t CountBoxes(const HeadlessToolkit& ui, const std::string& text);

// Every box shown so far, "[text] [text] ", for failure messages.
std::string BoxTexts(const HeadlessToolkit& ui);

}  // namespace qx17::test
