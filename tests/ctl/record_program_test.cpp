// qx17ctl line on the shared record, killed at each step of a tracker and
// started again: no ID is given twice, and the killed tracker's claim is an
// interrupted row once its station starts again. qx17ctl record and record
// import as scripts call them.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "ctl/record/odbc.h"
#include "tests/ctl/record_program_fixture.h"
#include "tests/ctl/record_server.h"
#include "tools/tcp_relay/tcp_relay.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using sim::Event;
using sim::Is;

TEST_F(RecordProgram, AKilledStationNeverGivesOutAnIdTwice) {
    const auto acks = [](std::size_t n) {
        return [n](const sim::VirtualTracker& t) { return t.Count(Is(Event::kAck)) >= n; };
    };
    const struct {
        const char* step;
        std::function<bool(const sim::VirtualTracker&)> reached;
        const char* outcome;
    } steps[] = {
        {"after the claim",
         [this](const sim::VirtualTracker&) {
             return Count("SELECT count(*) FROM claims WHERE NOT settled") == "1";
         },
         "interrupted"},
        {"after write frame 2", acks(2), "interrupted"},
        {"during the verify read",
         [](const sim::VirtualTracker& t) { return t.Count(Is(Event::kRead)) >= 2; },
         "interrupted"},
    };
    std::set<std::string> given;
    for (const auto& s : steps) {
        sim::VirtualTracker& killed = AddTracker();
        killed.SetReplyDelay(50ms);
        const pid_t pid = Spawn(Line(killed));
        ASSERT_TRUE(Until([&] { return s.reached(killed); })) << s.step;
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        EXPECT_EQ(Wait(pid).exit_code, -1) << s.step;

        sim::VirtualTracker& next = AddTracker();
        const test::Outcome restart = Wait(Spawn(Line(next)));
        ASSERT_EQ(restart.exit_code, 0) << s.step << "\n" << restart.err;
        const auto killed_rows = RowsOf(killed);
        const auto next_rows = RowsOf(next);
        ASSERT_EQ(killed_rows.size(), 1u) << s.step;
        ASSERT_EQ(next_rows.size(), 1u) << s.step;
        EXPECT_EQ(killed_rows[0].first, s.outcome) << s.step;
        EXPECT_EQ(next_rows[0].first, "ok") << s.step;
        EXPECT_TRUE(given.insert(killed_rows[0].second).second) << s.step;
        EXPECT_TRUE(given.insert(next_rows[0].second).second) << s.step << ": an ID twice";
        EXPECT_EQ(ImageToFields(MemoryOf(next)).ID, next_rows[0].second) << s.step;
    }
    EXPECT_EQ(Count("SELECT count(*) FROM claims WHERE NOT settled"), "0");
}

// A record that turns the station away stops the line before any tracker
// is answered, with 6 and the server's reason, never the password.
TEST_F(RecordProgram, ARecordThatCannotBeReachedIsSixWithTheReason) {
    sim::VirtualTracker& tracker = AddTracker();
    std::vector<std::string> args = Line(tracker);
    args[5] = connection_ + ";Pwd=wrong-s3cret";
    const test::Outcome outcome = Qx17ctl(args);
    EXPECT_EQ(outcome.exit_code, 6);
    EXPECT_THAT(outcome.err, testing::HasSubstr("the server refused the connection"));
    EXPECT_THAT(outcome.err, testing::HasSubstr("password authentication failed"));
    EXPECT_THAT(outcome.err, testing::Not(testing::HasSubstr("wrong-s3cret")));
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);
}

