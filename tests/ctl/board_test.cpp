// The station's board: what it draws at a terminal's size, and how the
// line's events change a port's row and the header.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

#include "ctl/board/board.h"
#include "ctl/board/board_view.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

BoardView Sixteen() {
    BoardView view;
    view.header = {"station S1 | profile customer.reg 1a2b3c4d | rows to log line.csv",
                   "done 3  ok 2  failed 1", "running 12 s"};
    for (int i = 1; i <= 16; ++i) {
        PortView port;
        port.port = "COM" + std::to_string(i);
        port.state = "waiting for a tracker";
        port.step_seconds = 3;
        view.ports.push_back(port);
    }
    view.ports[0].state = "OK: take it out";
    view.ports[0].tone = Tone::kOk;
    view.ports[1].state = "FAILED: differs";
    view.ports[1].state_more = " (APN, IP, Port, GPRS_TM, SMS_INT)";
    view.ports[1].state_end = ", take it out";
    view.ports[1].tone = Tone::kFailed;
    view.ports[1].id_before = "35712001234567";
    view.ports[1].id_written = "35712000000002";
    return view;
}

TEST(BoardDrawing, FitsItsTerminalOrSaysInOneLineThatItCannot) {
    const struct {
        const char* name;
        int columns, rows;
        bool colour;
        std::size_t lines;  // 1: too small
    } cases[] = {
        {"16 ports at 80x24", 80, 24, false, 20},
        {"in colour", 80, 24, true, 20},
        {"wide", 200, 50, false, 20},
        {"too few rows (none left for messages)", 80, 20, false, 1},
        {"too narrow", 60, 24, false, 1},
        {"tiny", 12, 4, false, 1},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = DrawBoard(Sixteen(), c.columns, c.rows, c.colour);
        ASSERT_EQ(lines.size(), c.lines) << c.name;
        std::string all;
        for (const std::string& line : lines) {
            EXPECT_LE(DisplayWidth(line), static_cast<std::size_t>(c.columns)) << c.name << line;
            all += line + "\n";
        }
        EXPECT_EQ(all.find('\033') != std::string::npos, c.colour && c.lines > 1) << c.name;
        if (c.colour) {
            EXPECT_THAT(lines[4], HasSubstr("\033[1;32mOK: take it out")) << "green";
            EXPECT_THAT(lines[5], HasSubstr("\033[1;31mFAILED: ")) << "red";
        }
        if (c.lines == 1) {
            EXPECT_THAT(lines[0], testing::StartsWith("Too small")) << c.name;
            continue;
        }
        // The failed port's row: its state cut where it must be, its end
        // and its IDs whole.
        EXPECT_TRUE(std::regex_search(lines[5],
                                      std::regex("FAILED: differs( \\(APN[^~]*\\))?, take it out.* "
                                                 "35712001234567 35712000000002")))
            << c.name << "\n"
            << lines[5];
        EXPECT_EQ(lines[5].find("SMS_INT), take it out") != std::string::npos, c.columns > 100)
            << c.name << ": the fields where they fit whole";
        EXPECT_THAT(lines[19], HasSubstr("COM16")) << c.name;
    }
    EXPECT_EQ(FitTo("Zähler über", 6), "Zähle~");
    EXPECT_EQ(DisplayWidth("\033[1;31mFAILED\033[0m"), 6u);
}

// A board on a screen of its own: what it wrote, at a fixed size.
struct Screen {
    std::mutex mutex;
    std::string written;
    int draws = 0;

    Board::Screen For(bool colour = false) {
        Board::Screen screen;
        screen.colour = colour;
        screen.size = [] { return TerminalSize{100, 30}; };
        screen.write = [this](const std::string& text) {
            std::lock_guard lock(mutex);
            written += text;
            draws += text.find("\033[1;1H") != std::string::npos ? 1 : 0;
        };
        screen.lines = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            written += "[stderr]" + line + "\n";
        };
        return screen;
    }
    std::string Written() {
        std::lock_guard lock(mutex);
        return written;
    }
};

LogRow Ended(const std::string& port, const std::string& outcome) {
    LogRow row;
    row.port = port;
    row.id_before = "35712001234567";
    row.id_written = "35712000000005";
    row.outcome = outcome;
    return row;
}

