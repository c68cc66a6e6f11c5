// The qx17ctl program as scripts meet it: its exit codes, what goes to
// stdout and what to stderr, the port links, and Ctrl-C.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "params/profile.h"
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
namespace fs = std::filesystem;

TEST_F(ProgramTest, ExitCodesTellScriptsWhatHappened) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    const std::string port = tracker.SlavePath();
    const std::string good = Profile(test::TestProfile());
    FieldValues hash = test::TestProfile();
    hash.APN = "a#b";
    const std::string bad = Profile(hash, "bad.reg");
    std::ofstream(folder_ / "other.txt") << "not a profile\n";
    const std::string other = (folder_ / "other.txt").string();
    const struct {
        std::vector<std::string> args;
        std::function<void()> before;
        int exit_code;
        const char* err;
    } cases[] = {
        {{}, {}, 2, "A subcommand is required"},
        {{"frobnicate"}, {}, 2, ""},
        {{"write", port, good, "--id", "12x"}, {}, 2, "1 to 14 digits"},
        {{"write", port, bad}, {}, 2, "APN (\"APN\") \"a#b\" breaks its rule"},
        {{"write", port, other}, {}, 2, "no values under"},
        {{"read", "/nonexistent/tty"}, {}, 3, "/nonexistent/tty: Error opening serial port ("},
        {{"default", port}, [&] { tracker.NackNextWrite(); }, 5, "refused Default (status 0)"},
        {{"default", port, "--retries", "0"},
         [&] { tracker.DropNextReply(); },
         4,
         "no reply to Default"},
        {{"write", port, good}, {}, 0, ""},
    };
    for (const auto& c : cases) {
        if (c.before) {
            c.before();
        }
        const std::size_t seen = tracker.LogSize();
        const Outcome run = Qx17ctl(c.args);
        const std::string what = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << what << "\n" << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.err)) << what;
        if (c.exit_code == 2) {
            EXPECT_EQ(tracker.LogSize(), seen) << what << ": nothing reaches a tracker";
        }
    }
    FieldValues expected = test::TestProfile();
    expected.ID = "35712001234567";
    EXPECT_EQ(ImageToFields(MemoryOf(tracker)), expected);
}

TEST_F(ProgramTest, ResultsGoToStdoutAndEverythingElseToStderr) {
    sim::VirtualTracker& tracker = AddTracker("4711");
    const Outcome run =
        Qx17ctl({"read", tracker.SlavePath(), "--json", "-o", (folder_ / "copy.reg").string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["ID"], "4711");
    EXPECT_THAT(run.err, HasSubstr(tracker.SlavePath() + ": read-all"));
    EXPECT_EQ(ParseProfile(Slurp(folder_ / "copy.reg")), ImageToFields(MemoryOf(tracker)))
        << "written as a profile";

    EXPECT_EQ(Qx17ctl({"--version"}).out, "qx17ctl 1.1.0\n");
    for (const char* command : {"ports", "link", "unlink", "read", "write", "default", "line"}) {
        const Outcome help = Qx17ctl({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << command;
        EXPECT_THAT(help.out, HasSubstr(std::string("qx17ctl ") + command)) << command;
    }
}

TEST_F(ProgramTest, LinkMakesADeviceAComPortAndRefusesAnythingElse) {
    sim::VirtualTracker& tracker = AddTracker("5", false);
    std::ofstream(folder_ / "plain-file") << "x";
    EXPECT_EQ(Qx17ctl({"link", "COM5", (folder_ / "plain-file").string()}).exit_code, 2);
    EXPECT_EQ(Qx17ctl({"link", "COM33", tracker.SlavePath()}).exit_code, 2);
    ASSERT_EQ(Qx17ctl({"link", "COM5", tracker.SlavePath()}).exit_code, 0);
    EXPECT_EQ(fs::read_symlink(folder_ / "Kestrowind/QX17EEP/ports/com5"), tracker.SlavePath());

    const Outcome ports = Qx17ctl({"ports"});
    ASSERT_EQ(ports.exit_code, 0);
    EXPECT_THAT(ports.out, HasSubstr("COM32 "));
    EXPECT_THAT(ports.out,
                testing::ContainsRegex("COM5 +[^\n]*-> " + tracker.SlavePath() + " +yes +yes +no"));

    const Outcome read = Qx17ctl({"read", "com5", "--json"});
    EXPECT_EQ(read.exit_code, 0) << read.err;
    EXPECT_EQ(Qx17ctl({"unlink", "COM5"}).exit_code, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ / "Kestrowind/QX17EEP/ports/com5")));
    EXPECT_EQ(Qx17ctl({"unlink", "COM5"}).exit_code, 2);
}

TEST_F(ProgramTest, CtrlCEndsTheProductionLineWhileItWaits) {
    sim::VirtualTracker& tracker = AddTracker("6", false);
    const std::string log = (folder_ / "line.csv").string();
    const pid_t pid = Spawn(
        {"line", tracker.SlavePath(), "--profile", Profile(test::TestProfile()), "--log", log});
    for (int i = 0; i < 200 && Slurp(folder_ / "err").find("waiting") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(kill(pid, SIGINT), 0);
    const Outcome run = Wait(pid);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Slurp(log), "time,port,id_before,id_written,outcome,differences,seconds\n");
}

}  // namespace
}  // namespace qx17::ctl
