// The shared record on a thread of its own. The line's threads hand it
// their calls and wait for the answer as long as the record takes (its
// time-outs end a call on a dead network within seconds), unless the line
// is stopped at once (a second Ctrl-C): then they stop waiting at once, a
// claim counts as not made (if it was made after all, its ID stays used and
// it becomes an interrupted row), and a row is kept on the station's disk
// for the next start. So a record that does not answer never holds the
// line, its other ports or its display.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "ctl/line/line_record.h"
#include "ctl/record/shared_record.h"

namespace qx17::ctl {

class RecordWorker final : public LineRecord {
  public:
    // Opens the record on its thread. Null with `error` and `failure` when
    // it cannot, or when the line is stopped at once meanwhile.
    static std::unique_ptr<RecordWorker> Open(const RecordOptions& options, std::string& error,
                                              RecordFailure& failure);
    // Waits for the thread, unless the line was stopped at once and a call
    // still holds it: it is left to end by itself (RecordThreadsLeft).
    ~RecordWorker() override;

    bool GiveIds(const std::string& start, bool new_series, std::string& error) override;
    bool HasFreeIds(std::size_t n) override;
    ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) override;
    bool Append(const LogRow& row, const std::string& claim, std::string& error) override;
    bool Reachable(std::string& why) override;
    bool Finish(std::string& error) override;
    long RowsWaiting() override;

    struct State;

  private:
    RecordWorker(std::shared_ptr<State> state, std::thread thread);
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// The record threads still in a call that the program stopped waiting for:
// while there are any, the program ends without its exit's clean-up, which
// the database driver under them may still use.
int RecordThreadsLeft();

}  // namespace qx17::ctl