TEST(Board, APortsOutcomeStaysUntilItsNextTrackerAndTheRecordIsToldOnce) {
    Screen screen;
    Board board(screen.For());
    LineStart start;
    start.station = "S1";
    start.ports = {"COM2", "COM1"};
    start.profile = "customer.reg";
    start.profile_sha256 = "1a2b3c4d5e6f";
    start.rows_to = "record: database qx17 on db:5432";
    start.gives_ids = true;
    board.LineStarted(start);
    const auto state = [&](std::size_t port) { return board.View().ports.at(port).state; };
    const auto end = [&](std::size_t port) { return board.View().ports.at(port).state_end; };

    const struct {
        std::function<void()> event;
        std::size_t port;
        std::string state;
        std::string end;
    } steps[] = {
        {[&] { board.Step("COM2", "read-all"); }, 0, "reading", ""},
        {[&] { board.TrackerStarted("COM2", "35712001234567"); }, 0, "reading", ""},
        {[&] { board.Step("COM2", "write-all frame 2 of 4"); }, 0, "writing 2 of 4", ""},
        {[&] { board.Step("COM2", "verify"); }, 0, "verifying", ""},
        {[&] {
             board.TrackerEnded(Ended("COM2", "refused"), {1, 0, "", ""});
         },
         0, "FAILED: refused", ", take it out"},
        {[&] { board.Step("COM2", "waiting for a tracker"); }, 0, "FAILED: refused",
         ", take it out"},
        {[&] { board.HookFailed("COM2", "exit 3"); }, 0, "FAILED: refused",
         ", take it out; --on-done failed"},
        {[&] { board.Step("COM2", "read-all"); }, 0, "reading", ""},
        {[&] {
             board.TrackerEnded(Ended("COM2", "ok"), {2, 1, "35712000000005", "35712000000005"});
         },
         0, "OK: take it out", ""},
        {[&] { board.PortLost("COM2"); }, 0, "OK: take it out", "; port lost"},
        {[&] { board.Step("COM2", "waiting for a tracker"); }, 0, "OK: take it out", ""},
        {[&] {
             board.Step("COM2", "read-all");
             board.PortLost("COM2");
         },
         0, "port lost", ""},
        {[&] {
             board.RecordAway("server closed the connection unexpectedly");
             board.RowsWaiting(2);
             for (int i = 0; i < 230; ++i) {
                 board.RecordStep("COM1",
                                  "the record is away (server closed the connection "
                                  "unexpectedly): tracker 1 waits for its claim");
             }
         },
         1, "waiting for the record", ""},
    };
    for (const auto& step : steps) {
        step.event();
        EXPECT_EQ(state(step.port), step.state);
        EXPECT_EQ(end(step.port), step.end) << step.state;
    }
    const BoardView away = board.View();
    EXPECT_EQ(away.ports[0].failed, 1);
    EXPECT_EQ(away.ports[0].ok, 1);
    EXPECT_THAT(away.header[0], HasSubstr("station S1 | profile customer.reg 1a2b3c4d | rows to "
                                          "record: database qx17 on db:5432"));
    EXPECT_THAT(away.header[1], HasSubstr("done 2  ok 1  failed 1  yield 50.0 %"));
    EXPECT_THAT(away.header[2], HasSubstr("ID given 35712000000005"));
    EXPECT_THAT(away.header[2], HasSubstr("--on-done failed 1x"));
    EXPECT_THAT(away.header.back(), HasSubstr("record away since "));
    EXPECT_THAT(away.header.back(), HasSubstr(", trying again; 2 rows kept on disk"));
    EXPECT_EQ(away.header_tone, Tone::kWaiting);

    board.RecordBack(41, 2);
    EXPECT_THAT(board.View().header.back(), Not(HasSubstr("record away")));
    board.Message("line: 2 trackers");
    board.LineEnded({});
    const std::string written = screen.Written();
    EXPECT_EQ(written.find("server closed"), std::string::npos)
        << "the driver's reason is never drawn on the ports' rows";
    EXPECT_THAT(written, HasSubstr("record back after 41 s; 2 waiting rows sent.\n"));
    EXPECT_THAT(written, HasSubstr("line: 2 trackers\n"));
    EXPECT_THAT(written.substr(written.rfind("line: 2 trackers")),
                HasSubstr("\033[r\033[30;1H\033[0m\033[?25h"))
        << "the terminal given back after the summary";
    board.Message("after the end");
    EXPECT_THAT(screen.Written(), HasSubstr("[stderr]after the end"));
}

// `value` null: unset (on Windows an empty value unsets too).
void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}

TEST(Board, ColourOnlyWhereTheTerminalAndTheUserWantIt) {
    const struct {
        const char* no_colour;
        const char* term;
        bool colour;
    } cases[] = {{nullptr, "xterm-256color", true},
                 {"1", "xterm-256color", false},
                 {"", "xterm", true},  // set but empty: not asked for
                 {nullptr, "dumb", false}};
    for (const auto& c : cases) {
        SetEnv("NO_COLOR", c.no_colour);
        SetEnv("TERM", c.term);
        EXPECT_EQ(Board::ColourWanted(), c.colour) << c.term;
    }
    SetEnv("NO_COLOR", nullptr);
}

TEST(Board, DrawsAtMostTenTimesASecond) {
    Screen screen;
    Board board(screen.For(true));
    LineStart start;
    start.ports = {"COM1"};
    board.LineStarted(start);
    const auto until = std::chrono::steady_clock::now() + 1s;
    int steps = 0;
    while (std::chrono::steady_clock::now() < until) {
        board.Step("COM1", "write-all frame " + std::to_string(++steps % 4 + 1) + " of 4");
        std::this_thread::sleep_for(1ms);
    }
    board.LineEnded({});
    EXPECT_GT(steps, 100);
    EXPECT_LE(screen.draws, 1 + 11 + 1) << "the first, at most 11 in the second, the last";
    EXPECT_GE(screen.draws, 2);
}

}  // namespace
}  // namespace qx17::ctl
