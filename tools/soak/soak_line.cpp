// qx17ctl's production line in this process against four virtual trackers
// linked as COM1 to COM4, with short time-outs; and processes killed in the
// middle of writing the settings file or the log.
#include "tools/soak/soak_line.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "ctl/line/line_log.h"
#include "ctl/line/production_line.h"
#include "ctl/output/progress.h"
#include "params/ireg.h"
#include "params/reg_file_format.h"
#include "params/registry_file_store.h"

namespace qx17::soak {

namespace {

using sim::Event;
using sim::Is;
using std::chrono::milliseconds;

std::vector<std::vector<std::string>> LogRows(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);  // the header
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(cell);
        }
        if (!line.empty() && line.back() != '\r') {
            rows.push_back(fields);
        }
    }
    return rows;
}

}  // namespace

Report SoakLine(int trackers, unsigned seed) {
    ConfigFolder config;
    const std::filesystem::path log = config.Path() / "line.csv";
    std::array<SoakPort, 4> ports;
    int next_id = 0;
    const auto fresh_id = [&] { return "5" + std::to_string(1000000000000LL + next_id++); };
    for (std::size_t p = 0; p < ports.size(); ++p) {
        ports[p].com = static_cast<int>(p) + 1;
        ports[p].tracker = PlugTracker(config, ports[p].com, fresh_id());
    }

    ctl::LineOptions options;
    for (const SoakPort& port : ports) {
        options.ports.push_back("COM" + std::to_string(port.com));
    }
    options.profile = SoakProfile();
    options.log = log;
    options.count = trackers;
    options.id_start = "70000000000000";
    options.times = {milliseconds(300), milliseconds(600), milliseconds(300), milliseconds(600), 1};
    options.reopen_every = milliseconds(50);
    ctl::Progress progress(false, [](const std::string&) {});
    ctl::ClearStopRequest();
    std::future<int> line =
        std::async(std::launch::async, [&] { return ctl::RunProductionLine(options, progress); });

    std::mt19937 random(seed);
    FaultCounts tried;
    int announced = 0, checked = 0, wrong = 0;
    std::map<std::string, int> outcomes;
    std::set<std::string> ids;
    int duplicate_ids = 0;
    long resident_baseline = -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::minutes(10);
    for (bool finished = false; !finished && checked < trackers && Clock::now() < deadline;) {
        // Once the line has ended, this pass still takes its last rows.
        finished = line.wait_for(milliseconds(5)) == std::future_status::ready;
        const auto rows = LogRows(log);
        for (SoakPort& port : ports) {
            const std::string name = "COM" + std::to_string(port.com);
            std::size_t mine = 0;
            const std::vector<std::string>* last = nullptr;
            for (const auto& row : rows) {
                if (row.size() >= 5 && row[1] == name) {
                    ++mine;
                    last = &row;
                }
            }
            if (port.waiting && mine > port.rows_seen) {
                // The tracker's row: its outcome against its memory.
                port.rows_seen = mine;
                port.waiting = false;
                ++checked;
                const std::string& outcome = (*last)[4];
                ++outcomes[outcome];
                if (!(*last)[3].empty() && !ids.insert((*last)[3]).second) {
                    ++duplicate_ids;
                }
                if (outcome == "ok" && !port.pulled) {
                    FieldValues expected = SoakProfile();
                    expected.ID = (*last)[3];
                    ImageBytes memory{};
                    const sim::Bytes held = port.tracker->Memory();
                    std::copy_n(held.begin(), std::min(held.size(), memory.size()), memory.begin());
                    if (ImageToFields(memory) != expected) {
                        ++wrong;
                    }
                }
                if (outcome == "ok" && (port.fault == Fault::kFlip || port.pulled)) {
                    ++wrong;  // a flipped bit or a pulled tracker is never "ok"
                }
                if (port.pulled) {
                    port.tracker.reset();
                    port.tracker = PlugTracker(config, port.com, fresh_id());
                    port.pulled = false;
                }
            }
            PullIfDue(port);
            if (!port.waiting && announced < trackers) {
                if (announced == BaselineRound(trackers) && resident_baseline < 0) {
                    resident_baseline = ResidentKib();
                }
                // The next tracker: factory memory, an ID of its own, a fault.
                AnnounceNext(port, fresh_id(), random, tried);
                ++announced;
            }
        }
    }
    ctl::RequestStop(ctl::StopLevel::kNow);
    const int code = line.get();
    (void)code;
    const long resident_end = ResidentKib();

    std::string seen;
    for (const auto& [outcome, count] : outcomes) {
        seen += (seen.empty() ? "" : " ") + outcome + ":" + std::to_string(count);
    }
    Report report;
    report.part = "qx17ctl line, 4 ports";
    report.tried = std::to_string(announced) + " trackers (" + tried.Text(true) + ")";
    report.saw = std::to_string(checked) + " rows (" + seen + "), " + std::to_string(wrong) +
                 " not matching memory, " + std::to_string(duplicate_ids) + " IDs twice; RSS " +
                 std::to_string(resident_baseline) + " -> " + std::to_string(resident_end) + " KiB";
    report.passed = checked == trackers && wrong == 0 && duplicate_ids == 0 &&
                    resident_end - resident_baseline <= 1024;
    return report;
}

