// The shared record on a real PostgreSQL server, each test on a database of
// its own: one ID sequence for every station, whatever their timing; a
// claim whose process is gone becomes an interrupted row; rows come back
// exactly and by their filters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include <sstream>

#include "ctl/commands/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/line/line_log.h"
#include "ctl/output/progress.h"
#include "ctl/record/log_import.h"
#include "ctl/record/odbc.h"
#include "ctl/record/shared_record.h"
#include "tests/ctl/record_server.h"

namespace qx17::ctl {
namespace {

using testing::ElementsAre;

class Shared : public testing::Test {
  protected:
    void SetUp() override {
        if (test::RecordServerFolder().empty()) {
            GTEST_SKIP() << "no record server (QX17_RECORD_SERVER)";
        }
        connection_ = test::FreshRecordDatabase();
    }
    std::unique_ptr<SharedRecord> Open(const std::string& station,
                                       const std::string& profile = "REGEDIT4\r\n") {
        std::string error;
        auto record = SharedRecord::Open(connection_, station, profile, error);
        EXPECT_TRUE(record) << error;
        return record;
    }
    static LogRow Row(const std::string& port, const std::string& id_before = "35712001234567") {
        LogRow row;
        row.time = std::chrono::system_clock::now();
        row.port = port;
        row.id_before = id_before;
        return row;
    }
    // The test's database, and statements run in it by the server's superuser.
    std::string Database() const {
        const std::size_t at = connection_.find("Database=") + 9;
        return connection_.substr(at, connection_.find(';', at) - at);
    }
    void AsAdmin(const std::vector<std::string>& statements) const {
        std::string admin = test::RecordServerFile("admin");
        const std::string qx17 = "Database=qx17";
        admin.replace(admin.find(qx17), qx17.size(), "Database=" + Database());
        odbc::Connection db(admin, true);  // no transaction
        for (const std::string& sql : statements) {
            odbc::Statement(db, sql).Execute();
        }
    }
    std::string connection_;
};

// Eight processes' worth of connections, two stations, claiming at once.
TEST_F(Shared, StationsClaimingAtOnceAreNeverGivenOneId) {
    constexpr std::size_t kClaimers = 8;
    constexpr std::size_t kEach = 25;
    std::vector<std::unique_ptr<SharedRecord>> records;
    for (std::size_t i = 0; i < kClaimers; ++i) {
        records.push_back(Open(i % 2 == 0 ? "A" : "B"));
        std::string error;
        ASSERT_TRUE(records.back()->GiveIds("00000900", false, error)) << error;
    }
    std::vector<std::vector<std::string>> ids(kClaimers);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kClaimers; ++i) {
        threads.emplace_back([&, i] {
            for (std::size_t n = 0; n < kEach; ++n) {
                LogRow row = Row("COM" + std::to_string(i + 1));
                std::string claim;
                std::string error;
                ASSERT_EQ(records[i]->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed)
                    << error;
                ids[i].push_back(row.id_written);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<std::string> all;
    for (const auto& claimed : ids) {
        all.insert(claimed.begin(), claimed.end());
    }
    ASSERT_EQ(all.size(), kClaimers * kEach) << "an ID given twice";
    EXPECT_EQ(*all.begin(), "00000900");
    EXPECT_EQ(*all.rbegin(), "00001099") << "no ID skipped, the start's digits kept";
}

// A process that claimed and went (a kill, a crash): at its station's next
// start the claim is an interrupted row and its ID is never given again; a
// live process's claim is left alone.
TEST_F(Shared, AClaimWhoseProcessIsGoneBecomesAnInterruptedRow) {
    std::string error;
    std::string claim;
    auto alive = Open("B");
    ASSERT_TRUE(alive->GiveIds("0900", false, error));
    LogRow working = Row("COM2");
    ASSERT_EQ(alive->Claim(working, claim, error), LineRecord::ClaimResult::kClaimed);
    {
        auto killed = Open("A");
        ASSERT_TRUE(killed->GiveIds("0900", false, error));
        LogRow lost = Row("COM1", "111");
        ASSERT_EQ(killed->Claim(lost, claim, error), LineRecord::ClaimResult::kClaimed);
        EXPECT_EQ(lost.id_written, "0901");
    }  // its connection, and with it its lock, ends here
    auto restarted = Open("A");
    ASSERT_TRUE(restarted->GiveIds("0900", false, error));
    const std::vector<RecordRow> rows = restarted->Rows({});
    ASSERT_EQ(rows.size(), 1u) << "the live station's claim is no row yet";
    EXPECT_EQ(rows[0].station, "A");
    EXPECT_EQ(rows[0].outcome, "interrupted");
    EXPECT_EQ(rows[0].id_written, "0901");
    EXPECT_EQ(rows[0].id_before, "111");
    LogRow next = Row("COM1");
    ASSERT_EQ(restarted->Claim(next, claim, error), LineRecord::ClaimResult::kClaimed);
    EXPECT_EQ(next.id_written, "0902");
    restarted->SettleDeadClaims();
    EXPECT_EQ(restarted->Rows({}).size(), 1u);
}

// What goes in comes back exactly, by each filter; --ids lists the IDs
// written and verified.
TEST_F(Shared, RowsComeBackExactlyAndByTheirFilters) {
    const std::string station = "line 3; it's \"B\" \\ east";
    const std::string profile = "REGEDIT4\r\n\"APN\"=\"a;b'c\\\\d\"\r\n" + std::string(1, '\0');
    AsAdmin({"ALTER DATABASE " + Database() + " SET timezone TO 'America/New_York'"});
    auto record = Open(station, profile);
    std::string error;
    ASSERT_TRUE(record->GiveIds("0900", false, error));
    const char* outcomes[] = {"ok", "verify-failed", "ok", "refused"};
    // Trackers of a morning long past, as rows sent late from the outbox are:
    // started and finished are their own times, not the time they arrive.
    const auto morning =
        std::chrono::system_clock::from_time_t(1767236645);  // 2026-01-01T03:04:05Z
    for (const char* outcome : outcomes) {
        LogRow row = Row("COM1");
        row.time = morning;
        std::string claim;
        ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed) << error;
        row.outcome = outcome;
        row.seconds = 1.5;
        if (row.outcome == "verify-failed") {
            row.differences = {"APN", "IP"};
        }
        ASSERT_TRUE(record->Append(row, claim, error)) << error;
    }
    const std::vector<RecordRow> rows = record->Rows({});
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].station, station);
    EXPECT_EQ(rows[1].differences, "APN;IP");
    EXPECT_EQ(rows[0].started, "2026-01-01T03:04:05Z");
    EXPECT_EQ(rows[0].finished, "2026-01-01T03:04:06Z");
    EXPECT_EQ(rows[0].profile_sha256.size(), 64u);
    EXPECT_EQ(rows[0].profile_sha256, record->ProfileHash());
    {
        odbc::Connection db(connection_);
        EXPECT_EQ(
            odbc::Query(db, "SELECT content = ? FROM profiles", {odbc::Value::Bytes(profile)}),
            std::vector<std::optional<std::string>>{"1"})
            << "the profile's bytes, exactly";
    }
    const auto where = [](std::optional<std::string> RecordFilter::*field, std::string value) {
        RecordFilter filter;
        filter.*field = std::move(value);
        return filter;
    };
    EXPECT_EQ(record->Rows(where(&RecordFilter::outcome, "ok")).size(), 2u);
    EXPECT_EQ(record->Rows(where(&RecordFilter::id, "902")).at(0).id_written, "0902");
    EXPECT_EQ(record->Rows(where(&RecordFilter::station, station)).size(), 4u);
    EXPECT_TRUE(record->Rows(where(&RecordFilter::station, "another")).empty());
    for (const auto& [since, rows_found] : std::vector<std::pair<std::string, std::size_t>>{
             {"2026-01-01T03:04:05Z", 4},
             {"2026-01-01T03:04:06Z", 0},
             {"2026-01-01T03:04:05", 4},  // no zone: UTC, whatever the server's zone
             {"2026-01-01T04:04:05+01:00", 4},
             {"2026-01-01T03:04:06", 0}}) {
        EXPECT_EQ(record->Rows(where(&RecordFilter::since, since)).size(), rows_found) << since;
    }
    EXPECT_THAT(record->VerifiedIds(), ElementsAre("0900", "0902"));
}

// The log and the shared record alike: a tracker that comes back holding an
// ID they gave it, and the profile, keeps it (a look-alike holding only the
// ID does not), and a start that does not continue the IDs given out is
// refused unless another series is asked for.
TEST_F(Shared, ATrackerThatComesBackKeepsItsIdAndAStartMustContinueTheSeries) {
    const std::filesystem::path log =
        std::filesystem::temp_directory_path() /
        ("qx17-keeps-" + std::to_string(std::random_device()()) + ".csv");
    struct Removed {
        std::filesystem::path log;
        ~Removed() {
            std::error_code error;
            std::filesystem::remove(log, error);
            std::filesystem::remove(log.string() + ".claims", error);
        }
    } removed{log};
    const std::function<std::unique_ptr<LineRecord>()> opens[] = {
        [&]() -> std::unique_ptr<LineRecord> { return Open("keeps"); },
        [&]() -> std::unique_ptr<LineRecord> {
            std::string error;
            LineLog::Failure failure;
            return LineLog::Open(log, error, failure);
        },
    };
    for (const auto& open : opens) {
        std::string error;
        {
            // A line that gave no IDs: its tracker kept the 0900 it came with.
            const std::unique_ptr<LineRecord> record = open();
            LogRow row = Row("COM1", "0900");
            row.id_written = "0900";
            std::string claim;
            ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed);
            row.outcome = "ok";
            ASSERT_TRUE(record->Append(row, claim, error)) << error;
        }
        {
            const std::unique_ptr<LineRecord> record = open();
            ASSERT_TRUE(record && record->GiveIds("0900", false, error)) << error;
            std::vector<std::string> written;
            // A new tracker; the same one back, holding the profile; a fresh
            // tracker whose factory ID is the one given (it does not hold
            // the profile): one of its own; the tracker that only kept its
            // ID: no row gave it 0900, so it gets one of its own too.
            const struct {
                const char* before;
                bool holds_profile;
            } trackers[] = {
                {"35712001234567", false}, {"0901", true}, {"0901", false}, {"0900", true}};
            for (const auto& t : trackers) {
                LogRow row = Row("COM1", t.before);
                row.holds_profile = t.holds_profile;
                std::string claim;
                ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed);
                row.outcome = "ok";
                ASSERT_TRUE(record->Append(row, claim, error)) << error;
                written.push_back(row.id_written);
            }
            EXPECT_THAT(written, ElementsAre("0901", "0901", "0902", "0903"));
        }
        const struct {
            const char* start;
            bool new_series;
            const char* refused;  // "" when taken
        } starts[] = {
            {"100", false, "--id-start 100 has 3 digits, the IDs given out so far 4 (from 0901)"},
            {"0800", false, "--id-start 0800 would give out 0800, below the IDs given out so far"},
            {"0800", true, ""},
            {"0900", false, ""},  // 0900 is used: the sequence goes on at 0904
            {"0950", false, ""},
        };
        for (const auto& c : starts) {
            const std::unique_ptr<LineRecord> record = open();
            error.clear();
            EXPECT_EQ(record->GiveIds(c.start, c.new_series, error), *c.refused == '\0') << c.start;
            EXPECT_THAT(error, testing::HasSubstr(c.refused)) << c.start;
        }
    }
}

