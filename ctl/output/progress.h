// What qx17ctl tells its user while it works. On a terminal, one progress
// line on stdout, redrawn in place with the step of every port ("COM3:
// write-all frame 2 of 4"); otherwise each step as a plain line on stderr,
// so stdout keeps only the results. Messages always go to stderr.
//
// The production line also tells what happens to each tracker and to the
// record as events; this class keeps to its lines and lets them pass, and
// the station's board and the JSON events take them (ctl/board/).
//
// Every member function may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ctl/line/line_record.h"

namespace qx17::ctl {

// The line as it starts.
struct LineStart {
    std::string station;  // empty without a shared record
    std::vector<std::string> ports;
    std::string profile;         // the profile's file name
    std::string profile_sha256;  // of its bytes, in hex
    std::string rows_to;         // the log's path, or the record's server and database
    bool gives_ids = false;
};

// The line's totals so far.
struct LineTotals {
    long done = 0;  // trackers with a row
    long ok = 0;
    std::string first_id;  // the IDs given out, lowest and highest
    std::string last_id;
};

// The line as it ends.
struct LineEnd : LineTotals {
    long not_written = 0;  // answered, then not written (the line stopped)
    long hooks_failed = 0;
    std::map<std::string, long> outcomes;
    double seconds = 0;
    int exit_code = 0;
    std::string summary;  // the summary line, in words
};

class Progress {
  public:
    // Where the lines for stderr go (the tests keep them).
    using LineSink = std::function<void(const std::string& line)>;
    static void ToStderr(const std::string& line);

    // `terminal`: stdout is a terminal.
    explicit Progress(bool terminal, LineSink lines = ToStderr);
    virtual ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // What `port` is doing now.
    virtual void Step(const std::string& port, const std::string& text);
    // `port` is idle again: its part of the progress line goes.
    virtual void Clear(const std::string& port);
    // A line on stderr (the progress line is cleared for it and drawn again).
    virtual void Message(const std::string& text);

    // The progress line is cleared before results go to stdout.
    virtual void Finish();

    // The production line's events. The line says each in words too, by
    // Message, so these need nothing here.
    virtual void LineStarted(const LineStart&) {}
    // A tracker announced itself on `port` and was read.
    virtual void TrackerStarted(const std::string& /*port*/, const std::string& /*id_before*/) {}
    // A tracker's row is durable; `totals` count it.
    virtual void TrackerEnded(const LogRow& /*row*/, const LineTotals& /*totals*/) {}
    // `port` waits for the record: for its tracker's claim, or to take a
    // tracker at all. `text` says so, with the record's reason.
    virtual void RecordStep(const std::string& port, const std::string& text) { Step(port, text); }
    // The port is gone; it is opened again when it is back.
    virtual void PortLost(const std::string& /*port*/) {}
    // The record cannot be reached since now; it is back, and `rows_sent`
    // of the rows kept on the disk meanwhile were sent to it.
    virtual void RecordAway(const std::string& /*why*/) {}
    virtual void RecordBack(double /*seconds_away*/, long /*rows_sent*/) {}
    // The rows kept on this station's disk for the record, now.
    virtual void RowsWaiting(long /*rows*/) {}
    // The --on-done command for the tracker on `port` failed or was stopped.
    virtual void HookFailed(const std::string& /*port*/, const std::string& /*why*/) {}
    virtual void LineEnded(const LineEnd&) {}

  protected:
    // Messages that a subclass sends on.
    void ToLines(const std::string& text) { lines_(text); }

  private:
    void EraseLine();
    void DrawLine();

    const bool terminal_;
    const LineSink lines_;
    std::mutex mutex_;
    std::map<std::string, std::string> steps_;
    bool drawn_ = false;
};

// True when stdout is a terminal.
bool StdoutIsTerminal();

// True when stdout is a terminal that takes the sequences the progress line
// is redrawn with (on Windows, switched on here); elsewhere the progress
// goes line by line.
bool StdoutTakesSequences();

}  // namespace qx17::ctl
