// What the person at the station and the factory's machines get from
// `qx17ctl line`: the board in a real terminal (tmux), and the JSON events.
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tests/ctl/program_fixture.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using sim::Event;
using sim::Is;
using test::Outcome;
using test::ProgramTest;
using test::Slurp;
using testing::HasSubstr;
using testing::Not;

class LineDisplay : public ProgramTest {
  protected:
    // `n` trackers, linked as COM1 to COMn.
    std::vector<std::string> Trackers(int n, std::chrono::milliseconds delay = 0ms) {
        const auto ports = folder_ / "Kestrowind" / "QX17EEP" / "ports";
        std::filesystem::create_directories(ports);
        std::vector<std::string> names;
        for (int i = 1; i <= n; ++i) {
            sim::VirtualTracker& tracker = AddTracker(std::to_string(35712009000000 + i));
            tracker.SetReplyDelay(delay);
            std::filesystem::create_symlink(tracker.SlavePath(),
                                            ports / ("com" + std::to_string(i)));
            names.push_back("COM" + std::to_string(i));
        }
        return names;
    }
    std::vector<std::string> Line(const std::vector<std::string>& ports,
                                  const std::vector<std::string>& more) {
        std::vector<std::string> args = {"line"};
        args.insert(args.end(), ports.begin(), ports.end());
        for (const char* arg : {"--profile", profile_.c_str(), "--log", log_.c_str(), "--id-start",
                                "35712000000001"}) {
            args.push_back(arg);
        }
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    std::string profile_ = Profile(test::TestProfile()).string();
    std::string log_ = (folder_ / "line.csv").string();
};

// Every line of stdout is one JSON object; the tracker events are the log's
// rows; each event has exactly the fields the guide documents.
TEST_F(LineDisplay, JsonEventsAreTheLogsRowsWithTheirDocumentedFields) {
    const std::vector<std::string> ports = Trackers(2);
    trackers_[1]->NackNextWrite();
    const Outcome run = Qx17ctl(Line(ports, {"--count", "2", "--json"}));
    EXPECT_EQ(run.exit_code, 5) << run.err;  // the refused write
    const std::map<std::string, std::set<std::string>> documented = {
        {"line-start",
         {"event", "time", "format", "station", "ports", "profile", "profile_sha256", "rows_to"}},
        {"tracker-start", {"event", "time", "port", "id_before"}},
        {"tracker-end",
         {"event", "time", "port", "id_before", "id_written", "outcome", "differences", "seconds",
          "started"}},
        {"line-end",
         {"event", "time", "done", "ok", "failed", "not_written", "hooks_failed", "outcomes",
          "first_id", "last_id", "seconds", "exit_code"}},
    };
    std::istringstream lines(run.out);
    std::vector<nlohmann::json> events;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
        const std::string name = events.back().value("event", "");
        ASSERT_EQ(documented.count(name), 1u) << line;
        std::set<std::string> keys;
        for (const auto& [key, value] : events.back().items()) {
            keys.insert(key);
        }
        EXPECT_EQ(keys, documented.at(name)) << line;
    }
    ASSERT_GE(events.size(), 2u) << run.out;
    EXPECT_EQ(events.front()["event"], "line-start");
    EXPECT_EQ(events.front()["format"], 1);
    EXPECT_EQ(events.front()["ports"], nlohmann::json(ports));
    EXPECT_EQ(events.front()["profile"], "profile.reg");
    EXPECT_EQ(events.front()["profile_sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(events.back()["event"], "line-end");
    EXPECT_EQ(events.back()["done"], 2);
    EXPECT_EQ(events.back()["failed"], 1);
    EXPECT_EQ(events.back()["exit_code"], 5);

    std::multiset<std::string> ended;
    for (const nlohmann::json& event : events) {
        if (event["event"] == "tracker-end") {
            std::string differences;
            for (const auto& name : event["differences"]) {
                differences += (differences.empty() ? "" : ";") + name.get<std::string>();
            }
            ended.insert(event["started"].get<std::string>() + "," +
                         event["port"].get<std::string>() + "," +
                         event["id_before"].get<std::string>() + "," +
                         event["id_written"].get<std::string>() + "," +
                         event["outcome"].get<std::string>() + "," + differences);
        }
    }
    std::multiset<std::string> logged;
    for (const auto& row : test::LogRows(log_)) {
        ASSERT_GE(row.size(), 6u);
        logged.insert(row[0] + "," + row[1] + "," + row[2] + "," + row[3] + "," + row[4] + "," +
                      row[5]);
    }
    EXPECT_EQ(ended, logged);
    EXPECT_THAT(run.err, HasSubstr("line: 2 trackers: 1 ok, 1 refused"))
        << "the messages stay on stderr";
}

// --on-done after each tracker: its row is on the disk first, the tracker is
// in its environment and no password is; one that fails or hangs is told
// and counted and changes nothing else; one port's hook holds up no other.
TEST_F(LineDisplay, OnDoneRunsAfterTheRowAndHoldsUpNothing) {
    const std::vector<std::string> ports = Trackers(2);
    const std::string dir = folder_.Path().string();
    ::setenv("PGPASSWORD", "record-secret", 1);  // the record's, never the hook's
    const struct {
        const char* name;
        std::string hook;
        std::string timeout;
        const char* said;  // on stderr, and as a hook-failed event's why
        const char* printed;
    } cases[] = {
        {"its environment, after its row",
         "env > '" + dir + "'/env.$QX17_PORT; grep -q \",$QX17_ID_WRITTEN,\" '" + log_ +
             "' && touch '" + dir + "'/row.$QX17_PORT; date +%s.%N > '" + dir +
             "'/end.$QX17_PORT; [ $QX17_PORT = COM2 ] || sleep 3",
         "30", nullptr, nullptr},
        {"one that fails", "echo printed; exit 3", "30", "ended with 3", ": --on-done: printed\n"},
        {"one that hangs", "exec sleep 31.5", "1", "stopped after 1 s", nullptr},
    };
    for (const auto& c : cases) {
        for (const auto& tracker : trackers_) {
            if (&c != &cases[0]) {
                tracker->Replug();
            }
        }
        const auto started = std::chrono::steady_clock::now();
        const Outcome run = Qx17ctl(Line(ports, {"--count", "2", "--json", "--on-done", c.hook,
                                                 "--on-done-timeout", c.timeout}));
        EXPECT_EQ(run.exit_code, 0) << c.name << "\n" << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << c.name;
        if (c.said == nullptr) {
            EXPECT_THAT(run.out, Not(HasSubstr("hook-failed"))) << run.out;
            continue;
        }
        EXPECT_THAT(run.err, HasSubstr("COM1: --on-done for tracker ")) << c.name;
        if (c.printed != nullptr) {
            EXPECT_THAT(run.err, HasSubstr(c.printed)) << c.name;
        }
        EXPECT_THAT(run.err, HasSubstr(std::string(" ") + c.said + "; the line goes on."))
            << c.name;
        EXPECT_THAT(run.err, HasSubstr("; --on-done failed for 2 trackers;")) << c.name;
        EXPECT_THAT(run.out, HasSubstr(std::string("\"event\":\"hook-failed\""))) << c.name;
        EXPECT_THAT(run.out, HasSubstr("\"hooks_failed\":2")) << c.name;
    }
    ::unsetenv("PGPASSWORD");
    EXPECT_NE(std::system("pgrep -f 'sleep 3[1].5' >/dev/null"), 0) << "the hung hook is gone";
    const std::string env = Slurp(folder_ / "env.COM1");
    for (const char* variable :
         {"QX17_PORT=COM1\n", "QX17_OUTCOME=ok\n", "QX17_ID_BEFORE=35712009000001\n",
          "QX17_ID_WRITTEN=3571200000000", "QX17_DIFFERENCES=\n",
          "QX17_SECONDS=", "QX17_STATION=", "QX17_PROFILE_SHA256="}) {
        EXPECT_THAT(env, HasSubstr(variable));
    }
    for (const char* secret : {"record-secret", "=secret", "=1234\n"}) {
        EXPECT_THAT(env, Not(HasSubstr(secret))) << "no password in a hook's environment";
    }
    EXPECT_TRUE(std::filesystem::exists(folder_ / "row.COM1")) << "the row before the hook";
    EXPECT_TRUE(std::filesystem::exists(folder_ / "row.COM2"));
    const double com1 = std::stod("0" + Slurp(folder_ / "end.COM1"));
    const double com2 = std::stod("0" + Slurp(folder_ / "end.COM2"));
    EXPECT_LT(com2, com1 + 1) << "COM2 went on while COM1's hook slept";
}

// tmux: a terminal the test can read, resize and type into.
class Tmux {
  public:
    explicit Tmux(const std::filesystem::path& socket) : socket_(socket.string()) {}
    ~Tmux() { Run("kill-server"); }
    std::string Run(const std::string& command) {
        std::string out;
        FILE* pipe = ::popen(("tmux -S '" + socket_ + "' " + command + " 2>&1").c_str(), "r");
        if (pipe == nullptr) {
            return out;
        }
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
        return out;
    }
    std::string Screen(bool escapes = false) {
        return Run(std::string("capture-pane -p") + (escapes ? " -e" : "") + " -t line");
    }
    bool Shows(const std::string& text, std::chrono::seconds patience = 30s) {
        const auto until = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < until) {
            if (Screen().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

  private:
    std::string socket_;
};

std::string Quoted(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += " '" + word + "'";
    }
    return line;
}

// Sixteen ports on an 80x24 terminal, one tracker refused: its row says
// FAILED and why, the totals count it; NO_COLOR takes the colour away; a
// resized terminal is drawn again; after Ctrl-C twice the terminal is as
// it was found.
TEST_F(LineDisplay, TheBoardInARealTerminal) {
    if (std::system("command -v tmux >/dev/null") != 0) {
        GTEST_SKIP() << "tmux is not installed";  // make check installs it
    }
    const std::vector<std::string> ports = Trackers(16);
    trackers_[6]->NackNextWrite();
    Tmux tmux(folder_ / "tmux.socket");
    const std::string program = QX17CTL_PROGRAM;
    const std::string environment = "XDG_CONFIG_HOME='" + folder_.Path().string() +
                                    "' XDG_STATE_HOME='" + (folder_ / "state").string() + "' ";
    tmux.Run("-f /dev/null new-session -d -s line -x 80 -y 24 sh");
    // The size is the test's alone: tmux does not follow its clients' (a
    // run under load once found the window wider before it was resized).
    tmux.Run("set-option -g window-size manual");
    tmux.Run("resize-window -t line -x 80 -y 24");
    // The shell keeps the line's exit code in a file: its screen stays as
    // the line left it, with the prompt under the summary.
    const std::string exit_file = (folder_ / "exit").string();
    const auto Ended = [&](const std::string& code) {
        const bool ended = Until([&] { return Slurp(exit_file) == code + "\n"; }) ||
                           Slurp(exit_file) == code + "\n";
        std::filesystem::remove(exit_file);
        return ended;
    };
    const struct {
        const char* name;
        std::string env;
        bool colour;
    } runs[] = {{"in colour", "", true}, {"NO_COLOR", "NO_COLOR=1 ", false}};
    for (const auto& run : runs) {
        if (!run.colour) {
            for (const auto& tracker : trackers_) {
                tracker->Replug();
            }
            trackers_[6]->NackNextWrite();
        }
        tmux.Run("send-keys -t line \"clear; " + environment + run.env + program +
                 Quoted(Line(ports, {"--count", "16"})) + "; echo \\$? >'" + exit_file +
                 "'\" Enter");
        ASSERT_TRUE(Ended("5")) << run.name << "\n" << tmux.Screen();
        const std::string screen = tmux.Screen();
        std::istringstream lines(screen);
        std::vector<std::string> rows;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 80u) << line;
            if (line.rfind("COM", 0) == 0 && line.find(" OK: take it out") != std::string::npos) {
                rows.push_back(line);
            } else if (line.rfind("COM7 ", 0) == 0) {
                rows.push_back(line);
                EXPECT_THAT(line, HasSubstr("FAILED: refused, take it out")) << run.name;
                EXPECT_THAT(line, HasSubstr(run.colour ? " 35712009000007 " : " 35712009000008 "))
                    << "the ID it came with";
            }
        }
        EXPECT_EQ(rows.size(), 16u) << run.name << "\n" << screen;
        EXPECT_THAT(screen, HasSubstr("done 16  ok 15  failed 1  yield 93.8 %")) << run.name;
        EXPECT_THAT(screen, HasSubstr("profile profile.reg ")) << run.name;
        const std::string painted = tmux.Screen(true);
        EXPECT_EQ(painted.find("\033[") != std::string::npos, run.colour) << run.name;
    }

    // Slow trackers: resized mid-line, then Ctrl-C twice.
    for (const auto& tracker : trackers_) {
        tracker->SetReplyDelay(1500ms);
        tracker->Replug();
    }
    tmux.Run("send-keys -t line \"clear; " + environment + program + Quoted(Line(ports, {})) +
             "; echo \\$? >'" + exit_file + "'\" Enter");
    ASSERT_TRUE(tmux.Shows("writing 1 of 4")) << tmux.Screen();
    tmux.Run("resize-window -t line -x 120 -y 30");
    // Drawn again at the new size: the state's column is wider.
    const auto column = [&] {
        std::istringstream lines(tmux.Screen());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("PORT", 0) == 0) {
                return line.find("ID BEFORE");
            }
        }
        return std::string::npos;
    };
    EXPECT_TRUE(Until([&] { return column() == 39u; })) << "80 columns\n" << tmux.Screen();
    tmux.Run("resize-window -t line -x 120 -y 30");
    EXPECT_TRUE(test::ProgramTest::Until([&] { return column() == 79u; })) << tmux.Screen();
    const std::string wide = tmux.Screen();
    EXPECT_EQ(wide.find("ID BEFORE"), wide.rfind("ID BEFORE")) << "drawn once\n" << wide;
    tmux.Run("send-keys -t line C-c");
    ASSERT_TRUE(tmux.Shows("Ctrl-C again to stop now")) << tmux.Screen();
    tmux.Run("send-keys -t line C-c");
    ASSERT_TRUE(Ended("130")) << tmux.Screen();
    EXPECT_EQ(tmux.Run("display -p -t line '#{cursor_flag} #{scroll_region_upper} "
                       "#{scroll_region_lower}'"),
              "1 0 29\n")
        << "the cursor shown, the whole screen scrolling";
    tmux.Run("send-keys -t line 'echo usable-$((20+3))' Enter");
    EXPECT_TRUE(tmux.Shows("usable-23")) << tmux.Screen();
}

}  // namespace
}  // namespace qx17::ctl
