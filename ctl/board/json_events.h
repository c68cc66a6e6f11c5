// `qx17ctl line --json`: the line's events as JSON Lines on standard output,
// one object a line, each flushed at once, for the factory's machines. Every
// object has "event" and "time" (UTC); the first, "line-start", has
// "format", the version of these objects' fields, which never change
// without a new version. Messages and steps stay on standard error.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "ctl/output/progress.h"

namespace qx17::ctl {

class JsonEvents : public Progress {
  public:
    static constexpr int kFormat = 1;
    using Write = std::function<void(const std::string& line)>;
    static void ToStdout(const std::string& line);

    explicit JsonEvents(Write write = ToStdout, LineSink lines = Progress::ToStderr);

    void LineStarted(const LineStart& start) override;
    void TrackerStarted(const std::string& port, const std::string& id_before) override;
    void TrackerEnded(const LogRow& row, const LineTotals& totals) override;
    void PortLost(const std::string& port) override;
    void RecordAway(const std::string& why) override;
    void RecordBack(double seconds_away, long rows_sent) override;
    void HookFailed(const std::string& port, const std::string& why) override;
    void LineEnded(const LineEnd& end) override;

  private:
    template <typename Json>
    void Emit(Json& event);

    Write write_;
    std::mutex mutex_;
};

}  // namespace qx17::ctl
