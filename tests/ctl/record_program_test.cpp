// qx17ctl line on the shared record, killed at each step of a tracker and
// started again: no ID is given twice, and the killed tracker's claim is an
// interrupted row once its station starts again. qx17ctl record and record
// import as scripts call them.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "ctl/record/odbc.h"
#include "tests/ctl/program_fixture.h"
#include "tests/ctl/record_server.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using sim::Event;
using sim::Is;

class RecordProgram : public test::ProgramTest {
  protected:
    void SetUp() override {
        if (test::RecordServerFolder().empty()) {
            GTEST_SKIP() << "no record server (QX17_RECORD_SERVER)";
        }
        connection_ = test::FreshRecordDatabase();
    }
    std::vector<std::string> Line(const sim::VirtualTracker& tracker) {
        return {"line",       tracker.SlavePath(),
                "--profile",  profile_,
                "--record",   connection_,
                "--station",  "A",
                "--id-start", "0700",
                "--count",    "1"};
    }
    // The first value `sql` finds; empty before the line made the tables.
    std::string Count(const std::string& sql) {
        try {
            odbc::Connection db(connection_);
            const auto found = odbc::Query(db, sql);
            return found.empty() ? "" : found[0].value_or("");
        } catch (const odbc::Error&) {
            return "";
        }
    }
    // The outcome and ID of each row of `tracker`'s port.
    std::vector<std::pair<std::string, std::string>> RowsOf(const sim::VirtualTracker& tracker) {
        odbc::Connection db(connection_);
        odbc::Statement select(db,
                               "SELECT outcome, id_written FROM trackers WHERE port = ? "
                               "ORDER BY row_id");
        select.Execute({odbc::Value::Text(tracker.SlavePath())});
        std::vector<std::pair<std::string, std::string>> rows;
        while (select.Fetch()) {
            rows.emplace_back(select.Column(1).value_or(""), select.Column(2).value_or(""));
        }
        return rows;
    }

    std::string connection_;
    std::string profile_ = Profile(test::TestProfile()).string();
};

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
    const test::Outcome json = Qx17ctl({"record", connection_, "--id", "35712000000101", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const nlohmann::json rows = nlohmann::json::parse(json.out);
    ASSERT_EQ(rows.size(), 1u) << json.out;
    EXPECT_EQ(rows[0]["id_written"], "35712000000101");
    EXPECT_EQ(rows[0]["outcome"], "verify-failed");
    EXPECT_EQ(rows[0]["seconds"], 0.9) << "a number";
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);
}

}  // namespace
}  // namespace qx17::ctl