namespace {

// Kills a child doing `work` (for ever) after a random moment, `rounds`
// times; `intact` checks the file after each kill.
int KillRounds(int rounds, unsigned seed, const std::function<void()>& work,
               const std::function<bool()>& intact) {
    std::mt19937 random(seed);
    int broken = 0;
    for (int i = 0; i < rounds; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            work();
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 15000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (!intact()) {
            ++broken;
        }
    }
    return broken;
}

const char* const kNames[] = {
    "COM", "Auto_Write", "APN",    "APN_NAME", "APN_PW",    "DNS",       "GPRS_TM",
    "ID",  "IP",         "Port",   "GPRS_EN",  "GPRS_TYPE", "SMS_OBJ",   "SMS_INT",
    "PW",  "Listen",     "SOS_NO", "LOG_INT",  "TimeZone",  "SleepMode", "CallReply"};

}  // namespace

Report SoakKilledSaves(int rounds, unsigned seed) {
    ConfigFolder config;
    const std::filesystem::path file = config.Path() / "settings.reg";
    int saves_seen = 0;
    const auto work = [&] {
        RegistryFileStore store(file);
        UseRegistryStore(&store);
        for (int round = 1;; ++round) {
            // One save: 21 values in one batch, all carrying the round.
            store.BeginBatch();
            for (const char* name : kNames) {
                if (name == std::string("COM") || name == std::string("GPRS_EN")) {
                    RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, name, round);
                } else {
                    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, name, std::to_string(round));
                }
            }
            store.CommitBatch();
        }
    };
    const auto intact = [&] {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            return true;  // killed before the first save
        }
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        const RegDocument doc = RegDocument::Parse(bytes);
        std::string round;
        for (const char* name : kNames) {
            RegistryValue value;
            if (doc.Find("HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP", name, value) !=
                RegDocument::Lookup::kFound) {
                return false;
            }
            const std::string text = value.type == REG_DWORD
                                         ? std::to_string(IntegerFromValue(name, value))
                                         : StringFromValue(name, value);
            if (round.empty()) {
                round = text;
            } else if (text != round) {
                return false;  // half of one save and half of another
            }
        }
        saves_seen = std::max(saves_seen, std::stoi(round));
        return true;
    };
    const int broken = KillRounds(rounds, seed, work, intact);
    return {"SIGKILL during saves", std::to_string(rounds) + " kills of a process saving 21 values",
            std::to_string(broken) + " broken settings files (the last process saved " +
                std::to_string(saves_seen) + " times)",
            broken == 0};
}

Report SoakKilledLog(int rounds, unsigned seed) {
    ConfigFolder config;
    const std::filesystem::path file = config.Path() / "line.csv";
    const auto work = [&] {
        std::string error;
        ctl::LineLog::Failure failure;
        auto log = ctl::LineLog::Open(file, error, failure);
        for (int i = 0;; ++i) {
            ctl::LogRow row;
            row.time = std::chrono::system_clock::now();
            row.port = "COM1";
            row.id_before = "123";
            row.id_written = std::to_string(i);
            row.outcome = "ok";
            row.differences = {"APN", "IP"};
            row.seconds = 1.5;
            log->Append(row, "", error);
        }
    };
    std::size_t rows = 0;
    const auto intact = [&] {
        std::ifstream in(file, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (content.empty()) {
            return true;
        }
        if (content.rfind(ctl::kLogHeader, 0) != 0 || content.back() != '\n') {
            return false;  // a torn row at the end
        }
        std::stringstream lines(content);
        std::string line;
        std::getline(lines, line);
        rows = 0;
        while (std::getline(lines, line)) {
            if (std::count(line.begin(), line.end(), ',') != 6 || line.rfind("20", 0) != 0) {
                return false;
            }
            ++rows;
        }
        return true;
    };
    const int broken = KillRounds(rounds, seed, work, intact);
    return {"SIGKILL during logging", std::to_string(rounds) + " kills of a process appending rows",
            std::to_string(broken) + " broken logs (" + std::to_string(rows) +
                " whole rows at the end)",
            broken == 0};
}

}  // namespace qx17::soak
