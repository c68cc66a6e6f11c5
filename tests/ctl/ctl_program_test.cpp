// The qx17ctl program as scripts meet it: its exit codes, what goes to
// stdout and what to stderr, the port links, and Ctrl-C.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

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
using test::ThisProgram;
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
    const std::string edited_log = (folder_ / "edited.csv").string();
    std::ofstream(edited_log) << "time,port,id_before,id_written,outcome,differences,seconds\n"
                                 "2026-12-08T10:00:00Z,COM1,1,3.5712E+13,ok,,0.6\n";
    const fs::path ports = folder_ / "Kestrowind/QX17EEP/ports";
    fs::create_directories(ports);
    fs::create_symlink("/dev/nosuch-adapter", ports / "com7");
    int held = -1;  // the port, opened and locked as another program would
    const auto hold = [&] {
        held = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    };
    struct Case {
        std::vector<std::string> args;
        std::function<void()> before;
        int exit_code;
        std::string err;
    };
    std::vector<Case> cases = {
        {{}, {}, 2, "A subcommand is required"},
        {{"frobnicate"}, {}, 2, ""},
        {{"write", port, good, "--id", "12x"}, {}, 2, "1 to 14 digits"},
        {{"write", port, bad}, {}, 2, "APN (\"APN\") \"a#b\" breaks its rule"},
        {{"write", port, other}, {}, 2, "no values under"},
        {{"line", port, "--profile", bad}, {}, 2, "APN (\"APN\") \"a#b\" breaks its rule"},
        {{"line", port, "--profile", good, "--log", edited_log},
         {},
         2,
         edited_log + ":2: id_written \"3.5712E+13\" is not an ID of 1 to 14 digits."},
        {{"read", "/nonexistent/tty"}, {}, 3, "/nonexistent/tty: Error opening serial port ("},
        {{"read", "COM99"}, {}, 2, "COM99: not a port name (COM1 to COM32)."},
        {{"default", "tty5"}, {}, 2, "tty5: not a port name (COM1 to COM32, or a device path"},
        {{"read", "COM7"},
         {},
         3,
         "(No such file or directory). COM7 is the link " + (ports / "com7").string() +
             " -> /dev/nosuch-adapter, which does not exist. `qx17ctl ports` lists"},
        {{"read", port}, hold, 3, "Another program has " + port + " open: " + ThisProgram()},
        {{"write", good, "COM5"}, {}, 2, "COM5 is a port, not a profile file"},
        {{"write", port, port}, {}, 2, port + " is a device, not a profile file"},
        {{"write", port, "nosuch.reg"}, {}, 2, "nosuch.reg: cannot read the profile (No such file"},
        {{"link", "COM9", "/dev/nosuch"}, {}, 2, "/dev/nosuch: no such device"},
        {{"default", port}, [&] { tracker.NackNextWrite(); }, 5, "refused Default (status 0)"},
        {{"default", port, "--retries", "0"},
         [&] { tracker.DropNextReply(); },
         4,
         "no reply to Default. Check that a tracker is connected and powered, and that no other "
         "program reads this port."},
        {{"write", port, good}, {}, 0, ""},
    };
    // A user outside a device's group (run as nobody): the port cannot be
    // opened, and both link and the open say so and what to do.
    for (const char* device : {"/dev/ttyS0", "/dev/tty0", "/dev/console", "/dev/kmsg"}) {
        struct stat info;
        if (geteuid() != 0 && stat(device, &info) == 0 && S_ISCHR(info.st_mode) &&
            access(device, R_OK | W_OK) != 0) {
            cases.push_back({{"link", "COM8", device}, {}, 0, "warning: this user may not open"});
            cases.push_back({{"read", "COM8"}, {}, 3, "(Permission denied). COM8 is the link"});
            break;
        }
    }
    // A port another program opened in exclusive mode, as the window and
    // qx17ctl do: an ordinary user's open is refused as busy.
    if (geteuid() != 0) {
        cases.push_back(
            {{"read", port},
             [&] {
                 held = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
                 ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
             },
             3,
             "(Device or resource busy). Another program has " + port + " open: " + ThisProgram()});
    }
    // A port that a group may open, as dialout's are: a pseudo-terminal of
    // this user's, opened to its group alone. Root opens it anyway.
    const std::string grouped = AddTracker("1", false).SlavePath();
    struct stat info;
    if (geteuid() != 0 && chmod(grouped.c_str(), 0060) == 0 && stat(grouped.c_str(), &info) == 0) {
        const struct group* group = getgrgid(info.st_gid);
        ASSERT_NE(group, nullptr);
        const std::string name = group->gr_name;
        cases.push_back(
            {{"read", grouped},
             {},
             3,
             "(Permission denied). " + grouped + ", which only the members of the group " + name +
                 " may open: `sudo adduser $USER " + name + "`, then log out and in again."});
    }
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
        if (held >= 0) {
            ioctl(held, TIOCNXCL);  // the tracker keeps the tty open: its mode would stay
            close(held);
            held = -1;
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
    for (const char* command :
         {"ports", "link", "unlink", "read", "write", "diff", "default", "line"}) {
        const Outcome help = Qx17ctl({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << command;
        EXPECT_THAT(help.out, HasSubstr(std::string("qx17ctl ") + command)) << command;
    }
}

// diff reads the tracker and tells what a write would change, passwords
// without their values, and changes nothing whatever happens.
TEST_F(ProgramTest, DiffTellsWhatAWriteWouldChangeAndWritesNothing) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    const std::string port = tracker.SlavePath();
    ASSERT_EQ(Qx17ctl({"write", port, Profile(test::TestProfile())}).exit_code, 0);
    const ImageBytes memory = MemoryOf(tracker);
    FieldValues changed = test::TestProfile();
    changed.APN = "other.apn";
    changed.PW = "9876";
    changed.SMS_INT = "60";
    FieldValues broken = test::TestProfile();
    broken.APN = "a#b";
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::function<void()> before;
        int exit_code;
        std::vector<std::string> out;
    } cases[] = {
        {"the same values",
         {"diff", port, Profile(test::TestProfile())},
         {},
         0,
         {"holds the profile already; a write would change nothing"}},
        {"three fields",
         {"diff", port, Profile(changed, "changed.reg")},
         {},
         1,
         {"a write would change 3 fields of tracker 35712001234567",
          "\nAPN +APN +internet.test +other.apn\n", "\nSMS_INT +Interval \\(min\\) +30 +60\n",
          "\nPW +Password +\\(not shown\\) +\\(changed, not shown\\)\n"}},
        {"as JSON, with a new ID",
         {"diff", port, Profile(changed, "changed.reg"), "--json", "--id", "42"},
         {},
         1,
         {"\"field\": \"ID\"", "\"profile\": \"42\"",
          "\"field\": \"PW\",\n      \"label\": "
          "\"Password\",\n      \"changed\": true"}},
        {"a bad profile", {"diff", port, Profile(broken, "broken.reg")}, {}, 2, {}},
        {"no answer",
         {"diff", port, Profile(changed, "changed.reg"), "--retries", "0"},
         [&] { tracker.DropNextReply(); },
         4,
         {}},
    };
    for (const auto& c : cases) {
        if (c.before) {
            c.before();
        }
        const std::size_t seen = tracker.LogSize();
        const Outcome run = Qx17ctl(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << "\n" << run.err;
        for (const std::string& line : c.out) {
            EXPECT_THAT(run.out, testing::ContainsRegex(line)) << c.name << "\n" << run.out;
        }
        EXPECT_THAT(run.out + run.err, testing::Not(HasSubstr("9876"))) << c.name;
        EXPECT_THAT(run.out + run.err, testing::Not(HasSubstr("1234\n"))) << c.name;
        if (c.exit_code == 2) {
            EXPECT_EQ(tracker.LogSize(), seen) << c.name << ": nothing reaches the tracker";
        }
        for (std::size_t i = seen; i < tracker.LogSize(); ++i) {
            EXPECT_NE(tracker.Log()[i].event, sim::Event::kWrite) << c.name << ": a write was sent";
        }
        EXPECT_EQ(MemoryOf(tracker), memory) << c.name;
    }
}

TEST_F(ProgramTest, LinkMakesADeviceAComPortAndRefusesAnythingElse) {
    sim::VirtualTracker& tracker = AddTracker("5", false);
    std::ofstream(folder_ / "plain-file") << "x";
    EXPECT_EQ(Qx17ctl({"link", "COM5", (folder_ / "plain-file").string()}).exit_code, 2);
    EXPECT_EQ(Qx17ctl({"link", "COM33", tracker.SlavePath()}).exit_code, 2);
    ASSERT_EQ(Qx17ctl({"link", "COM5", tracker.SlavePath()}).exit_code, 0);
    EXPECT_EQ(fs::read_symlink(folder_ / "Kestrowind/QX17EEP/ports/com5"), tracker.SlavePath());

    // The virtual tracker, in this process, holds the pty's slave open: the
    // listing names this process without opening the port.
    const Outcome ports = Qx17ctl({"ports"});
    ASSERT_EQ(ports.exit_code, 0);
    EXPECT_THAT(ports.out, HasSubstr("COM32 "));
    EXPECT_THAT(ports.out, testing::ContainsRegex("COM5 +yes +yes +yes: " + ThisProgram() +
                                                  " \\(pid " + std::to_string(getpid()) +
                                                  "\\) +com5 -> " + tracker.SlavePath() + "\n"));

    const Outcome read = Qx17ctl({"read", "com5", "--json"});
    EXPECT_EQ(read.exit_code, 0) << read.err;
    EXPECT_EQ(Qx17ctl({"unlink", "COM5"}).exit_code, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ / "Kestrowind/QX17EEP/ports/com5")));
    EXPECT_EQ(Qx17ctl({"unlink", "COM5"}).exit_code, 2);
}

