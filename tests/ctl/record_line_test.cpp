// Production lines on one shared record: stations on several ports each,
// virtual trackers replugged after every write, a real PostgreSQL server.
// No ID is given twice, and every tracker holds the ID its row says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "ctl/exit_codes.h"
#include "ctl/line/production_line.h"
#include "ctl/record/odbc.h"
#include "ctl/record/shared_record.h"
#include "params/text_conversions.h"
#include "tests/ctl/ctl_fixture.h"
#include "tests/ctl/record_server.h"
#include "tools/record_server/record_server.h"
#include "tools/tcp_relay/tcp_relay.h"
#include "tools/tracker_sim/sim_frame.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;

class RecordLine : public test::CtlTest {
  protected:
    void SetUp() override {
        if (test::RecordServerFolder().empty()) {
            GTEST_SKIP() << "no record server (QX17_RECORD_SERVER)";
        }
        connection_ = test::FreshRecordDatabase();
    }
    // A port whose trackers come one after the other: `n` of them.
    sim::VirtualTracker& AddLineOfTrackers(int n) {
        sim::Options options;
        options.announce_interval = 200ms;
        options.line_trackers = n;
        trackers_.push_back(std::make_unique<sim::VirtualTracker>(options));
        return *trackers_.back();
    }
    LineOptions Station(const std::string& name, std::size_t first, std::size_t ports, long count) {
        LineOptions options;
        for (std::size_t i = first; i < first + ports; ++i) {
            options.ports.push_back(trackers_[i]->SlavePath());
        }
        options.profile = test::TestProfile();
        options.profile_text = "the profile";
        options.record = connection_;
        options.station = name;
        options.id_start = "35712000000001";
        options.count = count;
        options.times = times_;
        return options;
    }
    // What each tracker of `tracker`'s line got as its ID, by the ID it came
    // with: the ID bytes of its write-all.
    static std::map<std::string, std::string> IdsWritten(const sim::VirtualTracker& tracker) {
        std::map<std::string, std::string> written;
        std::string current(sim::kDefaultTrackerId);
        for (const sim::LogEntry& entry : tracker.Log()) {
            if (entry.event == sim::Event::kReplug) {
                current = entry.note.substr(entry.note.rfind(' ') + 1);
            }
            const sim::Bytes payload = sim::PayloadOf(entry.bytes);
            if (entry.event == sim::Event::kWrite && payload.size() > 3 + 91 + 7 &&
                payload[1] == 0x00 && payload[2] == 0x10) {
                const std::string id(payload.begin() + 3 + 91, payload.begin() + 3 + 98);
                written[current] = PackedDigitsToText(id);
            }
        }
        return written;
    }
    std::string connection_;
};

// The rows told kept on the station's disk, and told sent at the record's
// return; the lines go on to `lines`.
class KeptAndSent : public Progress {
  public:
    explicit KeptAndSent(Progress& lines)
        : Progress(false, [&lines](const std::string& line) { lines.Message(line); }) {}
    void RowsWaiting(long rows) override {
        std::lock_guard lock(mutex_);
        kept_ += std::max(0L, rows - waiting_);
        waiting_ = rows;
    }
    void RecordBack(double, long rows_sent) override {
        std::lock_guard lock(mutex_);
        sent_ += rows_sent;
    }
    std::pair<long, long> Figures() {
        std::lock_guard lock(mutex_);
        return {kept_, sent_};
    }

  private:
    std::mutex mutex_;
    long waiting_ = 0;
    long kept_ = 0;
    long sent_ = 0;
};

