// qx17ctl with one tracker at a time, over a real pseudo-terminal to the
// virtual tracker: reading, writing with its read-back, "Default", and how
// the link copes with a line that splits, garbles, drops or refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "ctl/commands/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/link/provisioning.h"
#include "ctl/profiles/profile_file.h"
#include "params/profile.h"
#include "protocol/frame_codec.h"
#include "protocol/link_commands.h"
#include "tests/ctl/ctl_fixture.h"
#include "tests/support/fake_serial_platform.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using test::TestProfile;
using testing::ElementsAre;
using testing::Field;
using Kind = IdChoice::Kind;
using Bytes = std::vector<std::uint8_t>;

class OneTracker : public test::CtlTest {};

TEST_F(OneTracker, ReadShowsTheTrackersValuesAndPrintsThemAsJson) {
    sim::VirtualTracker& tracker = AddTracker("123");
    const FieldValues values = ImageToFields(ReadTracker(*OpenLink(tracker)));
    EXPECT_EQ(values.ID, "123");
    EXPECT_EQ(values.APN, "CMNET");
    EXPECT_EQ(values.TimeZone, "480");
    EXPECT_EQ(values, ImageToFields(MemoryOf(tracker)));

    std::ostringstream out;
    PrintJson(values, out);
    const auto json = nlohmann::ordered_json::parse(out.str());
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) {
        keys.push_back(key);
        const bool number = key == "GPRS_EN" || key == "GPRS_TYPE" || key == "CallReply";
        EXPECT_EQ(value.is_number_integer(), number) << key;
        EXPECT_EQ(value.is_string(), !number) << key;
    }
    EXPECT_THAT(keys, ElementsAre("APN", "APN_NAME", "APN_PW", "GPRS_TM", "ID", "IP", "Port",
                                  "GPRS_EN", "GPRS_TYPE", "SMS_OBJ", "SMS_INT", "PW", "Listen",
                                  "SOS_NO", "LOG_INT", "TimeZone", "SleepMode", "CallReply"));
    EXPECT_EQ(json["GPRS_EN"], 1);
    EXPECT_EQ(json["ID"], "123");
}

// The profile goes into the tracker's own image: bytes no field covers, and
// those after a text's '#', keep the tracker's values; the ID is the
// tracker's unless one is given.
TEST_F(OneTracker, WriteMergesTheProfileIntoTheTrackersOwnMemory) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567");
    tracker.WriteMemory(151, {0x5A});  // inside a write-all frame, no field
    tracker.WriteMemory(40, {0x77});   // APN, after the '#' of the profile's APN
    const struct {
        IdChoice id;
        const char* expected_id;
    } cases[] = {
        {{Kind::kKeep, ""}, "35712001234567"},
        {{Kind::kProfile, ""}, "11112222333344"},
        {{Kind::kGiven, "42"}, "42"},
    };
    auto link = OpenLink(tracker);
    for (const auto& c : cases) {
        const WritePlan plan = MergeProfile(ReadTracker(*link), TestProfile(), c.id);
        WriteAll(*link, plan.image);
        const ImageBytes memory = MemoryOf(tracker);
        EXPECT_TRUE(CompareWritten(plan.image, ReadTracker(*link)).empty());
        FieldValues expected = TestProfile();
        expected.ID = c.expected_id;
        EXPECT_EQ(ImageToFields(memory), expected) << c.expected_id;
        EXPECT_EQ(memory[151], 0x5A);
        EXPECT_EQ(memory[40], 0x77);
    }
}

