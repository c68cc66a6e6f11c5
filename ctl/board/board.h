// The station's board: while `qx17ctl line` runs on a terminal, the top of
// the screen shows a row per port (its state in words, the tracker's IDs,
// the seconds in the present step, its counts) under a header with the
// station, the profile, where the rows go and the totals; the messages
// scroll beneath it. A port's last outcome stays until its next tracker
// announces itself. Drawn again when something changed, at most ten times
// a second, and at a new terminal size; the terminal is given back as it
// was (cursor shown, attributes reset, the whole screen scrolling) when the
// line ends or the board goes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ctl/board/board_view.h"
#include "ctl/output/progress.h"
#include "ctl/output/terminal.h"

namespace qx17::ctl {

class Board : public Progress {
  public:
    using Clock = std::chrono::steady_clock;
    struct Screen {
        bool colour = true;
        // Messages show beneath the board (standard error is the same
        // terminal); otherwise they go to `lines` as plain lines.
        bool messages_on_board = true;
        std::function<std::optional<TerminalSize>()> size = StdoutTerminalSize;
        std::function<void(const std::string&)> write;  // to the terminal
        LineSink lines = Progress::ToStderr;
    };
    explicit Board(Screen screen);
    ~Board() override;

    void Step(const std::string& port, const std::string& text) override;
    void Clear(const std::string& port) override;
    void Message(const std::string& text) override;
    void Finish() override;

    void LineStarted(const LineStart& start) override;
    void TrackerStarted(const std::string& port, const std::string& id_before) override;
    void TrackerEnded(const LogRow& row, const LineTotals& totals) override;
    void RecordStep(const std::string& port, const std::string& text) override;
    void PortLost(const std::string& port) override;
    void RecordAway(const std::string& why) override;
    void RecordBack(double seconds_away, long rows_sent) override;
    void RowsWaiting(long rows) override;
    void HookFailed(const std::string& port, const std::string& why) override;
    void LineEnded(const LineEnd& end) override;

    // What the board shows now (the tests read it).
    BoardView View();

    // Whether the terminal and the environment allow colour: NO_COLOR not
    // set, TERM not "dumb".
    static bool ColourWanted();

  private:
    struct Row {
        std::string state;
        std::string state_more;
        std::string state_end;
        Tone tone = Tone::kPlain;
        bool outcome_shown = false;  // an OK or FAILED that stays until the next tracker
        bool hook_failed = false;
        bool lost = false;  // the port went away, and is not open again yet
        std::string id_before;
        std::string id_written;
        Clock::time_point since;
        long ok = 0;
        long failed = 0;
    };

    // False when the row showed that state already.
    static bool SetState(Row& row, const std::string& state, Tone tone);
    BoardView ViewLocked(Clock::time_point now);
    void Changed();
    void DrawLoop(std::stop_token stop);
    void DrawLocked();
    void RestoreLocked();

    Screen screen_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    bool started_ = false;
    bool ended_ = false;
    bool changed_ = false;
    LineStart start_;
    Clock::time_point started_at_;
    std::vector<std::string> order_;  // the ports as given
    std::map<std::string, Row> rows_;
    LineTotals totals_;
    long hooks_failed_ = 0;
    std::deque<Clock::time_point> recent_;  // trackers ended in the last ten minutes
    std::optional<std::chrono::system_clock::time_point> away_since_;
    long rows_waiting_ = 0;  // kept on the disk for the record
    // What is on the screen.
    std::optional<TerminalSize> drawn_size_;
    std::size_t drawn_lines_ = 0;
    long drawn_second_ = -1;
    Clock::time_point drawn_at_;
    std::jthread drawer_;
};

// A step of the link in the board's words: "read-all" is "reading",
// "write-all frame 2 of 4" is "writing 2 of 4", "verify" is "verifying".
std::string StepInWords(const std::string& step);

}  // namespace qx17::ctl
