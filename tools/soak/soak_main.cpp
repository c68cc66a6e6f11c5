// make soak: the tool under faults for a while, in one table of what was
// tried and what was seen. Each part runs on its own (--part NAME) so that
// scripts/soak.sh can run parts side by side and in the sanitizer build.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/soak/soak_line.h"
#include "tools/soak/soak_window.h"

int main(int argc, char** argv) {
    std::string part;
    unsigned seed = 1;
    int count = 0;  // 0: the part's own number of rounds
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--part") == 0) {
            part = argv[i + 1];
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "--count") == 0) {
            count = std::atoi(argv[i + 1]);
        }
    }
    using namespace qx17::soak;
    const auto rounds = [count](int normal) { return count > 0 ? count : normal; };
    Report report;
    if (part == "window") {
        report = SoakWindow(rounds(1000), seed);
    } else if (part == "line") {
        report = SoakLine(rounds(1000), seed);
    } else if (part == "kill-saves") {
        report = SoakKilledSaves(rounds(1000), seed);
    } else if (part == "kill-log") {
        report = SoakKilledLog(rounds(1000), seed);
    } else if (part == "hangups") {
        report = SoakHangups(rounds(100));
    } else {
        std::fprintf(
            stderr,
            "usage: soak --part window|line|kill-saves|kill-log|hangups [--seed N] [--count N]\n");
        return 2;
    }
    Print(report);
    return report.passed ? 0 : 1;
}
