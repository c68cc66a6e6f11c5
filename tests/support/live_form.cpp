#include "tests/support/live_form.h"

namespace qx17::test {

bool RunInRealTime(HeadlessToolkit& ui, const std::function<bool()>& done,
                   std::chrono::milliseconds timeout) {
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    for (;;) {
        ui.PumpNotices([&] { return done(); }, std::chrono::milliseconds(10));
        const auto now = std::chrono::steady_clock::now();
        ui.AdvanceTime(std::chrono::duration_cast<std::chrono::milliseconds>(now - last));
        last = now;
        if (done()) {
            return true;
        }
        if (now - start > timeout) {
            return false;
        }
    }
}

std::size_t CountBoxes(const HeadlessToolkit& ui, const std::string& text) {
    std::size_t count = 0;
    for (const BoxRecord& box : ui.Boxes()) {
        if (box.text == text) {
            ++count;
        }
    }
    return count;
}

std::string BoxTexts(const HeadlessToolkit& ui) {
    std::string texts;
    for (const BoxRecord& box : ui.Boxes()) {
        texts += "[" + box.text + "] ";
    }
    return texts;
}

}  // namespace qx17::test