// The columns line up whatever the device texts; without --probe the
// listing never opens a port (an open raises DTR and RTS), with it it does.
TEST_F(ProgramTest, PortsLinesUpItsColumnsAndOpensAPortOnlyWhenAskedTo) {
    sim::VirtualTracker& tracker = AddTracker("7", false);
    const fs::path by_id =
        folder_ / "by-id/usb-Kestrowind_QX17_Programming_Cable_0123456789ABCDEF-if00-port0";
    fs::create_directories(by_id.parent_path());
    fs::create_symlink(tracker.SlavePath(), by_id);
    ASSERT_EQ(Qx17ctl({"link", "COM7", by_id.string()}).exit_code, 0);

    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, tracker.SlavePath().c_str(), IN_OPEN), 0);
    const struct {
        std::vector<std::string> args;
        bool opened;
    } cases[] = {{{"ports"}, false}, {{"ports", "--probe"}, true}};
    for (const auto& c : cases) {
        const std::string what = testing::PrintToString(c.args);
        const Outcome ports = Qx17ctl(c.args);
        ASSERT_EQ(ports.exit_code, 0) << what << "\n" << ports.err;
        char events[4096];
        EXPECT_EQ(read(opens, events, sizeof events) > 0, c.opened) << what;
        EXPECT_THAT(ports.out, HasSubstr("com7 -> " + by_id.string() + "\n")) << what;

        // Each column starts where its heading does, in every row.
        std::istringstream lines(ports.out);
        std::string heading;
        std::getline(lines, heading);
        std::vector<std::size_t> starts;
        for (const char* name : {"Exists", "Access", "Held", "Device"}) {
            starts.push_back(heading.find(name));
        }
        int rows = 0;
        for (std::string row; std::getline(lines, row) && row.rfind("COM", 0) == 0; ++rows) {
            for (const std::size_t start : starts) {
                EXPECT_TRUE(start != std::string::npos && row.size() > start &&
                            row[start - 1] == ' ' && row[start] != ' ')
                    << what << ": column at " << start << " in\n"
                    << heading << "\n"
                    << row;
            }
        }
        EXPECT_EQ(rows, 32) << what;
    }
    close(opens);
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
