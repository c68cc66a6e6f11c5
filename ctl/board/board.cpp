#include "ctl/board/board.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace qx17::ctl {

namespace {

using namespace std::chrono_literals;

constexpr auto kRateWindow = 10min;
constexpr auto kLeastBetweenDraws = 100ms;
constexpr auto kLookAtTheSize = 250ms;

// "1 h 03 min", "4 min 05 s", "12 s".
std::string Running(std::chrono::seconds time) {
    const long s = static_cast<long>(time.count());
    char text[48];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%ld s", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%ld min %02ld s", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld h %02ld min", s / 3600, s / 60 % 60);
    }
    return text;
}

std::string TimeOfDay(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string Rows(long n) {
    return std::to_string(n) + (n == 1 ? " row" : " rows");
}

}  // namespace

std::string StepInWords(const std::string& step) {
    static const std::string kWrite = "write-all frame ";
    if (step == "read-all") {
        return "reading";
    }
    if (step.rfind(kWrite, 0) == 0) {
        return "writing " + step.substr(kWrite.size());
    }
    if (step == "verify") {
        return "verifying";
    }
    return step;
}

bool Board::ColourWanted() {
    const char* no_colour = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return !(no_colour && *no_colour) && !(term && std::string(term) == "dumb");
}

Board::Board(Screen screen) : Progress(true, screen.lines), screen_(std::move(screen)) {
    if (!screen_.write) {
        screen_.write = [](const std::string& text) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        };
    }
}

Board::~Board() {
    drawer_ = {};  // stopped and joined before the screen is given back
    std::lock_guard lock(mutex_);
    RestoreLocked();
}

bool Board::SetState(Row& row, const std::string& state, Tone tone) {
    if (row.state == state && row.tone == tone && row.state_end.empty() && row.state_more.empty()) {
        return false;
    }
    row.since = Clock::now();
    row.state = state;
    row.state_more.clear();
    row.state_end.clear();
    row.tone = tone;
    return true;
}

void Board::Changed() {
    changed_ = true;
    wake_.notify_all();
}

void Board::Step(const std::string& port, const std::string& text) {
    std::lock_guard lock(mutex_);
    const auto found = rows_.find(port);
    if (found == rows_.end()) {
        return;
    }
    Row& row = found->second;
    const bool waiting = text == "waiting for a tracker";
    if (waiting && row.lost) {  // open again
        row.lost = false;
        Changed();
    }
    if (row.outcome_shown && waiting) {
        return;  // the last tracker's outcome stays until the next one comes
    }
    if (!waiting && row.outcome_shown) {  // the next tracker announced itself
        row.outcome_shown = false;
        row.hook_failed = false;
        row.id_before.clear();
        row.id_written.clear();
    }
    if (SetState(row, StepInWords(text), Tone::kPlain)) {
        Changed();
    }
}

void Board::Clear(const std::string&) {}

void Board::RecordStep(const std::string& port, const std::string& text) {
    std::lock_guard lock(mutex_);
    const auto found = rows_.find(port);
    if (found == rows_.end()) {
        return;
    }
    // A tracker waiting for its claim, or a port that takes none while the
    // record is away; the record's reason is told once, in the header.
    const bool tracker_waits = text.find("waits for its claim") != std::string::npos;
    if (found->second.outcome_shown && !tracker_waits) {
        return;
    }
    found->second.outcome_shown = false;
    if (SetState(found->second, "waiting for the record", Tone::kWaiting)) {
        Changed();
    }
}

void Board::Message(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!started_ || ended_ || !screen_.messages_on_board) {
        ToLines(text);
        return;
    }
    if (!drawn_size_) {
        DrawLocked();
    }
    // On the last line, kept empty, and then a new line: the part beneath
    // the board scrolls, and its last line is empty again.
    screen_.write("\033[" + std::to_string(drawn_size_ ? drawn_size_->rows : 1) + ";1H" + text +
                  "\n");
}

void Board::Finish() {
    std::lock_guard lock(mutex_);
    RestoreLocked();
}

