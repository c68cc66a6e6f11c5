#include "tools/soak/soak_record.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "ctl/line/production_line.h"
#include "ctl/line/stop_request.h"
#include "ctl/output/progress.h"
#include "ctl/record/odbc.h"
#include "params/profile.h"
#include "tools/record_server/record_server.h"

extern char** environ;

namespace qx17::soak {

namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

constexpr const char* kIdStart = "70000000000000";

// A station process: this program again, as the part record-station.
pid_t SpawnStation(const std::string& station, const std::string& ports,
                   const std::string& connection, const std::string& outbox) {
    std::vector<std::string> args = {
        "/proc/self/exe", "--part",   "record-station", "--station", station, "--ports", ports,
        "--connection",   connection, "--outbox",       outbox};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start a station");
    }
    return pid;
}

struct RecordRows {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_port;  // ID, outcome
    std::set<std::string> known_ids;  // in a row or a claim
};

// What the record holds now; nothing while it is away.
bool ReadRecord(const std::string& connection, RecordRows& rows) {
    try {
        ctl::odbc::Connection db(connection);
        RecordRows read;
        ctl::odbc::Statement select(db,
                                    "SELECT port, id_written, outcome FROM trackers ORDER BY "
                                    "row_id");
        select.Execute();
        while (select.Fetch()) {
            read.by_port[select.Column(1).value_or("")].emplace_back(select.Column(2).value_or(""),
                                                                     select.Column(3).value_or(""));
        }
        for (const auto& id : ctl::odbc::Query(db, "SELECT id_written FROM claims")) {
            read.known_ids.insert(id.value_or(""));
        }
        rows = std::move(read);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int RecordStation(const std::string& station, const std::vector<std::string>& ports,
                  const std::string& connection, const std::string& outbox) {
    ctl::LineOptions options;
    options.ports = ports;
    options.profile = SoakProfile();
    options.profile_text = SerializeProfile(options.profile);
    options.record = connection;
    options.station = station;
    options.outbox = outbox;
    options.id_start = kIdStart;
    options.times = {milliseconds(300), milliseconds(600), milliseconds(300), milliseconds(600), 1};
    options.reopen_every = milliseconds(50);
    ctl::InstallStopHandlers();
    ctl::Progress progress(false);
    return ctl::RunProductionLine(options, progress);
}

Report SoakRecord(int trackers, unsigned seed) {
    ConfigFolder config;
    tools::RecordServer server;
    const std::string outbox_a = (config.Path() / "a.outbox").string();
    const std::string outbox_b = (config.Path() / "b.outbox").string();
    std::array<SoakPort, 4> ports;
    int next_id = 0;
    const auto fresh_id = [&] { return "5" + std::to_string(1000000000000LL + next_id++); };
    for (std::size_t p = 0; p < ports.size(); ++p) {
        ports[p].com = static_cast<int>(p) + 1;
        ports[p].tracker = PlugTracker(config, ports[p].com, fresh_id());
    }
    pid_t a = SpawnStation("A", "COM1,COM2", server.Connection(), outbox_a);
    const pid_t b = SpawnStation("B", "COM3,COM4", server.Connection(), outbox_b);

    std::mt19937 random(seed);
    FaultCounts tried;
    int announced = 0, checked = 0, wrong = 0, missing = 0, kills = 0, restarts = 0;
    std::map<std::string, int> outcomes;
    std::set<std::string> ids;
    int duplicate_ids = 0;
    RecordRows rows;
    const Clock::time_point deadline = Clock::now() + std::chrono::minutes(15);
    while (checked < trackers && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        if (!ReadRecord(server.Connection(), rows)) {
            continue;
        }
        for (SoakPort& port : ports) {
            const auto& mine = rows.by_port["COM" + std::to_string(port.com)];
            while (port.waiting && mine.size() > port.rows_seen) {
                const auto& [id, outcome] = mine[port.rows_seen++];
                port.waiting = false;
                ++checked;
                ++outcomes[outcome];
                if (!id.empty() && !ids.insert(id).second) {
                    ++duplicate_ids;
                }
                // The tracker holds an ID of the sequence only if the record
                // knows it.
                ImageBytes memory{};
                const sim::Bytes held = port.tracker->Memory();
                std::copy_n(held.begin(), std::min(held.size(), memory.size()), memory.begin());
                const std::string held_id = ImageToFields(memory).ID;
                if (held_id.rfind("7", 0) == 0 && rows.known_ids.count(held_id) == 0) {
                    ++missing;
                }
                if (outcome == "ok" && !port.pulled) {
                    FieldValues expected = SoakProfile();
                    expected.ID = id;
                    if (ImageToFields(memory) != expected || port.fault == Fault::kFlip) {
                        ++wrong;
                    }
                }
                if (port.pulled) {
                    port.tracker.reset();
                    port.tracker = PlugTracker(config, port.com, fresh_id());
                    port.pulled = false;
                }
            }
            PullIfDue(port);
            if (!port.waiting && announced < trackers) {
                AnnounceNext(port, fresh_id(), random, tried);
                ++announced;
            }
        }
        if (kills == 0 && announced >= trackers / 3) {
            // Station A killed in the middle of its trackers, and started
            // again: its claims become interrupted rows; a tracker it had not
            // claimed yet announces itself again.
            ::kill(a, SIGKILL);
            ::waitpid(a, nullptr, 0);
            ++kills;
            std::array<std::size_t, 2> killed_at{};
            for (std::size_t p = 0; p < 2; ++p) {
                killed_at[p] = ports[p].tracker->LogSize();
            }
            a = SpawnStation("A", "COM1,COM2", server.Connection(), outbox_a);
            std::this_thread::sleep_for(1s);
            if (ReadRecord(server.Connection(), rows)) {
                for (std::size_t p = 0; p < 2; ++p) {
                    SoakPort& port = ports[p];
                    const bool answered =
                        port.tracker->Count(sim::Is(sim::Event::kHandshake), killed_at[p]) > 0;
                    if (port.waiting &&
                        rows.by_port["COM" + std::to_string(port.com)].size() == port.rows_seen &&
                        !port.pulled && !answered) {
                        port.tracker->Announce();
                    }
                }
            }
        }
        if (restarts == 0 && announced >= 2 * trackers / 3) {
            server.Halt();
            std::this_thread::sleep_for(3s);
            server.Resume();
            ++restarts;
        }
    }
    for (const pid_t station : {a, b}) {
        ::kill(station, SIGTERM);
        ::waitpid(station, nullptr, 0);
    }
    ReadRecord(server.Connection(), rows);
    std::size_t rows_in_record = 0;
    for (const auto& [port, list] : rows.by_port) {
        rows_in_record += list.size();
    }

    std::string seen;
    for (const auto& [outcome, count] : outcomes) {
        seen += (seen.empty() ? "" : " ") + outcome + ":" + std::to_string(count);
    }
    const int lost = announced - checked;
    Report report;
    report.part = "shared record, 2 stations";
    report.tried = std::to_string(announced) + " trackers (" + tried.Text(true) + "), " +
                   std::to_string(kills) + " station killed, " + std::to_string(restarts) +
                   " server restart";
    report.saw = std::to_string(rows_in_record) + " rows (" + seen + "), " +
                 std::to_string(duplicate_ids) + " IDs twice, " + std::to_string(lost) +
                 " rows lost, " + std::to_string(missing) + " held IDs not in the record, " +
                 std::to_string(wrong) + " not matching memory";
    report.passed = checked == trackers && lost == 0 && duplicate_ids == 0 && missing == 0 &&
                    wrong == 0 && static_cast<int>(rows_in_record) == trackers;
    return report;
}

}  // namespace qx17::soak