// Each fault of the line, once, on the way to a write with its read-back.
TEST_F(OneTracker, TheLinkSurvivesWhatTheLineDoesOrSaysWhy) {
    const struct {
        const char* name;
        std::function<void(sim::VirtualTracker&)> fault;
        int retries;
        int exit_code;
        const char* said;  // nullptr: nothing in particular
        int reads;  // read requests the tracker received: the read-all, any retry, the read-back
    } cases[] = {
        // Answered the first time: one read-all, one read-back, nothing sent again.
        {"split reply", [](auto& t) { t.SplitNextReply(50ms); }, 1, kExitDone, nullptr, 2},
        {"noise first",
         [](auto& t) {
             t.NoiseBeforeNextReply({0x00, 0x13, 0xFF});
         },
         1, kExitDone, nullptr, 2},
        {"bad crc, then the retry", [](auto& t) { t.CorruptNextReply(); }, 1, kExitDone,
         "(again, no reply)", 3},
        {"dropped, then the retry", [](auto& t) { t.DropNextReply(); }, 1, kExitDone,
         "(again, no reply)", 3},
        {"dropped, no retry", [](auto& t) { t.DropNextReply(); }, 0, kExitTimeout,
         "no reply to read-all", 1},
        // Zeros in place of the missing bytes would be written back.
        {"read reply cut short, then the retry", [](auto& t) { t.ShortenNextReply(200); }, 1,
         kExitDone, "(again, no reply)", 3},
        {"read reply cut short, no retry", [](auto& t) { t.ShortenNextReply(200); }, 0,
         kExitTimeout, "no reply to read-all", 1},
        {"refused", [](auto& t) { t.NackNextWrite(); }, 1, kExitRefused,
         "refused write-all frame 1", 1},
    };
    const std::filesystem::path profile = folder_ / "profile.reg";
    SaveProfile(profile, TestProfile());
    for (const auto& c : cases) {
        // Not announcing: an announcement would make the link ask again at
        // once, which is not what is tried here.
        sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
        c.fault(tracker);
        TrackerTarget target{tracker.SlavePath(), times_};
        target.times.retries = c.retries;
        std::ostringstream out;
        const int code = WriteCommand(target, profile, {}, true, progress_, out);
        EXPECT_EQ(code, c.exit_code) << c.name;
        EXPECT_TRUE(c.said == nullptr || Said(c.said)) << c.name;
        const std::vector<sim::LogEntry> log = tracker.Log();
        const auto reads = std::count_if(log.begin(), log.end(), [](const sim::LogEntry& e) {
            return e.event == sim::Event::kRead;
        });
        EXPECT_EQ(reads, c.reads) << c.name;
        if (c.exit_code == kExitDone) {
            FieldValues expected = TestProfile();
            expected.ID = "35712001234567";
            EXPECT_EQ(ImageToFields(MemoryOf(tracker)), expected) << c.name;
        }
    }
}

// How often the tracker received each write-all frame, by its address.
// With `since_replug`, only those the tracker on the line now received.
std::map<std::string, int> WritesReceived(const sim::VirtualTracker& tracker,
                                          bool since_replug = false) {
    std::map<std::string, int> writes;
    for (const sim::LogEntry& entry : tracker.Log()) {
        if (since_replug && entry.event == sim::Event::kReplug) {
            writes.clear();
        }
        if (entry.event == sim::Event::kWrite) {
            ++writes[entry.note.substr(0, entry.note.find(" bytes"))];
        }
    }
    return writes;
}

// The first write-all frame answered past its wait: the link asks what the
// tracker holds rather than send the frame again and take the late
// acknowledgement for the next frame's; a refusal counts whenever it comes.
TEST_F(OneTracker, ALateAnswerIsNeverTakenForAnotherFramesAnswer) {
    const struct {
        const char* name;
        int refused;  // the write refused, counted from frame 1; 0 none
        bool verify;
        int exit_code;
    } cases[] = {
        {"late, then frame 4 refused", 4, true, kExitRefused},
        {"late, then frame 4 refused, no read-back", 4, false, kExitRefused},
        {"refused late", 1, false, kExitRefused},
        {"late and kept", 0, true, kExitDone},
        {"late and kept, no read-back", 0, false, kExitDone},
    };
    const std::filesystem::path profile = folder_ / "profile.reg";
    SaveProfile(profile, TestProfile());
    for (const auto& c : cases) {
        sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
        bool armed = false;
        on_line_ = [&](const std::string& line) {
            if (!armed && line.ends_with("write-all frame 1 of 4")) {
                armed = true;
                tracker.DelayNextReply(600ms);  // the first frame waits 400 ms
                if (c.refused != 0) {
                    tracker.NackNextWrite(c.refused - 1);
                }
            }
        };
        std::ostringstream out;
        EXPECT_EQ(
            WriteCommand({tracker.SlavePath(), times_}, profile, {}, c.verify, progress_, out),
            c.exit_code)
            << c.name;
        on_line_ = nullptr;
        const std::map<std::string, int> writes = WritesReceived(tracker);
        EXPECT_EQ(writes.at("write 0002 4"), 1) << c.name << ": frame 1 went once";
        if (c.exit_code == kExitDone) {
            EXPECT_EQ(writes.size(), 4u) << c.name;
            FieldValues expected = TestProfile();
            expected.ID = "35712001234567";
            EXPECT_EQ(ImageToFields(MemoryOf(tracker)), expected) << c.name;
        }
    }
}

