// qx17ctl line on the shared record, killed at each step of a tracker and
// started again: no ID is given twice, and the killed tracker's claim is an
// interrupted row once its station starts again.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// A record that cannot be reached stops the line before any tracker is
// answered, with 6 and the server's reason, never the password.
TEST_F(RecordProgram, ARecordThatCannotBeReachedIsSixWithTheReason) {
    sim::VirtualTracker& tracker = AddTracker();
    std::vector<std::string> args = Line(tracker);
    args[5] = connection_ + ";Pwd=wrong-s3cret";
    const test::Outcome outcome = Qx17ctl(args);
    EXPECT_EQ(outcome.exit_code, 6);
    EXPECT_THAT(outcome.err, testing::HasSubstr("the record cannot be reached"));
    EXPECT_THAT(outcome.err, testing::HasSubstr("password authentication failed"));
    EXPECT_THAT(outcome.err, testing::Not(testing::HasSubstr("wrong-s3cret")));
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 0u);
}

}  // namespace
}  // namespace qx17::ctl