// The record's commands as a script runs them: a station's log imported
// (twice), the rows by their filters, the verified IDs. The importing
// station is the host's name unless told.
TEST_F(RecordProgram, ItsCommandsAnswerAsScriptsCallThem) {
    const std::string log = (folder_.Path() / "station.csv").string();
    std::ofstream(log, std::ios::binary)
        << "time,port,id_before,id_written,outcome,differences,seconds\n"
           "2026-12-08T10:00:00Z,COM1,35712001234567,35712000000100,ok,,0.9\n"
           "2026-12-08T10:00:02Z,COM2,35712001234567,35712000000101,verify-failed,APN,0.9\n"
           "2026-12-08T10:00:04Z,COM1,35712001234567,35712000000102,ok,,1.5\n";
    // Another station's log that gave 35712000000102 to another tracker.
    const std::string other = (folder_.Path() / "other.csv").string();
    std::ofstream(other, std::ios::binary)
        << "time,port,id_before,id_written,outcome,differences,seconds\n"
           "2026-12-08T11:00:00Z,COM3,35712009999999,35712000000102,ok,,0.9\n";
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    sim::VirtualTracker& tracker = AddTracker();
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out;  // stdout, whole
    } steps[] = {
        {{"record", "import", connection_, log},
         0,
         log + ": 3 rows, 3 added, 0 already in the record\n"},
        {{"record", "import", connection_, log},
         0,
         log + ": 3 rows, 0 added, 3 already in the record\n"},
        {{"record", connection_, "--ids"}, 0, "35712000000100\n35712000000102\n"},
        {{"record", connection_, "--station", host, "--outcome", "ok", "--since",
          "2026-12-08T10:00:01", "--csv"},
         0,
         "station,port,started,finished,id_before,id_written,outcome,differences,seconds,"
         "profile_sha256\n" +
             std::string(host) +
             ",COM1,2026-12-08T10:00:04Z,2026-12-08T10:00:05Z,35712001234567,35712000000102,ok,,"
             "1.5,\n"},
        // Filters the record cannot match are told, not an empty list.
        {{"record", connection_, "--station", "elsewhere", "--csv"}, 2, ""},
        {{"record", connection_, "--outcome", "passed"}, 2, ""},
        {{"record", connection_, "--since", "yesterday-ish"}, 2, ""},
        {{"record", connection_, "--ids", "--csv"}, 2, ""},
        {{"record", "import", connection_, log + ".missing"}, 2, ""},

        {{"line", tracker.SlavePath(), "--profile", profile_, "--station", "A"}, 2, ""},
    };
    for (const auto& step : steps) {
        const test::Outcome run = Qx17ctl(step.args);
        EXPECT_EQ(run.exit_code, step.exit_code) << step.args[1] << " " << step.args.back() << "\n"
                                                 << run.err;
        EXPECT_EQ(run.out, step.out) << step.args[1] << " " << step.args.back();
    }
    const test::Outcome conflict =
        Qx17ctl({"record", "import", connection_, other, "--station", "east"});
    EXPECT_EQ(conflict.exit_code, 1);
    EXPECT_EQ(conflict.out, other + ": 1 rows, 1 added, 0 already in the record\n");
    EXPECT_THAT(conflict.err,
                testing::HasSubstr(other + ":2: ID 35712000000102, given here to tracker "
                                           "35712009999999 (port COM3, 2026-12-08T11:00:00Z), is "
                                           "held in the record by tracker 35712001234567"));
    const test::Outcome json = Qx17ctl({"record", connection_, "--id", "35712000000101", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const nlohmann::json rows = nlohmann::json::parse(json.out);
    ASSERT_EQ(rows.size(), 1u) << json.out;
    EXPECT_EQ(rows[0]["id_written"], "35712000000101");
    EXPECT_EQ(rows[0]["outcome"], "verify-failed");
    EXPECT_EQ(rows[0]["seconds"], 0.9) << "a number";
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);

    // A log that a line is still writing is not imported.
    const std::string busy = (folder_.Path() / "busy.csv").string();
    sim::VirtualTracker& quiet = AddTracker("35712001234567", false);
    const pid_t line = Spawn({"line", quiet.SlavePath(), "--profile", profile_, "--log", busy});
    ASSERT_TRUE(Until([&] {
        return test::Slurp(folder_ / "err").find("waiting for a tracker") != std::string::npos;
    }));
    const test::Outcome refused = Qx17ctl({"record", "import", connection_, busy});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_THAT(refused.err, testing::HasSubstr(busy + ": a qx17ctl line is using this log now"));
    kill(line, SIGKILL);
    Wait(line);
}

