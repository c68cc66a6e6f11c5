// The production line program under the accidents of a factory floor: killed
// at any step of a tracker, a disk that fills up, an output that goes away, a
// terminal that is closed, a log that is not a file.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
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

constexpr const char* kStart = "35712000000700";

class LineProgram : public ProgramTest {
  protected:
    std::vector<std::string> Line(const sim::VirtualTracker& tracker,
                                  const std::vector<std::string>& more = {"--count", "1"}) {
        std::vector<std::string> args = {
            "line", tracker.SlavePath(), "--profile", profile_, "--log",
            log_,   "--id-start",        kStart};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    static std::string IdOf(const sim::VirtualTracker& tracker) {
        return ImageToFields(MemoryOf(tracker)).ID;
    }
    std::vector<std::vector<std::string>> Rows() const { return test::LogRows(log_); }
    // The outcome of the last row of `tracker`'s port.
    std::string OutcomeOf(const sim::VirtualTracker& tracker) const {
        std::string outcome;
        for (const auto& row : Rows()) {
            if (row.size() >= 5 && row[1] == tracker.SlavePath()) {
                outcome = row[4];
            }
        }
        return outcome;
    }

    std::string profile_ = Profile(test::TestProfile());
    std::string log_ = (folder_ / "line.csv").string();
};

// Killed at each step of a tracker, then started again for the next one:
// the next tracker never gets an ID that a tracker holds, and the killed
// tracker has its row.
TEST_F(LineProgram, AKilledLineNeverGivesOutAnIdATrackerHolds) {
    const std::string claims = log_ + ".claims";
    const auto acks = [](std::size_t n) {
        return [n](const sim::VirtualTracker& t) { return t.Count(Is(Event::kAck)) >= n; };
    };
    std::size_t rows_before = 0;
    const struct {
        const char* step;
        std::function<bool(const sim::VirtualTracker&)> reached;
        const char* outcome;
    } steps[] = {
        {"after the claim",
         [&](const sim::VirtualTracker&) {
             return Slurp(claims).find("claim,") != std::string::npos;
         },
         "interrupted"},
        {"after write frame 1", acks(1), "interrupted"},
        {"after write frame 2", acks(2), "interrupted"},
        {"after write frame 3", acks(3), "interrupted"},
        {"after write frame 4", acks(4), "interrupted"},
        {"during the verify read",
         [](const sim::VirtualTracker& t) { return t.Count(Is(Event::kRead)) >= 2; },
         "interrupted"},
        {"after the row", [&](const sim::VirtualTracker&) { return Rows().size() > rows_before; },
         "ok"},
    };
    std::set<std::string> held;  // the IDs that trackers hold, from the sequence
    for (const auto& s : steps) {
        rows_before = Rows().size();
        sim::VirtualTracker& killed = AddTracker();
        killed.SetReplyDelay(50ms);
        const pid_t pid = Spawn(Line(killed, {}));
        ASSERT_TRUE(Until([&] { return s.reached(killed); })) << s.step;
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        EXPECT_EQ(Wait(pid).exit_code, -1) << s.step;
        if (IdOf(killed) != "35712001234567") {
            EXPECT_TRUE(held.insert(IdOf(killed)).second) << s.step << ": " << IdOf(killed);
        }

        sim::VirtualTracker& next = AddTracker();
        const Outcome restart = Wait(Spawn(Line(next)));
        ASSERT_EQ(restart.exit_code, 0) << s.step << "\n" << restart.err;
        EXPECT_TRUE(held.insert(IdOf(next)).second) << s.step << ": " << IdOf(next) << " twice";
        EXPECT_EQ(OutcomeOf(killed), s.outcome) << s.step;
        EXPECT_EQ(OutcomeOf(next), "ok") << s.step;
    }
    EXPECT_EQ(Slurp(claims), "") << "every claim settled";
}

// A disk that fills up: the row cannot be written, so the line stops at
// once with 6, the log keeps no torn row, and the tracker's ID stays used.
TEST_F(LineProgram, ARecordThatCannotBeWrittenStopsTheLineWithSix) {
    {
        std::ofstream log(log_, std::ios::binary);
        log << "time,port,id_before,id_written,outcome,differences,seconds\n";
        for (int i = 0; i < 100; ++i) {
            log << "2026-12-08T10:00:00Z,COM1,1,35712000000" << (100 + i) << ",ok,,0.6\n";
        }
    }
    const std::string before = Slurp(log_);
    // Not even the claim can be written: the tracker is not written at all.
    // (The limit cuts the captured stderr too, so its words are not looked at.)
    sim::VirtualTracker& unclaimed = AddTracker();
    const std::string factory_id = IdOf(unclaimed);
    SpawnOptions tiny;
    tiny.before = {"prlimit", "--fsize=40", "--"};
    const Outcome no_claim = Wait(Spawn(Line(unclaimed, {"--count", "2"}), tiny), 30s);
    EXPECT_EQ(no_claim.exit_code, 6) << no_claim.err;
    EXPECT_EQ(IdOf(unclaimed), factory_id);
    EXPECT_EQ(Slurp(log_), before);

    sim::VirtualTracker& tracker = AddTracker();
    SpawnOptions limited;
    limited.before = {"prlimit", "--fsize=" + std::to_string(before.size() + 40), "--"};
    const Outcome full = Wait(Spawn(Line(tracker, {"--count", "2"}), limited), 30s);
    EXPECT_EQ(full.exit_code, 6) << full.err;
    EXPECT_THAT(full.err, HasSubstr("cannot be written"));
    EXPECT_EQ(Slurp(log_), before) << "nothing of the row that did not fit";
    const std::string written = IdOf(tracker);
    EXPECT_EQ(written, kStart);

    sim::VirtualTracker& next = AddTracker();
    const Outcome restart = Wait(Spawn(Line(next)));
    ASSERT_EQ(restart.exit_code, 0) << restart.err;
    EXPECT_NE(IdOf(next), written);
    EXPECT_EQ(OutcomeOf(tracker), "interrupted");
    EXPECT_EQ(Rows().size(), 102u);
}

// Output piped into a program that is gone, or the terminal closed
// (SIGHUP, taken as a request to stop): the tracker in progress is finished
// and has its whole row.
TEST_F(LineProgram, AClosedOutputOrAHangUpNeverKillsTheLineMidTracker) {
    sim::VirtualTracker& piped = AddTracker();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    SpawnOptions to_pipe;
    to_pipe.err_fd = ends[1];
    const pid_t first = Spawn(Line(piped), to_pipe);
    close(ends[1]);
    EXPECT_EQ(Wait(first).exit_code, 0);
    EXPECT_EQ(OutcomeOf(piped), "ok");

    sim::VirtualTracker& hung_up = AddTracker();
    hung_up.SetReplyDelay(100ms);
    const pid_t second = Spawn(Line(hung_up, {}));
    ASSERT_TRUE(hung_up.WaitFor(Is(Event::kAck), 20s).has_value());
    ASSERT_EQ(kill(second, SIGHUP), 0);
    EXPECT_EQ(Wait(second).exit_code, 0);
    EXPECT_EQ(OutcomeOf(hung_up), "ok");
    FieldValues expected = test::TestProfile();
    expected.ID = IdOf(hung_up);
    EXPECT_EQ(ImageToFields(MemoryOf(hung_up)), expected);
    EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(LineProgram, ALogThatIsNotARegularFileIsRefused) {
    sim::VirtualTracker& tracker = AddTracker();
    for (const std::string& log :
         {std::string("/dev/null"), std::string("/dev/zero"), folder_.Path().string()}) {
        log_ = log;
        const Outcome run = Qx17ctl(Line(tracker));
        EXPECT_EQ(run.exit_code, 2) << log;
        EXPECT_THAT(run.err, HasSubstr(log + ": not a regular file")) << log;
    }
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);
}

// What the person at the line is told: the first Ctrl-C says at once what
// it does, the end sums the line up, a second Ctrl-C in the middle of a
// write says which ID the tracker holds; a start that would begin another
// ID series is refused unless asked for.
TEST_F(LineProgram, ItSaysWhatCtrlCDoesWhatATrackerHoldsAndSumsUp) {
    sim::VirtualTracker& slow = AddTracker("35712001234567");
    slow.SetReplyDelay(300ms);
    const mode_t umask_was = umask(022);  // a usual one: it would let others read
    const pid_t finishing = Spawn(Line(slow, {}));
    umask(umask_was);
    ASSERT_TRUE(slow.WaitFor(Is(Event::kAck), 20s).has_value());
    ASSERT_EQ(kill(finishing, SIGINT), 0);
    EXPECT_TRUE(Until([&] {
        return Slurp(folder_ / "err")
                   .find("finishing the tracker in progress; Ctrl-C again to stop now") !=
               std::string::npos;
    }));
    EXPECT_LT(slow.Count(Is(Event::kReadReply)), 2u) << "said while the tracker was in progress";
    const Outcome finished = Wait(finishing);
    EXPECT_EQ(finished.exit_code, 0) << finished.err;
    EXPECT_THAT(finished.err, HasSubstr("line: 1 tracker: 1 ok; ID " + std::string(kStart) + "; "));
    EXPECT_THAT(finished.err, HasSubstr("; log " + log_ + "."));
    for (const std::string& file : {log_, log_ + ".claims"}) {
        EXPECT_EQ(std::filesystem::status(file).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                      std::filesystem::perms::group_read)
            << file << ": its owner and group read it, no one else";
    }

    // Stopped while the first frame (the password) waits for its answer: the
    // frame with the ID was never sent.
    sim::VirtualTracker& cut = AddTracker("35712009999999");
    cut.SetReplyDelay(500ms);
    const pid_t stopped = Spawn(Line(cut, {}));
    ASSERT_TRUE(cut.WaitFor(Is(Event::kWrite), 20s).has_value());
    ASSERT_EQ(kill(stopped, SIGINT), 0);
    ASSERT_TRUE(
        Until([&] { return Slurp(folder_ / "err").find("Ctrl-C again") != std::string::npos; }));
    ASSERT_EQ(kill(stopped, SIGINT), 0);
    const Outcome interrupted = Wait(stopped);
    EXPECT_EQ(interrupted.exit_code, 130) << interrupted.err;
    EXPECT_THAT(interrupted.err,
                HasSubstr("tracker 35712009999999 interrupted before its new ID was sent: it still "
                          "holds 35712009999999. ID 35712000000701 is used up all the same"));
    EXPECT_EQ(IdOf(cut), "35712009999999");
    const std::vector<std::string> row = Rows().back();
    EXPECT_EQ((std::vector<std::string>(row.begin() + 2, row.begin() + 6)),
              (std::vector<std::string>{"35712009999999", "35712000000701", "interrupted", "ID"}));

    // The series: 14 digits from 35712000000700 on.
    sim::VirtualTracker& next = AddTracker("35712008888888");
    const struct {
        std::vector<std::string> start;
        int exit_code;
        const char* said;
    } starts[] = {
        {{"--id-start", "1000"}, 2, "--id-start 1000 has 4 digits, the IDs given out so far 14"},
        {{"--id-start", "35712000000001"},
         2,
         "would give out 35712000000001, below the IDs given out so far (from "},
        {{"--id-start", "35712000000001", "--new-series"}, 0, "ID 35712000000001"},
    };
    for (const auto& c : starts) {
        std::vector<std::string> args = {"line", next.SlavePath(), "--profile", profile_, "--log",
                                         log_,   "--count",        "1"};
        args.insert(args.end(), c.start.begin(), c.start.end());
        const Outcome run = Qx17ctl(args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.start.back() << "\n" << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.said)) << c.start.back();
    }
    EXPECT_EQ(IdOf(next), "35712000000001");
}

}  // namespace
}  // namespace qx17::ctl