void Board::LineStarted(const LineStart& start) {
    {
        std::lock_guard lock(mutex_);
        start_ = start;
        started_at_ = Clock::now();
        order_ = start.ports;
        for (const std::string& port : order_) {
            SetState(rows_[port], "waiting for a tracker", Tone::kPlain);
        }
        started_ = true;
        screen_.write("\033[?25l\033[H\033[2J");  // cursor hidden, screen cleared
        DrawLocked();
    }
    drawer_ = std::jthread([this](std::stop_token stop) { DrawLoop(stop); });
}

void Board::TrackerStarted(const std::string& port, const std::string& id_before) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[port];
    row.outcome_shown = false;
    row.hook_failed = false;
    row.id_before = id_before;
    row.id_written.clear();
    Changed();
}

void Board::TrackerEnded(const LogRow& ended, const LineTotals& totals) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[ended.port];
    row.id_before = ended.id_before;
    row.id_written = ended.id_written;
    row.outcome_shown = true;
    totals_ = totals;
    if (ended.outcome == "ok") {
        ++row.ok;
        SetState(row, "OK: take it out", Tone::kOk);
    } else {
        ++row.failed;
        // The outcome as the log has it, but "differs" for a read-back that
        // found other values, followed by their fields where there is room.
        SetState(row, "FAILED: " + (ended.outcome == "verify-failed" ? "differs" : ended.outcome),
                 Tone::kFailed);
        std::string fields;
        for (const std::string& name : ended.differences) {
            fields += (fields.empty() ? " (" : ", ") + name;
        }
        row.state_more = fields.empty() || ended.outcome != "verify-failed" ? "" : fields + ")";
        row.state_end = ", take it out";
    }
    recent_.push_back(Clock::now());
    Changed();
}

void Board::PortLost(const std::string& port) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[port];
    row.lost = true;
    if (!row.outcome_shown) {  // an outcome stays, told lost beside it
        row.id_before.clear();
        row.id_written.clear();
        SetState(row, "port lost", Tone::kFailed);
    }
    Changed();
}

void Board::RecordAway(const std::string&) {
    std::lock_guard lock(mutex_);
    away_since_ = std::chrono::system_clock::now();
    Changed();
}

void Board::RecordBack(double seconds_away, long rows_sent) {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        char said[96];
        std::snprintf(said, sizeof said, "record back after %.0f s", seconds_away);
        text = said;
        if (rows_sent > 0) {
            text += "; " + std::to_string(rows_sent) +
                    (rows_sent == 1 ? " waiting row sent" : " waiting rows sent");
        }
        away_since_.reset();
        Changed();
    }
    Message(text + ".");
}

void Board::RowsWaiting(long rows) {
    std::lock_guard lock(mutex_);
    rows_waiting_ = rows;
    Changed();
}

void Board::HookFailed(const std::string& port, const std::string&) {
    std::lock_guard lock(mutex_);
    ++hooks_failed_;
    rows_[port].hook_failed = true;
    Changed();
}

void Board::LineEnded(const LineEnd&) {
    drawer_ = {};
    std::lock_guard lock(mutex_);
    if (started_ && !ended_) {
        DrawLocked();
    }
    RestoreLocked();
}

BoardView Board::View() {
    std::lock_guard lock(mutex_);
    return ViewLocked(Clock::now());
}