// Two stations of three ports each, five trackers a port, at once.
TEST_F(RecordLine, TwoStationsOnOneRecordNeverGiveOneIdTwice) {
    for (int i = 0; i < 6; ++i) {
        AddLineOfTrackers(5);
    }
    std::future<int> a = std::async(
        std::launch::async, [&] { return RunProductionLine(Station("A", 0, 3, 15), progress_); });
    std::future<int> b = std::async(
        std::launch::async, [&] { return RunProductionLine(Station("B", 3, 3, 15), progress_); });
    ASSERT_EQ(a.wait_for(60s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(a.get(), kExitDone);
    EXPECT_EQ(b.get(), kExitDone);

    std::string error;
    auto record = SharedRecord::Open(connection_, "", "", error);
    ASSERT_TRUE(record) << error;
    const std::vector<RecordRow> rows = record->Rows({});
    ASSERT_EQ(rows.size(), 30u);
    std::set<std::string> ids;
    std::map<std::pair<std::string, std::string>, std::string> by_tracker;
    for (const RecordRow& row : rows) {
        EXPECT_EQ(row.outcome, "ok");
        ids.insert(row.id_written);
        by_tracker[{row.port, row.id_before}] = row.id_written;
    }
    EXPECT_EQ(ids.size(), 30u) << "an ID given twice";
    for (const auto& tracker : trackers_) {
        const std::map<std::string, std::string> written = IdsWritten(*tracker);
        ASSERT_EQ(written.size(), 5u);
        for (const auto& [id_before, id] : written) {
            EXPECT_EQ((by_tracker[{tracker->SlavePath(), id_before}]), id)
                << tracker->SlavePath() << " " << id_before;
        }
    }
}

// --log with --record: the station's CSV log gets the record's rows.
TEST_F(RecordLine, ALogGivenWithTheRecordGetsTheSameRows) {
    AddLineOfTrackers(3);
    LineOptions options = Station("A", 0, 1, 3);
    options.log = folder_ / "copy.csv";
    ASSERT_EQ(RunProductionLine(options, progress_), kExitDone);
    std::string error;
    auto record = SharedRecord::Open(connection_, "", "", error);
    ASSERT_TRUE(record) << error;
    std::vector<std::string> in_record;
    for (const RecordRow& row : record->Rows({})) {
        in_record.push_back(row.id_before + " " + row.id_written + " " + row.outcome);
    }
    std::vector<std::string> in_log;
    for (const auto& row : test::LogRows(*options.log)) {
        in_log.push_back(row[2] + " " + row[3] + " " + row[4]);
    }
    EXPECT_EQ(in_log, in_record);
    EXPECT_EQ(in_record.size(), 3u);
}

// Rows that could not reach the record before the line ended wait on the
// station's disk, the line ends with 6 and says where, and the station's
// next start sends them.
TEST_F(RecordLine, RowsThatWaitAtTheEndAreSentByTheNextStart) {
    tools::RecordServer server;
    const std::filesystem::path outbox = folder_ / "state" / "a.outbox";
    std::string error;
    auto record = SharedRecord::Open(server.Connection(), "A", "p", error, outbox);
    ASSERT_TRUE(record) << error;
    ASSERT_TRUE(record->GiveIds("0900", false, error));
    LogRow row;
    row.time = std::chrono::system_clock::now();
    row.port = "COM1";
    row.id_before = "1";
    std::string claim;
    ASSERT_EQ(record->Claim(row, claim, error), LineRecord::ClaimResult::kClaimed) << error;
    server.Halt();
    row.outcome = "ok";
    EXPECT_TRUE(record->Append(row, claim, error)) << error;
    EXPECT_EQ(record->RowsWaiting(), 1);
    EXPECT_FALSE(record->Finish(error));
    EXPECT_NE(error.find(outbox.string()), std::string::npos) << error;
    record.reset();
    server.Resume();
    auto next = SharedRecord::Open(server.Connection(), "A", "p", error, outbox);
    ASSERT_TRUE(next) << error;
    EXPECT_EQ(next->RowsWaiting(), 0);
    const std::vector<RecordRow> rows = next->Rows({});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, "ok") << "the row, not an interrupted claim";
    EXPECT_EQ(rows[0].id_written, "0900");
    EXPECT_TRUE(next->Finish(error)) << error;
}

// The server stops for a few seconds mid-line and starts again: no tracker
// is written without its claim, and every finished tracker's row arrives
// once, the ones that finished meanwhile from the station's outbox.
TEST_F(RecordLine, AServerThatGoesAwayAndComesBackLosesNothing) {
    tools::RecordServer server;
    for (int i = 0; i < 3; ++i) {
        AddLineOfTrackers(6);
        trackers_.back()->SetReplyDelay(20ms);
    }
    LineOptions options = Station("A", 0, 3, 18);
    options.record = server.Connection();
    options.outbox = folder_ / "state" / "a.outbox";
    std::future<int> line =
        std::async(std::launch::async, [&] { return RunProductionLine(options, progress_); });
    const auto done = [&] {
        int n = 0;
        for (const auto& tracker : trackers_) {
            n += tracker->TrackersDone();
        }
        return n;
    };
    for (int i = 0; i < 2000 && done() < 4; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    server.Halt();
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(Said("the record is away")) << "the progress line says so";
    server.Resume();
    ASSERT_EQ(line.wait_for(90s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitDone);
    for (const std::string& said : Lines()) {
        if (HasFailure() && said.find("record") != std::string::npos) {
            ADD_FAILURE() << said;
        }
    }

    std::string error;
    auto record = SharedRecord::Open(server.Connection(), "", "", error);
    ASSERT_TRUE(record) << error;
    std::map<std::pair<std::string, std::string>, std::string> by_tracker;
    std::set<std::string> ids;
    for (const RecordRow& row : record->Rows({})) {
        EXPECT_EQ(row.outcome, "ok");
        EXPECT_TRUE(
            by_tracker.emplace(std::make_pair(row.port, row.id_before), row.id_written).second)
            << "a row twice: " << row.port << " " << row.id_before;
        ids.insert(row.id_written);
    }
    EXPECT_EQ(by_tracker.size(), 18u);
    EXPECT_EQ(ids.size(), 18u);
    odbc::Connection db(server.Connection());
    for (const auto& tracker : trackers_) {
        for (const auto& [id_before, id] : IdsWritten(*tracker)) {
            EXPECT_EQ((by_tracker[{tracker->SlavePath(), id_before}]), id);
            odbc::Statement claimed(db, "SELECT count(*) FROM claims WHERE id_written = ?");
            claimed.Execute({odbc::Value::Text(id)});
            ASSERT_TRUE(claimed.Fetch());
            EXPECT_EQ(claimed.Column(1), "1") << id << " written without its claim";
        }
    }
    EXPECT_EQ(std::filesystem::file_size(options.outbox), 0u) << "the outbox was sent";
}

// A factory's network between the station and its server goes wrong at each
// moment of a tracker: it goes silent (no packet either way, no reset ever),
// it is cut on the station's side, or the server stops. The line says the
// record is away, goes on by itself once it is back, and loses nothing:
// every tracker's row arrives once, every ID is given once and claimed.
TEST_F(RecordLine, NetworkFaultsAtEveryMomentLoseNoRowAndGiveNoIdTwice) {
    tools::RecordServer server;
    const std::string& direct = server.Connection();
    const std::size_t port_at = direct.find("Port=") + 5;
    tools::TcpRelay relay("127.0.0.1",
                          std::stoi(direct.substr(port_at, direct.find(';', port_at) - port_at)));
    std::string no_silence;
    const bool silence = tools::TcpRelay::CanGoSilent(no_silence);
    enum class Fault { kSilent, kCut, kServerStopped };
    enum class Moment { kBeforeTheClaim, kBetweenClaimAndRow, kDuringTheRow };
    int n = 0;
    for (const Fault fault : {Fault::kSilent, Fault::kCut, Fault::kServerStopped}) {
        for (const Moment moment :
             {Moment::kBeforeTheClaim, Moment::kBetweenClaimAndRow, Moment::kDuringTheRow}) {
            const std::string name = "fault " + std::to_string(static_cast<int>(fault)) +
                                     " at moment " + std::to_string(static_cast<int>(moment));
            SCOPED_TRACE(name);
            ++n;
            if (fault == Fault::kSilent && !silence) {
                std::cerr << name << ": not run: " << no_silence << "\n";
                continue;
            }
            sim::Options trackers;
            trackers.announce = moment != Moment::kBeforeTheClaim;
            trackers.announce_interval = 200ms;
            trackers.line_trackers = 2;
            trackers_.push_back(std::make_unique<sim::VirtualTracker>(trackers));
            sim::VirtualTracker& tracker = *trackers_.back();
            LineOptions options;
            options.ports = {tracker.SlavePath()};
            options.profile = test::TestProfile();
            options.profile_text = "the profile";
            options.record = tools::RelayedConnection(direct, relay.Port());
            options.station = "station " + std::to_string(n);
            options.id_start = std::to_string(7000 + 10 * n);
            options.count = 2;
            options.times = times_;
            options.outbox = folder_ / "state" / (std::to_string(n) + ".outbox");
            // A dead network ends a call within about two seconds here.
            options.record_times.keepalive_idle = 1s;
            options.record_times.keepalive_interval = 1s;
            options.record_times.keepalive_count = 1;
            options.record_times.user_timeout = 1500ms;
            options.record_times.login_timeout = 2s;
            KeptAndSent told(progress_);
            std::future<int> line =
                std::async(std::launch::async, [&] { return RunProductionLine(options, told); });
            switch (moment) {
                case Moment::kBeforeTheClaim:
                    for (int i = 0; i < 400 && !Said(tracker.SlavePath() + ": waiting"); ++i) {
                        std::this_thread::sleep_for(25ms);
                    }
                    ASSERT_TRUE(Said(tracker.SlavePath() + ": waiting"));
                    break;
                case Moment::kBetweenClaimAndRow:
                    ASSERT_TRUE(tracker.WaitFor(sim::Is(sim::Event::kWrite), 20s));
                    break;
                case Moment::kDuringTheRow:
                    ASSERT_TRUE(tracker.WaitFor(sim::Is(sim::Event::kReadReply), 20s, 2));
                    break;
            }
            switch (fault) {
                case Fault::kSilent:
                    relay.Silent();
                    break;
                case Fault::kCut:
                    relay.Cut();
                    break;
                case Fault::kServerStopped:
                    server.Halt();
                    break;
            }
            if (moment == Moment::kBeforeTheClaim) {
                tracker.Announce();
            }
            // Long enough for a silent network's calls to end.
            std::this_thread::sleep_for(fault == Fault::kSilent ? 5s : 2s);
            EXPECT_TRUE(Said("the record is away")) << "the line says so";
            if (fault == Fault::kServerStopped) {
                server.Resume();
            } else {
                relay.Pass();
            }
            ASSERT_EQ(line.wait_for(90s), std::future_status::ready) << "the line goes on";
            const int exit_code = line.get();
            if (exit_code == kExitRecord && Said(options.outbox.string() + " for the record")) {
                // The fault came at the last tracker's row and outlasted the
                // line: the row waits on the disk, which the station's next
                // start sends.
                std::string error;
                ASSERT_TRUE(SharedRecord::Open(direct, options.station, "the profile", error,
                                               options.outbox))
                    << error;
            } else {
                EXPECT_EQ(exit_code, kExitDone);
                // The rows kept on the disk during a tracker's row are
                // those the record's return says it was sent.
                const auto [kept, sent] = told.Figures();
                std::cerr << name << ": " << kept << " row(s) kept, " << sent << " sent\n";
                if (moment == Moment::kDuringTheRow) {
                    EXPECT_EQ(sent, kept);
                }
            }

            std::string error;
            auto record = SharedRecord::Open(direct, "", "", error);
            ASSERT_TRUE(record) << error;
            RecordFilter filter;
            filter.station = options.station;
            std::map<std::string, std::string> by_tracker;
            for (const RecordRow& row : record->Rows(filter)) {
                EXPECT_EQ(row.outcome, "ok");
                EXPECT_TRUE(by_tracker.emplace(row.id_before, row.id_written).second)
                    << "a row twice: " << row.id_before;
            }
            EXPECT_EQ(by_tracker, IdsWritten(tracker)) << "each tracker's row, with its ID";
            EXPECT_EQ(std::filesystem::file_size(options.outbox), 0u) << "the outbox was sent";
        }
    }
    odbc::Connection db(direct);
    EXPECT_TRUE(odbc::Query(db,
                            "SELECT id_written FROM trackers GROUP BY id_written "
                            "HAVING count(*) > 1")
                    .empty())
        << "an ID given twice";
    EXPECT_EQ(odbc::Query(db,
                          "SELECT count(*) FROM trackers t WHERE NOT EXISTS (SELECT 1 FROM "
                          "claims c WHERE c.id_written = t.id_written)"),
              std::vector<std::optional<std::string>>{"0"})
        << "an ID written without its claim";
}

// A call to the record that the network holds holds only the ports that
// wait for the record: while one port's tracker waits for its claim on a
// silent network, another port answers and reads its own tracker (the line's
// own lock is never held over a call to the record).
TEST_F(RecordLine, ACallTheNetworkHoldsHoldsNoOtherPort) {
    std::string why;
    if (!tools::TcpRelay::CanGoSilent(why)) {
        GTEST_SKIP() << why;
    }
    tools::RecordServer server;
    const std::string& direct = server.Connection();
    const std::size_t port_at = direct.find("Port=") + 5;
    tools::TcpRelay relay("127.0.0.1",
                          std::stoi(direct.substr(port_at, direct.find(';', port_at) - port_at)));
    sim::VirtualTracker& first = AddTracker("35712001234567", false);
    sim::VirtualTracker& second = AddTracker("35712001234568", false);
    LineOptions options;
    options.ports = {first.SlavePath(), second.SlavePath()};
    options.profile = test::TestProfile();
    options.record = tools::RelayedConnection(direct, relay.Port());
    options.station = "A";
    options.id_start = "0900";
    options.count = 2;
    options.times = times_;
    options.outbox = folder_ / "state" / "a.outbox";
    std::future<int> line =
        std::async(std::launch::async, [&] { return RunProductionLine(options, progress_); });
    for (int i = 0; i < 400 && !(Said(first.SlavePath() + ": waiting") &&
                                 Said(second.SlavePath() + ": waiting"));
         ++i) {
        std::this_thread::sleep_for(25ms);
    }
    relay.Silent();
    first.Announce();
    ASSERT_TRUE(first.WaitFor(sim::Is(sim::Event::kReadReply), 10s));
    second.Announce();
    // With the record's default time-outs the first claim is held for
    // seconds; the second port's tracker is read meanwhile all the same.
    EXPECT_TRUE(second.WaitFor(sim::Is(sim::Event::kReadReply), 4s));
    EXPECT_EQ(first.Count(sim::Is(sim::Event::kWrite)), 0u) << "still waiting for its claim";
    relay.Pass();
    ASSERT_EQ(line.wait_for(90s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitDone);
    EXPECT_GE(first.Count(sim::Is(sim::Event::kAck)), 4u);
    EXPECT_GE(second.Count(sim::Is(sim::Event::kAck)), 4u);
}

}  // namespace
}  // namespace qx17::ctl
