// Production lines on one shared record: stations on several ports each,
// virtual trackers replugged after every write, a real PostgreSQL server.
// No ID is given twice, and every tracker holds the ID its row says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>

#include "ctl/exit_codes.h"
#include "ctl/production_line.h"
#include "ctl/record/shared_record.h"
#include "params/text_conversions.h"
#include "tests/ctl/ctl_fixture.h"
#include "tests/ctl/record_server.h"
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

}  // namespace
}  // namespace qx17::ctl