// Another tracker on the same adapter in the middle of a write: it is written
// whole from its own read, its ID and the bytes no field covers its own.
TEST_F(OneTracker, ATrackerSwappedInMidWriteIsWrittenFromItsRead) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    tracker.WriteMemory(151, {0x5A});
    const std::filesystem::path profile = folder_ / "profile.reg";
    SaveProfile(profile, TestProfile());
    bool swapped = false;
    on_line_ = [&](const std::string& line) {
        if (!swapped && line.ends_with("write-all frame 3 of 4")) {
            swapped = true;
            ASSERT_TRUE(tracker.Replug());
        }
    };
    std::ostringstream out;
    EXPECT_EQ(WriteCommand({tracker.SlavePath(), times_}, profile, {}, true, progress_, out),
              kExitDone);
    on_line_ = nullptr;
    EXPECT_TRUE(Said("a tracker announced itself in the middle of the write: writing it"));
    FieldValues expected = TestProfile();
    expected.ID = "35712001234568";
    const ImageBytes memory = MemoryOf(tracker);
    EXPECT_EQ(ImageToFields(memory), expected);
    EXPECT_EQ(memory[151], tracker.Factory()[151]);
    EXPECT_NE(memory[151], 0x5A);
    // Not only the frames that were left: the whole write, from the new
    // tracker's read on (frame 3 was on its way when the swap came).
    const std::map<std::string, int> new_trackers = WritesReceived(tracker, true);
    EXPECT_EQ(new_trackers.size(), 4u) << "every frame went to the new tracker";
    EXPECT_EQ(new_trackers.at("write 0002 4"), 1);
}

// The read-back compares values, not only bytes: a value that the encoding
// already changed shows up.
TEST(ReadBack, AValueTheEncodingChangedIsADifference) {
    WritePlan plan{TestProfile(), {}};
    plan.values.GPRS_TM = "45";
    FieldsToImage(plan.values, plan.image);
    const std::vector<Difference> found = VerifyWritten(plan, plan.image);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "GPRS_TM");
    EXPECT_EQ(found[0].written, "45");
    EXPECT_EQ(found[0].read, "40");
    plan.values.GPRS_EN = false;  // no type is kept with GPRS off
    plan.values.GPRS_TM = "40";
    FieldsToImage(plan.values, plan.image);
    EXPECT_TRUE(VerifyWritten(plan, plan.image).empty());
}

// A tracker that acknowledges a write but does not keep it: only the
// read-back finds out, and says which field, what went in and what came out.
TEST_F(OneTracker, TheReadBackFindsWhatTheAcknowledgementsHid) {
    // Not announcing: an announcement in the middle of a request makes the
    // link send it again, and the second copy would store what the first lost.
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    tracker.FlipNextWrite();  // the first frame: the password
    const std::filesystem::path profile = folder_ / "profile.reg";
    SaveProfile(profile, TestProfile());
    std::ostringstream out;
    EXPECT_EQ(WriteCommand({tracker.SlavePath(), times_}, profile, {}, true, progress_, out),
              kExitVerifyFailed);
    EXPECT_TRUE(Said(": PW differs (a password: its values are not shown)."));
    EXPECT_FALSE(Said("0234")) << "a password's value never reaches the output";
    tracker.FlipNextWrite();
    EXPECT_EQ(WriteCommand({tracker.SlavePath(), times_}, profile, {}, false, progress_, out),
              kExitDone)
        << "without the read-back nothing is noticed";
}

// Each field that reads back differently once, with its values; a byte no
// field shows differently by its address; of a password's place, not even a
// byte after its end mark (the tail of the password before) by value.
TEST(ReadBack, DifferencesAreReportedByField) {
    ImageBytes written{};
    FieldsToImage(TestProfile(), written);
    ImageBytes read = written;
    read[19] = 'X';  // APN
    read[20] = 'Y';
    read[151] ^= 0xFF;  // in a write-all frame, no field
    read[60] ^= 0x01;   // APN_NAME ("user#"), after its '#': the field reads the same
    read[3] = '9';      // PW "1234"
    read[85] = 'Q';     // APN_PW ("secret#"), after its '#'
    std::vector<std::string> said;
    for (const Difference& d : CompareWritten(written, read)) {
        said.push_back(DescribeDifference(d));
        if (!d.password.empty()) {
            EXPECT_EQ(d.written + d.read, "") << d.name << ": a password's values are not kept";
        }
    }
    EXPECT_THAT(said, ElementsAre("APN written \"internet.test\", read \"XYternet.test\"",
                                  "PW differs (a password: its values are not shown)",
                                  "byte 60 written \"00\", read \"01\"",
                                  "byte 85 differs, in the place of APN_PW (a password: its "
                                  "values are not shown)",
                                  "byte 151 written \"00\", read \"FF\""));
    EXPECT_TRUE(CompareWritten(written, written).empty());
}

