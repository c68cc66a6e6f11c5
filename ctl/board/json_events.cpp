#include "ctl/board/json_events.h"

#include <nlohmann/json.hpp>

#include "ctl/line/line_log.h"

namespace qx17::ctl {

namespace {

using Object = nlohmann::ordered_json;

Object Event(const char* name) {
    Object event;
    event["event"] = name;
    event["time"] = UtcTimestamp(std::chrono::system_clock::now());
    return event;
}

}  // namespace

void JsonEvents::ToStdout(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

JsonEvents::JsonEvents(Write write, LineSink lines)
    : Progress(false, std::move(lines)), write_(std::move(write)) {}

template <typename Json>
void JsonEvents::Emit(Json& event) {
    // Text that is not UTF-8 (a port's name, a tracker's ID) is replaced,
    // never a reason to stop the line.
    const std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(mutex_);
    write_(line + "\n");
}

void JsonEvents::LineStarted(const LineStart& start) {
    Object event = Event("line-start");
    event["format"] = kFormat;
    event["station"] = start.station;
    event["ports"] = start.ports;
    event["profile"] = start.profile;
    event["profile_sha256"] = start.profile_sha256;
    event["rows_to"] = start.rows_to;
    Emit(event);
}

void JsonEvents::TrackerStarted(const std::string& port, const std::string& id_before) {
    Object event = Event("tracker-start");
    event["port"] = port;
    event["id_before"] = id_before;
    Emit(event);
}

void JsonEvents::TrackerEnded(const LogRow& row, const LineTotals&) {
    Object event = Event("tracker-end");
    event["port"] = row.port;
    event["id_before"] = row.id_before;
    event["id_written"] = row.id_written;
    event["outcome"] = row.outcome;
    event["differences"] = row.differences;
    event["seconds"] = row.seconds ? Object(*row.seconds) : Object();
    event["started"] = UtcTimestamp(row.time);
    Emit(event);
}

void JsonEvents::PortLost(const std::string& port) {
    Object event = Event("port-lost");
    event["port"] = port;
    Emit(event);
}

void JsonEvents::RecordAway(const std::string& why) {
    Object event = Event("record-away");
    event["why"] = why;
    Emit(event);
}

void JsonEvents::RecordBack(double seconds_away, long) {
    Object event = Event("record-back");
    event["seconds_away"] = seconds_away;
    Emit(event);
}

void JsonEvents::HookFailed(const std::string& port, const std::string& why) {
    Object event = Event("hook-failed");
    event["port"] = port;
    event["why"] = why;
    Emit(event);
}

void JsonEvents::LineEnded(const LineEnd& end) {
    Object event = Event("line-end");
    event["done"] = end.done;
    event["ok"] = end.ok;
    event["failed"] = end.done - end.ok;
    event["not_written"] = end.not_written;
    event["hooks_failed"] = end.hooks_failed;
    event["outcomes"] = end.outcomes;
    event["first_id"] = end.first_id;
    event["last_id"] = end.last_id;
    event["seconds"] = end.seconds;
    event["exit_code"] = end.exit_code;
    Emit(event);
}

}  // namespace qx17::ctl