// A station's CSV log into the record, with its claims: each tracker comes
// in once whatever brought it in before (an earlier import, or the line
// itself on the record), open claims come in as interrupted rows, every ID
// counts as used, an ID given to another tracker in the record is named
// with both, and a log that cannot be read exactly adds nothing.
TEST_F(Shared, AnImportAddsEachTrackerOnceAndNamesAnIdGivenTwice) {
    const auto import = [](SharedRecord& record, const std::string& log, const std::string& claims,
                           std::size_t& added, std::vector<std::string>& conflicts,
                           std::string& error) {
        std::vector<ImportedRow> rows;
        return ReadLogForImport(log, claims, "old.csv", "old.csv.claims", rows, error) &&
               record.Import(rows, added, conflicts, error);
    };
    // A station that ran on the record gave 0900 and 0901; its --log copy
    // holds the same rows.
    auto line = Open("line 3");
    std::string error;
    ASSERT_TRUE(line->GiveIds("0900", false, error));
    std::string copy = std::string(kLogHeader);
    for (const char* outcome : {"ok", "verify-failed"}) {
        LogRow row = Row("COM1");
        std::string claim;
        ASSERT_EQ(line->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed);
        row.outcome = outcome;
        row.seconds = 0.5;
        ASSERT_TRUE(line->Append(row, claim, error)) << error;
        copy += UtcTimestamp(row.time) + ",COM1," + row.id_before + "," + row.id_written + "," +
                outcome + ",,0.5\n";
    }
    // An older line of another station: columns in its own order, a port
    // with a comma, a claim that ended in a row, one left open by a kill,
    // and one torn by it.
    const std::string old_log =
        "outcome,time,port,id_before,id_written,differences,seconds\r\n"
        "ok,2026-12-08T10:00:00Z,COM1,1,0905,,0.6\r\n"
        "verify-failed,2026-12-08T10:00:02Z,\"CO,M2\",2,0906,APN;IP,0.7\r\n";
    const std::string old_claims =
        "claim,a1,2026-12-08T10:00:00Z,COM1,1,0905\ndone,a1\n"
        "claim,b2,2026-12-08T10:00:04Z,COM1,3,0907\nclaim,c3,2026-12-08T10:00:09Z,COM1,4,09";
    const struct {
        const char* name;
        const char* station;
        std::string log;
        std::string claims;
        std::size_t added;
        std::size_t conflicts;
    } cases[] = {
        {"an old log and its open claim", "old line", old_log, old_claims, 3, 0},
        {"the same again", "old line", old_log, old_claims, 0, 0},
        {"the --log copy of a line on the record", "line 3", copy, "", 0, 0},
        {"that copy under another station's name", "not line 3", copy, "", 2, 2},
    };
    for (const auto& c : cases) {
        auto record = Open(c.station);
        std::size_t added = 99;
        std::vector<std::string> conflicts;
        ASSERT_TRUE(import(*record, c.log, c.claims, added, conflicts, error)) << c.name << error;
        EXPECT_EQ(added, c.added) << c.name;
        ASSERT_EQ(conflicts.size(), c.conflicts) << c.name;
        if (!conflicts.empty()) {
            EXPECT_THAT(conflicts[0], testing::HasSubstr("ID 0900, given here to tracker "
                                                         "35712001234567"));
            EXPECT_THAT(conflicts[0], testing::HasSubstr("station line 3, port COM1"));
        }
    }
    const auto rows = line->Rows({});
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[1].port, "CO,M2");
    EXPECT_EQ(rows[1].differences, "APN;IP");
    EXPECT_EQ(rows[1].station, "old line");
    EXPECT_EQ(rows[2].outcome, "interrupted") << "the open claim";
    EXPECT_EQ(rows[2].id_written, "0907");
    for (const char* expected : {"0902", "0903", "0904", "0908"}) {
        LogRow row = Row("COM1");
        std::string claim;
        ASSERT_EQ(line->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed);
        EXPECT_EQ(row.id_written, expected) << "the imported IDs are used";
    }
    auto record = Open("old line");
    for (const std::string& bad :
         {std::string("time,port\n"), old_log + "2026-12-08T10:00:06Z,COM1,4,3.5712E+13,ok,,0.6\n",
          old_log + "not a time,COM1,4,0909,ok,,0.6\n"}) {
        std::size_t added = 0;
        std::vector<std::string> conflicts;
        EXPECT_FALSE(import(*record, bad, "", added, conflicts, error));
        EXPECT_EQ(error.rfind("old.csv:", 0), 0u) << error;
    }
    EXPECT_EQ(record->Rows({}).size(), 7u) << "nothing of a refused log";
}