// A difference is told with its values, except a password's.
TEST(ReadBack, APasswordsDifferenceIsToldWithoutItsValues) {
    const struct {
        const char* name;
        const char* said;
    } cases[] = {
        {"PW", "PW differs (a password: its values are not shown)"},
        {"APN_PW", "APN_PW differs (a password: its values are not shown)"},
        {"APN_NAME", "APN_NAME written \"1234\", read \"0234\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeDifference({c.name, "1234", "0234", ""}), c.said);
    }
}

TEST_F(OneTracker, DefaultRestoresTheFactoryMemory) {
    // Not announcing: a Default sent again after an announcement is answered
    // twice, and the late answer could take the refusal meant for the next.
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    tracker.WriteMemory(19, {'x', '#'});
    std::ostringstream out;
    EXPECT_EQ(DefaultCommand({tracker.SlavePath(), times_}, progress_, out), kExitDone);
    EXPECT_EQ(tracker.Memory(), tracker.Factory());
    tracker.NackNextWrite();
    EXPECT_EQ(DefaultCommand({tracker.SlavePath(), times_}, progress_, out), kExitRefused);
}

TEST_F(OneTracker, APortThatCannotBeOpenedSaysSo) {
    std::ostringstream out;
    EXPECT_EQ(ReadCommand({"/nonexistent/tty", times_}, std::nullopt, false, progress_, out),
              kExitPort);
    EXPECT_TRUE(Said("/nonexistent/tty: Error opening serial port (No such file or directory)."));
}

// The next tracker may announce itself so soon that its announcement comes in
// the chunk that ends the last reply to the one before: the wait for a
// tracker takes it from there, and answers it at once.
TEST_F(OneTracker, AnAnnouncementInTheChunkOfTheLastReplyIsTaken) {
    qx17::test::FakeSerialPlatform platform;
    TrackerLink link("COM9", times_, progress_, platform);
    link.Open();
    std::thread tracker([&] {
        for (int wait = 0; wait < 2500 && platform.line->WrittenCount() == 0; ++wait) {
            std::this_thread::sleep_for(2ms);
        }
        Bytes chunk(263);
        std::string reply(1, static_cast<char>(kReadCommand));
        reply += std::string(kReadAllCount, '\x30');
        chunk.resize(EncodeFrame(chunk.data(), chunk.size(), reply));
        const Bytes announcement = {0xAB, 0xAB, 0x00, 0x02, 0xAA, 0x99, 0x64, 0x44};
        chunk.insert(chunk.end(), announcement.begin(), announcement.end());
        platform.line->ScriptRead(
            {ReadOutcome::Kind::Data, static_cast<std::uint32_t>(chunk.size())}, chunk);
    });
    const std::string reply =
        link.Request(kReadAllPayload, kReadCommand, 5s, "read-all", 1 + kReadAllCount);
    tracker.join();
    EXPECT_EQ(reply.size(), 1 + kReadAllCount);
    const std::size_t before = platform.line->WrittenCount();
    int looked = 0;
    EXPECT_TRUE(link.AwaitAnnouncement([&] { return ++looked > 20; }))
        << "the announcement behind the reply was dropped";
    for (int wait = 0; wait < 2500 && platform.line->WrittenCount() < before + 9; ++wait) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(platform.line->WrittenCount(), before + 9) << "the handshake reply";
}

// A reply that arrived whole is the tracker's answer even when the port goes
// away right behind it (the line's end, a pulled adapter): the work it ends
// was done.
TEST_F(OneTracker, AReplyThatCameWholeBeforeTheHangUpIsTaken) {
    qx17::test::FakeSerialPlatform platform;
    TrackerLink link("COM9", times_, progress_, platform);
    link.Open();
    Bytes reply(8);
    reply.resize(EncodeFrame(reply.data(), reply.size(), std::string("\x94\x01", 2)));
    platform.line->ScriptRead({ReadOutcome::Kind::Data, static_cast<std::uint32_t>(reply.size())},
                              reply);
    platform.line->ScriptRead({ReadOutcome::Kind::HungUp});
    // Both wait as notices before the request looks, so they come in one go.
    for (int wait = 0; wait < 2500; ++wait) {
        std::lock_guard lock(platform.line->mutex);
        if (platform.line->reads.empty()) {
            break;
        }
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(link.Request(std::string("\x94\x00\x02\x31", 4), kWriteCommand, 5s, "write"),
              std::string("\x94\x01", 2));
    EXPECT_THROW(link.Request(kReadAllPayload, kReadCommand, 5s, "read-all"), LinkError)
        << "the port is gone for the next request";
}

}  // namespace
}  // namespace qx17::ctl
