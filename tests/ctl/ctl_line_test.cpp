// The production line over real pseudo-terminals to virtual trackers: many
// ports at once, one log row per tracker, IDs that are never given twice,
// a tracker that announces itself again, a lost port and Ctrl-C.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "ctl/exit_codes.h"
#include "ctl/line/line_log.h"
#include "ctl/line/production_line.h"
#include "ctl/line/stop_request.h"
#include "tests/ctl/ctl_fixture.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using sim::Event;
using sim::Is;
using testing::ElementsAre;

std::vector<std::vector<std::string>> Rows(const std::filesystem::path& log) {
    std::ifstream in(log);
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header + "\n", kLogHeader);
    return test::LogRows(log);
}

class Line : public test::CtlTest {
  protected:
    LineOptions Options(long count) {
        LineOptions options;
        for (const auto& tracker : trackers_) {
            options.ports.push_back(tracker->SlavePath());
        }
        options.profile = test::TestProfile();
        options.log = log_;
        options.count = count;
        options.id_start = "0900";
        options.times = times_;
        options.reopen_every = 50ms;
        return options;
    }
    std::future<int> Start(const LineOptions& options) {
        return std::async(std::launch::async,
                          [this, options] { return RunProductionLine(options, progress_); });
    }
    // Waits until `tracker` has acknowledged `n` writes in all.
    static bool Written(const sim::VirtualTracker& tracker, std::size_t n) {
        return tracker.WaitFor(Is(Event::kAck), 10s, n).has_value();
    }

    std::filesystem::path log_ = folder_ / "line.csv";
};