// qx17ctl record: the rows as CSV or JSON, the verified IDs, and exit 6 with
// the server's reason for a record it cannot reach.
TEST_F(Shared, TheRecordCommandPrintsTheRowsOrTheVerifiedIds) {
    auto record = Open("A \"east\", 2");
    std::string error;
    ASSERT_TRUE(record->GiveIds("35712000000900", false, error));
    for (const char* outcome : {"ok", "refused", "verify-failed"}) {
        LogRow row = Row("COM1");
        std::string claim;
        ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed);
        row.outcome = outcome;
        row.seconds = 12.345;
        if (row.outcome == "verify-failed") {
            row.differences = {"APN", "IP"};
        }
        ASSERT_TRUE(record->Append(row, claim, error)) << error;
    }
    std::vector<std::string> said;
    Progress progress(false, [&said](const std::string& line) { said.push_back(line); });
    std::ostringstream csv;
    ASSERT_EQ(RecordCommand(connection_, {}, RecordFormat::kCsv, progress, csv), kExitDone);
    EXPECT_THAT(csv.str(), testing::StartsWith("station,port,started,finished,id_before,"
                                               "id_written,outcome,differences,seconds,"
                                               "profile_sha256\n\"A \"\"east\"\", 2\",COM1,"));
    std::ostringstream json;
    ASSERT_EQ(RecordCommand(connection_, {}, RecordFormat::kJson, progress, json), kExitDone);
    const nlohmann::json rows = nlohmann::json::parse(json.str());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1]["outcome"], "refused");
    EXPECT_EQ(rows[0]["station"], "A \"east\", 2");
    EXPECT_EQ(rows[0]["seconds"], 12.345) << "a number";
    // On a terminal: a row of 14-digit IDs, with what differed, in 100 columns.
    std::ostringstream table;
    ASSERT_EQ(RecordCommand(connection_, {}, RecordFormat::kTable, progress, table), kExitDone);
    std::istringstream lines(table.str());
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_LE(line.size(), 100u) << line;
    }
    EXPECT_EQ(count, 5u) << "the heading, the date, three rows";
    EXPECT_THAT(table.str(), testing::HasSubstr("  12.3  "));
    EXPECT_THAT(table.str(), testing::HasSubstr("verify-failed: APN;IP"));
    std::ostringstream ids;
    ASSERT_EQ(RecordCommand(connection_, {}, RecordFormat::kIds, progress, ids), kExitDone);
    EXPECT_EQ(ids.str(), "35712000000900\n");
    std::ostringstream none;
    EXPECT_EQ(RecordCommand(connection_ + ";Pwd=wrong", {}, RecordFormat::kCsv, progress, none),
              kExitRecord);
    EXPECT_THAT(said.back(), testing::HasSubstr("password authentication failed"));
    EXPECT_THAT(said.back(), testing::Not(testing::HasSubstr("wrong")));
}