// The network goes silent in the middle of a line (no packet either way, no
// reset): a second Ctrl-C ends the line at once, whatever the record is
// doing, and says what the tracker holds; one SIGTERM ends it once the
// record's calls time out. The station's next start sends what waited, so
// every tracker has its row once.
TEST_F(RecordProgram, ASilentNetworkNeverHoldsTheLine) {
    std::string why;
    if (!tools::TcpRelay::CanGoSilent(why)) {
        GTEST_SKIP() << why;
    }
    tools::TcpRelay relay("127.0.0.1", std::stoi(test::RecordServerFile("port")));
    const std::string through_relay = tools::RelayedConnection(connection_, relay.Port()) +
                                      ";Pwd=" + test::RecordServerFile("line_password");
    enum class At { kTheClaim, kTheRow };
    const struct {
        const char* name;
        At at;
        std::vector<int> signals;
        int exit_code;
        const char* said;
    } cases[] = {
        {"Ctrl-C twice while the tracker waits for its claim",
         At::kTheClaim,
         {SIGINT, SIGINT},
         130,
         "not written: the line stopped while it waited for its claim"},
        {"Ctrl-C twice while its row is sent",
         At::kTheRow,
         {SIGINT, SIGINT},
         6,
         "tracker row(s) wait in"},
        {"SIGTERM while the tracker waits for its claim",
         At::kTheClaim,
         {SIGTERM},
         6,
         "It holds its own ID 35712001234567, as it came"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::VirtualTracker& tracker = AddTracker("35712001234567", c.at == At::kTheRow);
        std::vector<std::string> args = Line(tracker);
        args[5] = through_relay;
        const pid_t line = Spawn(args);
        if (c.at == At::kTheClaim) {
            ASSERT_TRUE(Until([&] {
                return test::Slurp(folder_ / "err").find("waiting for a tracker") !=
                       std::string::npos;
            }));
            relay.Silent();
            tracker.Announce();
            ASSERT_TRUE(tracker.WaitFor(Is(Event::kReadReply), 10s));
            std::this_thread::sleep_for(500ms);  // its claim is on its way
        } else {
            // Claimed, and slow to write: silent before its row is sent.
            tracker.SetReplyDelay(300ms);
            ASSERT_TRUE(tracker.WaitFor(Is(Event::kWrite), 20s));
            relay.Silent();
            ASSERT_TRUE(tracker.WaitFor(Is(Event::kReadReply), 20s, 2));  // the read-back
            std::this_thread::sleep_for(500ms);                           // its row is on its way
        }
        for (const int signal : c.signals) {
            kill(line, signal);
            std::this_thread::sleep_for(200ms);
        }
        const auto signalled = std::chrono::steady_clock::now();
        const test::Outcome ended = Wait(line, 40s);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        EXPECT_EQ(ended.exit_code, c.exit_code) << ended.err;
        EXPECT_THAT(ended.err, testing::HasSubstr(c.said));
        if (c.signals.size() == 2) {
            EXPECT_LT(took, 5.0) << "the second Ctrl-C did not end the line at once";
        }
        std::cerr << c.name << ": ended " << took << " s after the last signal\n";
        relay.Pass();
        // The station's next start sends what waited.
        sim::VirtualTracker& next = AddTracker("35712001234599");
        const test::Outcome restart = Wait(Spawn(Line(next)));
        EXPECT_EQ(restart.exit_code, 0) << restart.err;
    }
    EXPECT_EQ(Count("SELECT count(*) FROM (SELECT id_written FROM trackers WHERE outcome = 'ok' "
                    "GROUP BY id_written HAVING count(*) > 1) twice"),
              "0");
    EXPECT_EQ(Count("SELECT count(*) FROM trackers WHERE outcome = 'ok'"), "4")
        << "the row that waited, and the three next trackers'";
    EXPECT_EQ(Count("SELECT count(*) FROM claims WHERE NOT settled"), "0");
}

// The record going away while a tracker waits for its claim, and coming
// back: one event each for machines (and one header line and one message
// on the board), not the driver's reason again and again.
TEST_F(RecordProgram, TheRecordsGoingAndReturnAreOneEventEach) {
    tools::TcpRelay relay("127.0.0.1", std::stoi(test::RecordServerFile("port")));
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    std::vector<std::string> args = Line(tracker);
    args[5] = tools::RelayedConnection(connection_, relay.Port()) +
              ";Pwd=" + test::RecordServerFile("line_password");
    args.push_back("--json");
    const pid_t line = Spawn(args);
    ASSERT_TRUE(Until(
        [&] { return test::Slurp(folder_ / "out").find("\"line-start\"") != std::string::npos; }));
    relay.Cut();  // the server's connection reset: away at once
    tracker.Announce();
    ASSERT_TRUE(Until(
        [&] { return test::Slurp(folder_ / "out").find("\"record-away\"") != std::string::npos; }));
    std::this_thread::sleep_for(2s);  // several tries meanwhile
    relay.Pass();
    const test::Outcome ended = Wait(line, 60s);
    EXPECT_EQ(ended.exit_code, 0) << ended.err;
    const auto count = [&](const std::string& event) {
        std::size_t n = 0;
        for (std::size_t at = 0;
             (at = ended.out.find("\"event\":\"" + event + "\"", at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("record-away"), 1u) << ended.out;
    EXPECT_EQ(count("record-back"), 1u) << ended.out;
    EXPECT_EQ(count("tracker-end"), 1u) << ended.out;
    EXPECT_LT(ended.out.find("\"record-away\""), ended.out.find("\"record-back\""));
    EXPECT_LT(ended.out.find("\"record-back\""), ended.out.find("\"tracker-end\""));
}

// One station runs once: a second line of it on this computer is told the
// first one's pid, one while it runs on another computer that computer's
// name. A station cut off from the server in the middle of a tracker and
// then switched off (the server still holds its session) has its claim
// settled as interrupted at its next start, which ends that session.
TEST_F(RecordProgram, AStationRunsOnceAndItsStaleSessionIsSettled) {
    sim::VirtualTracker& waiting = AddTracker("35712001234567", false);
    const pid_t first = Spawn(Line(waiting));
    ASSERT_TRUE(Until([&] {
        return test::Slurp(folder_ / "err").find("waiting for a tracker") != std::string::npos;
    }));
    sim::VirtualTracker& second = AddTracker("35712001234568", false);
    const test::Outcome refused = Qx17ctl(Line(second));
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_THAT(refused.err, testing::HasSubstr("station A already runs here (qx17ctl, pid " +
                                                std::to_string(first) + ")"));
    kill(first, SIGKILL);
    Wait(first);

    // Station B, live on another computer: its session holds its lock.
    odbc::Connection other(connection_);
    odbc::Query(other, "INSERT INTO stations (name) VALUES ('B')");
    odbc::Query(other, "SELECT pg_advisory_lock(424242)");
    odbc::Query(other,
                "INSERT INTO sessions (owner_key, station_id, host, pid, boot) SELECT 424242, "
                "station_id, 'assembly-pc-7', 4242, 'its boot' FROM stations WHERE name = 'B'");
    other.Commit();
    std::vector<std::string> b = Line(second);
    b[7] = "B";
    const test::Outcome elsewhere = Qx17ctl(b);
    EXPECT_EQ(elsewhere.exit_code, 2);
    EXPECT_THAT(elsewhere.err, testing::HasSubstr("station B runs on host assembly-pc-7"));

    std::string why;
    if (!tools::TcpRelay::CanGoSilent(why)) {
        GTEST_SKIP() << why;
    }
    tools::TcpRelay relay("127.0.0.1", std::stoi(test::RecordServerFile("port")));
    sim::VirtualTracker& cut_off = AddTracker();
    cut_off.SetReplyDelay(300ms);  // its write outlasts the silence's coming
    std::vector<std::string> args = Line(cut_off);
    args[5] = tools::RelayedConnection(connection_, relay.Port()) +
              ";Pwd=" + test::RecordServerFile("line_password");
    const pid_t station = Spawn(args);
    ASSERT_TRUE(cut_off.WaitFor(Is(Event::kWrite), 20s)) << "its claim is made";
    relay.Silent();
    kill(station, SIGKILL);  // switched off, while nothing gets through
    Wait(station);
    EXPECT_EQ(Count("SELECT count(*) FROM claims WHERE NOT settled"), "1");
    sim::VirtualTracker& next = AddTracker("35712001234599");
    const test::Outcome restart = Qx17ctl(Line(next));
    EXPECT_EQ(restart.exit_code, 0) << restart.err;
    EXPECT_EQ(Count("SELECT count(*) FROM claims WHERE NOT settled"), "0");
    EXPECT_EQ(RowsOf(cut_off),
              (std::vector<std::pair<std::string, std::string>>{{"interrupted", "0700"}}));
}

// What a role may not do is told as the server's refusal with the grant
// that is missing, never as a record that cannot be reached. A read-only
// role lists the record, showing the claims of a station that is gone as
// interrupted without settling them. A line whose --id-start the record
// refuses to check ends with 6, not 2.
TEST_F(RecordProgram, ARoleIsToldWhatItMayNotDo) {
    ASSERT_EQ(Qx17ctl({"record", connection_}).exit_code, 0) << "the tables, made by their owner";
    sim::VirtualTracker& killed = AddTracker();
    const pid_t line = Spawn(Line(killed));
    ASSERT_TRUE(killed.WaitFor(Is(Event::kWrite), 20s));
    kill(line, SIGKILL);
    Wait(line);
    const std::string db = Database();
    AsAdmin({"CREATE ROLE " + db + "_reader LOGIN PASSWORD '" + db + "_reader'",
             "CREATE ROLE " + db + "_bare LOGIN PASSWORD '" + db + "_bare'",
             "CREATE ROLE " + db + "_blind LOGIN PASSWORD '" + db + "_blind'",
             "GRANT SELECT ON ALL TABLES IN SCHEMA public TO " + db + "_reader",
             "GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA public TO " + db + "_blind",
             "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO " + db + "_blind",
             "REVOKE SELECT ON trackers FROM " + db + "_blind"});
    sim::VirtualTracker& tracker = AddTracker();
    std::vector<std::string> blind = Line(tracker);
    blind[5] = As(db + "_blind");
    blind[7] = "C";
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        std::vector<std::string> said;  // on stderr, or on stdout for a listing
    } cases[] = {
        {"a reader lists", {"record", As(db + "_reader"), "--csv"}, 0, {",interrupted,"}},
        {"a role without a grant",
         {"record", As(db + "_bare")},
         6,
         {"the server refused: ", "permission denied for table qx17_schema",
          "GRANT SELECT ON qx17_schema TO " + db + "_bare"}},
        {"a line that may not read the rows",
         blind,
         6,
         {"permission denied for table trackers",
          "GRANT SELECT, INSERT, UPDATE ON trackers TO " + db + "_blind"}},
    };
    for (const auto& c : cases) {
        const test::Outcome run = Qx17ctl(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << "\n" << run.err;
        for (const std::string& part : c.said) {
            EXPECT_THAT(run.out + run.err, testing::HasSubstr(part)) << c.name;
        }
        EXPECT_THAT(run.err, testing::Not(testing::HasSubstr("cannot be reached"))) << c.name;
    }
    EXPECT_EQ(Count("SELECT count(*) FROM claims WHERE NOT settled"), "1")
        << "the reader settled nothing";
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);
}

}  // namespace
}  // namespace qx17::ctl