TEST_F(Line, EveryTrackerOnEveryPortGetsTheProfileAndAnIdOfItsOwn) {
    sim::VirtualTracker& a = AddTracker("101");
    sim::VirtualTracker& b = AddTracker("202");
    std::future<int> line = Start(Options(4));
    ASSERT_TRUE(Written(a, 4) && Written(b, 4));

    // The tracker just done restarts and announces itself again: it is not
    // written twice, but it has its row (it keeps its ID). Then a new
    // tracker on the same port.
    ASSERT_TRUE(a.WaitFor(Is(Event::kReadReply), 5s, 2));  // its read-back
    a.Announce();
    ASSERT_TRUE(a.WaitFor(Is(Event::kReadReply), 5s, 3));
    EXPECT_TRUE(a.WaitFor([](const sim::LogEntry&) { return false; }, 300ms) == std::nullopt);
    EXPECT_EQ(a.Count(Is(Event::kWrite)), 4u);
    a.RestoreFactoryMemory();
    a.WriteMemory(107, {0x30, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // ID 303
    a.Announce();
    ASSERT_EQ(line.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitDone);

    const auto rows = Rows(log_);
    ASSERT_EQ(rows.size(), 4u);
    std::vector<std::string> ids;
    std::size_t kept = 0;
    for (const auto& row : rows) {
        ASSERT_GE(row.size(), 5u);
        EXPECT_EQ(row[4], "ok");
        if (row[2] == row[3]) {
            ++kept;  // the restarted tracker keeps its ID
        } else {
            ids.push_back(row[3]);
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_THAT(ids, ElementsAre("0900", "0901", "0902"));
    EXPECT_EQ(kept, 1u);
    EXPECT_TRUE(Said("line: 4 trackers: 4 ok; IDs 0900 to 0902; ")) << "the summary";
    EXPECT_EQ(rows.back()[2], "303") << "the ID the new tracker came with";
    FieldValues expected = test::TestProfile();
    expected.ID = rows.back()[3];
    EXPECT_EQ(ImageToFields(MemoryOf(a)), expected);

    // Started again on the same log, a tracker done before is plugged in
    // again: it keeps the ID the log gave it and gets the profile again; no
    // ID is used up for it. A new tracker then gets the next ID.
    const std::string b_id = ImageToFields(MemoryOf(b)).ID;
    b.Announce();
    std::future<int> again = Start(Options(1));
    ASSERT_EQ(again.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(again.get(), kExitDone);
    EXPECT_EQ(Rows(log_).back()[4], "ok");
    EXPECT_EQ(Rows(log_).back()[2], b_id);
    EXPECT_EQ(Rows(log_).back()[3], b_id);
    // The summary counts no ID for it: none was given out.
    const std::string summary = Lines().back();
    EXPECT_EQ(summary.rfind("line: 1 tracker: 1 ok; ", 0), 0u) << summary;
    EXPECT_EQ(summary.find("; ID"), std::string::npos) << summary;
    sim::VirtualTracker& d = AddTracker("4404");
    std::future<int> next = Start(Options(1));
    ASSERT_EQ(next.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(next.get(), kExitDone);
    EXPECT_EQ(Rows(log_).back()[3], "0903");
    EXPECT_EQ(ImageToFields(MemoryOf(d)).ID, "0903");
}

// A scripted line of trackers plugged in one after the other: the next one
// announces itself right behind the read-back reply of the one before, its
// first bytes in the reply's chunk, and is answered at once (not a whole
// announcement interval later, as when the line dropped what came behind the
// reply).
TEST_F(Line, TheNextTrackerIsAnsweredAtItsFirstAnnouncement) {
    sim::Options scripted;
    scripted.tracker_id = "500";
    scripted.announce = false;
    scripted.announce_interval = 30s;
    scripted.line_trackers = 3;
    scripted.real_pace = true;  // the announcement's bytes trickle in behind the reply
    trackers_.push_back(std::make_unique<sim::VirtualTracker>(scripted));
    sim::VirtualTracker& tracker = *trackers_.back();
    LineOptions options = Options(3);
    options.id_start.reset();
    std::future<int> line = Start(options);
    // The first tracker announces until the line, opening its port, hears it.
    std::optional<sim::LogEntry> first;
    for (int i = 0; i < 100 && !first; ++i) {
        tracker.Announce();
        first = tracker.WaitFor(Is(Event::kHandshake), 100ms);
    }
    ASSERT_TRUE(first);
    ASSERT_EQ(line.wait_for(20s), std::future_status::ready) << "an announcement was not taken";
    EXPECT_EQ(line.get(), kExitDone);
    EXPECT_TRUE(tracker.WaitFor(Is(Event::kLineDone), 5s));
    EXPECT_EQ(tracker.Count(Is(Event::kAnnounce), first->index), 2u)
        << "one announcement for each tracker plugged in after the first";
    std::vector<std::string> ids;
    for (const auto& row : Rows(log_)) {
        ASSERT_GE(row.size(), 5u);
        EXPECT_EQ(row[4], "ok");
        ids.push_back(row[2]);
    }
    EXPECT_THAT(ids, ElementsAre("500", "501", "502"));
}

// Each tracker's outcome is its row: a refusal, a time-out and a lost port
// are logged as such, and a lost port does not stop the line.
TEST_F(Line, AFailureIsTheTrackersRowAndTheLineGoesOn) {
    sim::VirtualTracker& refusing = AddTracker();
    refusing.NackNextWrite();
    sim::VirtualTracker& silent = AddTracker();
    silent.SetReplyDelay(5s);
    sim::VirtualTracker& pulled = AddTracker();
    pulled.SetReplyDelay(1s);
    std::future<int> line = Start(Options(3));
    ASSERT_TRUE(pulled.WaitFor(Is(Event::kRead), 5s));
    pulled.HangUp();
    ASSERT_EQ(line.wait_for(20s), std::future_status::ready);
    EXPECT_NE(line.get(), kExitDone);
    std::map<std::string, std::string> outcome;
    for (const auto& row : Rows(log_)) {
        outcome[row[1]] = row[4];
    }
    EXPECT_EQ(outcome[refusing.SlavePath()], "refused");
    EXPECT_EQ(outcome[silent.SlavePath()], "timeout");
    EXPECT_EQ(outcome[pulled.SlavePath()], "port-lost");
    EXPECT_TRUE(Said("line: 3 trackers: 1 port-lost, 1 refused, 1 timeout")) << "the summary";
}

// Ctrl-C once: the waiting ports stop, a tracker in progress is finished.
// Twice: it is reported as interrupted.
TEST_F(Line, CtrlCFinishesTheTrackerInProgressOrInterruptsIt) {
    for (const StopLevel level : {StopLevel::kFinish, StopLevel::kNow}) {
        ClearStopRequest();
        trackers_.clear();
        sim::VirtualTracker& slow = AddTracker();
        slow.SetReplyDelay(150ms);
        LineOptions options = Options(0);
        options.count.reset();
        std::future<int> line = Start(options);
        ASSERT_TRUE(slow.WaitFor(Is(Event::kRead), 5s));
        RequestStop(level);
        ASSERT_EQ(line.wait_for(20s), std::future_status::ready);
        const int code = line.get();
        const std::string outcome = Rows(log_).back()[4];
        if (level == StopLevel::kFinish) {
            EXPECT_EQ(code, kExitDone);
            EXPECT_EQ(outcome, "ok");
        } else {
            EXPECT_EQ(code, kExitInterrupted);
            EXPECT_EQ(outcome, "interrupted");
        }
    }
}

// Trackers come from the factory with one ID: each is written, and "done
// already" is only a tracker that holds what this port wrote into it, its
// ID included (a restarted one that lost its APN is written again).
TEST_F(Line, TrackersThatComeWithOneIdAreEachWritten) {
    sim::VirtualTracker& tracker = AddTracker();
    LineOptions options = Options(10);
    options.id_start.reset();
    std::future<int> line = Start(options);
    for (std::size_t n = 1; n < 10; ++n) {
        ASSERT_TRUE(tracker.WaitFor(Is(Event::kReadReply), 10s, 2 * n)) << n;  // its read-back
        tracker.RestoreFactoryMemory();
        tracker.Announce();
    }
    ASSERT_EQ(line.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitDone);
    EXPECT_EQ(tracker.Count(Is(Event::kWrite)), 40u);
    const auto rows = Rows(log_);
    ASSERT_EQ(rows.size(), 10u);
    for (const auto& row : rows) {
        EXPECT_EQ(row[4], "ok");
        EXPECT_EQ(row[3], "35712001234567");
    }
}

// The last ID goes to a tracker; the next tracker is not even answered, and
// the line says why and ends with 2, with trackers still expected.
TEST_F(Line, AUsedUpSequenceStopsBeforeTheNextHandshake) {
    sim::VirtualTracker& tracker = AddTracker();
    LineOptions options = Options(3);
    options.id_start = "99999999999999";
    std::future<int> line = Start(options);
    ASSERT_EQ(line.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitUsage);
    EXPECT_EQ(tracker.Count(Is(Event::kHandshake)), 1u);
    EXPECT_EQ(ImageToFields(MemoryOf(tracker)).ID, "99999999999999");
    EXPECT_TRUE(Said("the ID sequence is used up"));
    ASSERT_EQ(Rows(log_).size(), 1u);
}

// What happens to a tracker in the middle of its write is its row: frame 1
// answered late and frame 4 refused is a refusal; a tracker swapped in on
// the same adapter leaves the one before part written ("replaced", its ID
// used up) and is written whole, with the next ID.
TEST_F(Line, WhatHappensMidWriteIsTheTrackersRow) {
    const struct {
        const char* name;
        std::function<void(sim::VirtualTracker&)> at_frame_1;
        std::function<void(sim::VirtualTracker&)> at_frame_3;
        std::vector<std::string> outcomes;
        int exit_code;
    } cases[] = {
        {"late, then refused",
         [](auto& t) {
             t.DelayNextReply(600ms);
             t.NackNextWrite(3);
         },
         [](auto&) {},
         {"refused"},
         kExitRefused},
        {"swapped", [](auto&) {}, [](auto& t) { t.Replug(); }, {"replaced", "ok"}, kExitPort},
    };
    for (const auto& c : cases) {
        trackers_.clear();
        std::filesystem::remove(log_);
        sim::VirtualTracker& tracker = AddTracker();
        std::atomic<int> frames_1{0};
        std::atomic<int> frames_3{0};
        on_line_ = [&](const std::string& line) {
            if (line.ends_with("write-all frame 1 of 4") && frames_1++ == 0) {
                c.at_frame_1(tracker);
            }
            if (line.ends_with("write-all frame 3 of 4") && frames_3++ == 0) {
                c.at_frame_3(tracker);
            }
        };
        std::future<int> line = Start(Options(static_cast<long>(c.outcomes.size())));
        const bool ended = line.wait_for(20s) == std::future_status::ready;
        if (!ended) {
            RequestStop(StopLevel::kNow);  // a line still waiting fails, not hangs
        }
        const int code = line.get();
        ClearStopRequest();
        EXPECT_TRUE(ended) << c.name;
        EXPECT_EQ(code, c.exit_code) << c.name;
        on_line_ = nullptr;
        const auto rows = Rows(log_);
        ASSERT_EQ(rows.size(), c.outcomes.size()) << c.name;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i][4], c.outcomes[i]) << c.name;
            EXPECT_EQ(rows[i][3], "090" + std::to_string(i)) << c.name;
        }
        if (c.outcomes.back() == "ok") {
            FieldValues expected = test::TestProfile();
            expected.ID = rows.back()[3];
            EXPECT_EQ(ImageToFields(MemoryOf(tracker)), expected) << c.name;
            EXPECT_EQ(rows.back()[2], tracker.TrackerId()) << c.name;
        }
    }
}

// An error that is not the link's (here thrown while a step is reported) is
// the tracker's row, and the port goes on with the next tracker.
TEST_F(Line, AnUnexpectedErrorIsTheTrackersRowAndThePortGoesOn) {
    std::atomic<bool> thrown{false};
    on_line_ = [&](const std::string& line) {
        if (line.find("verify") != std::string::npos && !thrown.exchange(true)) {
            throw std::runtime_error("out of cheese");
        }
    };
    sim::VirtualTracker& tracker = AddTracker();
    std::future<int> line = Start(Options(2));
    for (int i = 0; i < 200 && line.wait_for(50ms) != std::future_status::ready; ++i) {
        if (Said("out of cheese")) {
            tracker.Announce();
        }
    }
    ASSERT_EQ(line.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(line.get(), kExitError);
    const auto rows = Rows(log_);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][4], "error");
    EXPECT_EQ(rows[1][4], "ok");
    // The write had ended: the tracker came back holding the ID it was given,
    // and keeps it rather than use up a second one.
    EXPECT_EQ(rows[1][2], rows[0][3]);
    EXPECT_EQ(rows[1][3], rows[0][3]);
    FieldValues expected = test::TestProfile();
    expected.ID = rows[1][3];
    EXPECT_EQ(ImageToFields(MemoryOf(tracker)), expected);
}

// Trackers whose factory IDs count up into the IDs the line gives: a fresh
// tracker that happens to hold an ID given before keeps it only when it
// also holds what that row wrote. With another profile it gets an ID of its
// own; with a profile equal to its factory memory it is just like the
// tracker written before it, is taken for that one (a restart) and is not
// written, but it has its row all the same.
TEST_F(Line, AFreshTrackerHoldingAGivenIdGetsOneOfItsOwnAndEveryTrackerItsRow) {
    for (const bool profile_is_factory : {false, true}) {
        SCOPED_TRACE(profile_is_factory ? "a profile equal to the factory memory"
                                        : "the test's profile");
        std::filesystem::remove(log_);
        std::filesystem::remove(log_.string() + ".claims");
        trackers_.clear();
        sim::Options scripted;
        scripted.tracker_id = "0899";
        scripted.announce_interval = 200ms;
        scripted.line_trackers = 3;
        trackers_.push_back(std::make_unique<sim::VirtualTracker>(scripted));
        LineOptions options = Options(3);
        if (profile_is_factory) {
            options.profile = ImageToFields(MemoryOf(*trackers_.back()));
        }
        std::future<int> line = Start(options);
        if (profile_is_factory) {
            // Not written again, the second tracker never completes the
            // script's write: the operator plugs in the third.
            for (int i = 0; i < 400 && test::LogRows(log_).size() < 2; ++i) {
                std::this_thread::sleep_for(25ms);
            }
            trackers_.back()->Replug();
        }
        ASSERT_EQ(line.wait_for(30s), std::future_status::ready);
        ASSERT_EQ(line.get(), kExitDone);
        const auto rows = Rows(log_);
        ASSERT_EQ(rows.size(), 3u) << "every tracker its row";
        std::vector<std::string> ids;
        for (const auto& row : rows) {
            ids.push_back(row[2] + ">" + row[3]);
        }
        if (profile_is_factory) {
            EXPECT_THAT(ids, ElementsAre("0899>0900", "0900>0900", "0901>0901"));
        } else {
            EXPECT_THAT(ids, ElementsAre("0899>0900", "0900>0901", "0901>0902"));
        }
    }
}

}  // namespace
}  // namespace qx17::ctl