// The tables are made once; a record newer than this program is refused.
// Once the tables exist, a line's role granted no more than docs/qx17ctl.md
// grants it opens the record, claims, writes its row and reads it back.
TEST_F(Shared, ALineRoleWithOnlyItsGrantsUsesAMadeRecord) {
    Open("A");  // the database's owner makes the tables
    const std::string role = Database() + "_line";
    AsAdmin({"CREATE ROLE " + role + " LOGIN PASSWORD 'granted-only'",
             "GRANT CONNECT ON DATABASE " + Database() + " TO " + role,
             "GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA public TO " + role,
             "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO " + role});
    connection_.replace(connection_.find("Uid=line"), 8, "Uid=" + role + ";Pwd=granted-only");
    auto record = Open("B", "REGEDIT4\r\n\"APN\"=\"b\"\r\n");
    ASSERT_TRUE(record);
    std::string error;
    ASSERT_TRUE(record->GiveIds("0100", false, error)) << error;
    LogRow row = Row("COM2");
    std::string claim;
    ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed) << error;
    row.outcome = "ok";
    ASSERT_TRUE(record->Append(row, claim, error)) << error;
    EXPECT_THAT(record->VerifiedIds(), ElementsAre("0100"));
}

TEST_F(Shared, TheSchemaIsMadeOnceAndANewerOneIsRefused) {
    Open("A");
    Open("A");
    {
        odbc::Connection db(connection_);
        EXPECT_EQ(odbc::Query(db, "SELECT version FROM qx17_schema"),
                  std::vector<std::optional<std::string>>{"2"});
        odbc::Statement(db, "UPDATE qx17_schema SET version = 99").Execute();
        db.Commit();
    }
    std::string error;
    EXPECT_FALSE(SharedRecord::Open(connection_, "A", "", error));
    EXPECT_NE(error.find("newer than this qx17ctl knows"), std::string::npos) << error;
}