BoardView Board::ViewLocked(Clock::time_point now) {
    BoardView view;
    const std::string hash = start_.profile_sha256.substr(0, 8);
    view.header.push_back("station " + start_.station + " | profile " + start_.profile +
                          (hash.empty() ? "" : " " + hash) + " | rows to " + start_.rows_to);
    while (!recent_.empty() && now - recent_.front() > kRateWindow) {
        recent_.pop_front();
    }
    const long failed = totals_.done - totals_.ok;
    char totals[160];
    const double window =
        std::chrono::duration<double>(std::min<Clock::duration>(now - started_at_, kRateWindow))
            .count();
    const double per_hour = window >= 1 ? static_cast<double>(recent_.size()) * 3600 / window : 0;
    if (totals_.done > 0) {
        std::snprintf(totals, sizeof totals,
                      "done %ld  ok %ld  failed %ld  yield %.1f %%  %.0f an hour (last 10 min)",
                      totals_.done, totals_.ok, failed,
                      100.0 * static_cast<double>(totals_.ok) / static_cast<double>(totals_.done),
                      per_hour);
    } else {
        std::snprintf(totals, sizeof totals, "done 0  ok 0  failed 0");
    }
    view.header.push_back(totals);
    std::string third =
        "running " + Running(std::chrono::duration_cast<std::chrono::seconds>(now - started_at_));
    if (start_.gives_ids) {
        const std::string& first = totals_.first_id;
        const std::string& last = totals_.last_id;
        third += first.empty()   ? "  no ID given yet"
                 : first == last ? "  ID given " + first
                                 : "  IDs given " + first + " to " + last;
    }
    if (hooks_failed_ > 0) {
        third += "  --on-done failed " + std::to_string(hooks_failed_) + "x";
    }
    view.header.push_back(third);
    if (away_since_) {
        view.header.push_back("record away since " + TimeOfDay(*away_since_) + ", trying again; " +
                              Rows(rows_waiting_) + " kept on disk");
        view.header_tone = Tone::kWaiting;
    }
    for (const std::string& port : order_) {
        const Row& row = rows_[port];
        PortView shown;
        shown.port = port;
        shown.state = row.state;
        shown.state_more = row.state_more;
        shown.state_end = row.state_end + (row.hook_failed ? "; --on-done failed" : "") +
                          (row.lost && row.outcome_shown ? "; port lost" : "");
        shown.tone = row.tone;
        shown.id_before = row.id_before;
        shown.id_written = row.id_written;
        shown.step_seconds =
            row.outcome_shown
                ? -1
                : static_cast<long>(
                      std::chrono::duration_cast<std::chrono::seconds>(now - row.since).count());
        shown.ok = row.ok;
        shown.failed = row.failed;
        view.ports.push_back(shown);
    }
    return view;
}

void Board::DrawLocked() {
    const Clock::time_point now = Clock::now();
    const std::optional<TerminalSize> size = screen_.size();
    const TerminalSize shown = size.value_or(TerminalSize{80, 24});
    const std::vector<std::string> lines =
        DrawBoard(ViewLocked(now), shown.columns, shown.rows, screen_.colour);
    std::string out;
    if (!drawn_size_ || drawn_size_->columns != shown.columns || drawn_size_->rows != shown.rows ||
        drawn_lines_ != lines.size()) {
        // A new size or a board of another height: the part beneath it
        // scrolls from the line after it to the bottom.
        out += "\033[" + std::to_string(lines.size() + 1) + ";" + std::to_string(shown.rows) + "r";
        if (drawn_size_ && drawn_size_->columns != shown.columns) {
            out += "\033[H\033[J";  // lines the terminal rewrapped
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += "\033[" + std::to_string(i + 1) + ";1H" + lines[i] + "\033[K";
    }
    for (std::size_t i = lines.size(); i < drawn_lines_; ++i) {
        out += "\033[" + std::to_string(i + 1) + ";1H\033[K";
    }
    out += "\033[" + std::to_string(shown.rows) + ";1H";
    screen_.write(out);
    drawn_size_ = shown;
    drawn_lines_ = lines.size();
    drawn_at_ = now;
    drawn_second_ = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(now - started_at_).count());
    changed_ = false;
}

void Board::DrawLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        wake_.wait_for(lock, stop, kLookAtTheSize, [this] { return changed_; });
        if (stop.stop_requested() || ended_) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now - drawn_at_ < kLeastBetweenDraws) {
            lock.unlock();
            std::this_thread::sleep_for(kLeastBetweenDraws - (now - drawn_at_));
            lock.lock();
            continue;
        }
        const long second = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(now - started_at_).count());
        const std::optional<TerminalSize> size = screen_.size();
        const bool resized =
            size && drawn_size_ &&
            (size->columns != drawn_size_->columns || size->rows != drawn_size_->rows);
        if (changed_ || resized || second != drawn_second_) {
            DrawLocked();
        }
    }
}

void Board::RestoreLocked() {
    if (!started_ || ended_) {
        return;
    }
    ended_ = true;
    // The whole screen scrolls again; the cursor, shown, goes to the last
    // line (empty), under the board and the messages.
    const int rows = drawn_size_ ? drawn_size_->rows : 24;
    screen_.write("\033[r\033[" + std::to_string(rows) + ";1H\033[0m\033[?25h");
}

}  // namespace qx17::ctl