// What waits in a station's outbox reaches the record once and as it was:
// a line a power cut tore is cut off when the outbox is opened (the next row
// does not join it), a line that cannot be read stays and is named, a row
// keeps the profile of its own tracker, a row sent again after a crash
// between sending and clearing is kept once, with or without a claim, and a
// row whose claim the record no longer has (a database restored from a
// copy) is sent without it, its ID used and the file named.
TEST_F(Shared, WhatWaitsInTheOutboxArrivesOnceAsItWas) {
    const std::filesystem::path outbox =
        std::filesystem::temp_directory_path() /
        ("qx17-outbox-" + std::to_string(std::random_device()()) + ".outbox");
    struct Removed {
        std::filesystem::path file;
        ~Removed() {
            std::error_code error;
            std::filesystem::remove(file, error);
            std::filesystem::remove(file.string() + ".unreadable", error);
        }
    } removed{outbox};
    const auto slurp = [&] {
        std::ifstream in(outbox, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::vector<std::string> notices;
    const auto Joined = [](const std::vector<std::string>& lines) {
        std::string all;
        for (const std::string& line : lines) {
            all += line + "\n";
        }
        return all;
    };
    const auto open = [&](const std::string& profile) {
        RecordOptions options;
        options.connection = connection_;
        options.station = "A";
        options.use = RecordUse::kLine;
        options.profile = profile;
        options.outbox = outbox;
        options.notice = [&](const std::string& text) { notices.push_back(text); };
        std::string error;
        RecordFailure failure;
        auto record = SharedRecord::Open(options, error, failure);
        EXPECT_TRUE(record) << error;
        return record;
    };
    std::string error;
    std::string first_profile;
    {
        auto record = open("profile one");
        first_profile = record->ProfileHash();
        ASSERT_TRUE(record->GiveIds("0900", false, error));
        LogRow claimed = Row("COM1");
        std::string claim;
        ASSERT_EQ(record->Claim(claimed, claim, error), LineRecord::ClaimResult::kClaimed);
        claimed.outcome = "ok";
        claimed.seconds = 1.5;
        LogRow timed_out = Row("COM2", "35712007654321");
        timed_out.outcome = "timeout";
        LogRow restored = Row("COM3", "35712001111111");
        restored.id_written = "0990";
        restored.outcome = "ok";
        for (const auto& [row, of] :
             {std::pair{claimed, claim}, std::pair{timed_out, std::string()},
              std::pair{restored, std::string("999999")}}) {
            ASSERT_TRUE(record->KeepForLater(row, of, error)) << error;
        }
    }
    const std::string kept = slurp();
    // A power cut in the middle of the next line.
    std::ofstream(outbox, std::ios::binary | std::ios::app) << "1,1765000000,CO";
    {
        auto record = open("profile two");
        LogRow late = Row("COM4", "35712002222222");
        late.outcome = "refused";
        ASSERT_TRUE(record->KeepForLater(late, "", error)) << error;  // after the cut
        EXPECT_THAT(record->WaitingOnDisk(), testing::HasSubstr("1 tracker row(s) wait in"));
        EXPECT_THAT(Joined(notices),
                    testing::HasSubstr(outbox.string() + ": the row of tracker 35712001111111 (ID "
                                                         "0990) belongs to claim 999999, which the "
                                                         "record does not have"));
    }
    // A crash between sending and clearing: the same rows again, and a line
    // that cannot be read.
    std::ofstream(outbox, std::ios::binary | std::ios::app) << kept << "not,a,row\n";
    notices.clear();
    auto record = open("profile two");
    EXPECT_EQ(record->WaitingOnDisk(),
              "1 line(s) that cannot be read in " + outbox.string() + ".unreadable")
        << "the line that cannot be read waits, set aside";
    EXPECT_THAT(Joined(notices),
                testing::HasSubstr(outbox.string() + ": line(s) 5 cannot be read: moved to"));

    std::map<std::string, RecordRow> by_port;
    for (const RecordRow& row : record->Rows({})) {
        EXPECT_TRUE(by_port.emplace(row.port, row).second) << "a row twice: " << row.port;
    }
    ASSERT_EQ(by_port.size(), 4u);
    EXPECT_EQ(by_port["COM1"].outcome, "ok");
    EXPECT_EQ(by_port["COM1"].profile_sha256, first_profile) << "its own tracker's profile";
    EXPECT_EQ(by_port["COM2"].profile_sha256, first_profile);
    EXPECT_EQ(by_port["COM3"].id_written, "0990");
    EXPECT_EQ(by_port["COM4"].outcome, "refused");
    EXPECT_NE(by_port["COM4"].profile_sha256, first_profile);
    LogRow next = Row("COM1");
    std::string claim;
    ASSERT_TRUE(record->GiveIds("0989", true, error)) << error;
    ASSERT_EQ(record->Claim(next, claim, error), LineRecord::ClaimResult::kClaimed);
    EXPECT_EQ(next.id_written, "0989");
    ASSERT_EQ(record->Claim(next, claim, error), LineRecord::ClaimResult::kClaimed);
    EXPECT_EQ(next.id_written, "0991") << "the restored row's ID is used";
}

}  // namespace
}  // namespace qx17::ctl
