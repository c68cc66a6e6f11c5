// The whole tool against the virtual tracker: the window logic on the
// headless toolkit, Comm1 on COM1, which is a real pseudo-terminal linked in
// a configuration folder of this test, and the tracker on its other side.
// Chunks arrive in real time; the 20 ms timers run on the toolkit's clock,
// which follows real time here unless a test jumps it ahead.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "params/ireg.h"
#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "tests/support/hex_bytes.h"
#include "tests/support/live_form.h"
#include "tools/tracker_sim/virtual_tracker.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::Event;
using sim::Is;
using test::Hex;

class EndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qx17-e2e-XXXXXX";
        config_ = ::mkdtemp(pattern);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        ParamImage.fill(0);
    }
    void TearDown() override {
        form_.reset();
        tracker_.reset();
        ::unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(config_);
        ParamImage.fill(0);
    }

    // The tracker on COM1, and the window with Start pressed.
    void Connect(bool announce = false) {
        sim::Options options;
        options.announce = announce;
        options.announce_interval = 300ms;
        options.link_port = 1;
        options.link_dir = (config_ / "Kestrowind/QX17EEP/ports").string();
        tracker_ = std::make_unique<sim::VirtualTracker>(options);
        form_ = std::make_unique<TForm1>(ui_, DefaultFormSettings(), "Qx17eep");
        form_->Show();
        ui_.Click("BitBtn1");
        ASSERT_TRUE(form_->PortOpen) << (ui_.Boxes().empty() ? "" : ui_.Boxes()[0].text);
    }

    // Delivers chunks and lets the timers follow the real clock until `done`.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
        return test::RunInRealTime(ui_, done, timeout);
    }
    bool BoxShown(const std::string& text) { return test::CountBoxes(ui_, text) > 0; }
    std::size_t Boxes(const std::string& text) { return test::CountBoxes(ui_, text); }
    // Types `text` into `field` and leaves it, as the user would.
    void Edit(const std::string& field, const std::string& text) {
        ui_.Focus(field);
        ui_.Type(text);
        ui_.Focus("BitBtn4");
        ASSERT_EQ(form_->Find(field).Text(), text) << "refused";
    }
    sim::Bytes Image(std::size_t first, std::size_t count) {
        return sim::Bytes(ParamImage.begin() + static_cast<std::ptrdiff_t>(first),
                          ParamImage.begin() + static_cast<std::ptrdiff_t>(first + count));
    }

    fs::path config_;
    HeadlessToolkit ui_;
    std::unique_ptr<sim::VirtualTracker> tracker_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(EndToEnd, ReadFillsTheFieldsAndTheSavedSettings) {
    Connect();
    ui_.Click("BitBtn4");
    ASSERT_TRUE(RunUntil([&] { return BoxShown("Read Completed!"); }));
    EXPECT_EQ(form_->IN_APN->Text(), "CMNET");
    EXPECT_EQ(form_->IN_PW->Text(), "0000");
    EXPECT_EQ(form_->IN_ID->Text(), "35712001234567");
    EXPECT_EQ(form_->IN_IP->Text(), "203.0.113.17");
    EXPECT_EQ(form_->IN_GPRSTM->Text(), "30");
    EXPECT_EQ(form_->Edit2->Text(), "480");
    EXPECT_EQ(form_->IN_DNS->Text(), "8.8.8.8");
    EXPECT_TRUE(form_->SelGPRS->Checked());
    EXPECT_EQ(Image(0, 256), tracker_->ReadMemory(0, 256));
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "IP"), "203.0.113.17");
}

TEST_F(EndToEnd, WriteAllPutsTheFieldsIntoTheTracker) {
    Connect();
    Edit("IN_APN", "internet.example");
    Edit("IN_PW", "4321");
    Edit("Edit2", "-300");
    Edit("Edit7", "+4412345");
    ui_.Click("BitBtn3");  // answered Yes
    ASSERT_TRUE(RunUntil([&] { return BoxShown("Write All Parameter Completed!"); }));
    EXPECT_EQ(tracker_->Count(Is(Event::kWrite)), 4u);
    for (const auto& [first, count] :
         {std::pair<std::size_t, std::size_t>{2, 4}, {16, 136}, {168, 22}, {212, 36}}) {
        EXPECT_EQ(tracker_->ReadMemory(first, count), Image(first, count)) << first;
    }
    EXPECT_EQ(form_->IN_APN->Text(), "internet.example");
    EXPECT_EQ(LinkState, 0);
}

TEST_F(EndToEnd, EachApplySendsItsGroup) {
    Connect();
    const struct {
        const char* field;
        const char* text;
        const char* button;
        std::size_t first, count;
    } applies[] = {
        {"IN_PW", "5555", "Button3", 2, 4},         {"IN_PORT", "9000", "BitBtn7", 16, 136},
        {"IN_ATEL", "+861380", "Button1", 213, 18}, {"Edit7", "12345", "Button13", 168, 16},
        {"Edit1", "120", "Button10", 184, 2},       {"Edit2", "60", "Button11", 186, 4},
        {"IN_SMS1", "112", "Button2", 231, 16},     {"Edit3", "45", "Button4", 212, 1},
    };
    std::size_t done = 0;
    for (const auto& a : applies) {
        Edit(a.field, a.text);
        ui_.Click(a.button);
        ++done;
        ASSERT_TRUE(RunUntil([&] { return Boxes("Write Completed!") == done; })) << a.button;
        EXPECT_EQ(tracker_->ReadMemory(a.first, a.count), Image(a.first, a.count)) << a.button;
    }
    ui_.Pick("ComboBox1", 2);
    ui_.Click("Button18");
    ASSERT_TRUE(RunUntil([&] { return Boxes("Write Completed!") == done + 1; }));
    EXPECT_EQ(tracker_->ReadMemory(247, 1), (sim::Bytes{2}));
}

TEST_F(EndToEnd, DefaultRestoresTheFactoryMemory) {
    Connect();
    tracker_->WriteMemory(19, {'x', 'y', '#'});
    ui_.Click("BitBtn2");  // answered Yes
    ASSERT_TRUE(RunUntil([&] { return BoxShown("Write Completed!"); }));
    const auto entry = tracker_->WaitFor(Is(Event::kDefault), 1s);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->bytes, Hex("AB AB 00 04 94 00 02 FF 12 A2"));
    EXPECT_EQ(tracker_->Memory(), tracker_->Factory());
}

TEST_F(EndToEnd, AutoWritesAnAnnouncingTrackerWithoutAQuestion) {
    Connect(/*announce=*/true);
    ui_.Click("CheckBox1");
    Edit("IN_APN", "auto.example");
    ASSERT_TRUE(RunUntil([&] { return form_->StatusBar1->PanelText(0) == "Auto Write Ok!"; }));
    EXPECT_TRUE(ui_.Boxes().empty());
    EXPECT_EQ(tracker_->Count(Is(Event::kHandshake)), 1u);
    EXPECT_EQ(tracker_->Count(Is(Event::kWrite)), 4u);
    EXPECT_EQ(tracker_->ReadMemory(19, 13), Image(19, 13));
    EXPECT_EQ(ParamImage[19], 'a');
}

TEST_F(EndToEnd, ASilentTrackerGivesOneTimeOut) {
    Connect();
    tracker_->DropNextReply();
    ui_.Click("BitBtn4");
    ASSERT_TRUE(tracker_->WaitFor(Is(Event::kDropped), 5s));
    RunUntil([] { return false; }, 300ms);
    ui_.AdvanceTime(15s);  // the read's 750 ticks
    ui_.AdvanceTime(15s);
    EXPECT_EQ(Boxes("COM Operate OverTimer!"), 1u);
    EXPECT_EQ(LinkState, 2);
}

// What goes wrong on the line ends as the protocol says.
struct Fault {
    const char* name;
    std::function<void(sim::VirtualTracker&)> arrange;
    bool completes;  // the read still completes
};

class LineFaults : public EndToEnd, public testing::WithParamInterface<Fault> {};

TEST_P(LineFaults, ReadAll) {
    Connect();
    GetParam().arrange(*tracker_);
    ui_.Click("BitBtn4");
    const bool completed = RunUntil([&] { return BoxShown("Read Completed!"); }, 3s);
    EXPECT_EQ(completed, GetParam().completes);
    if (!completed) {
        ui_.AdvanceTime(15s);
        EXPECT_EQ(Boxes("COM Operate OverTimer!"), 1u);
        EXPECT_EQ(LinkState, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LineFaults,
    testing::Values(
        Fault{"bad_crc", [](sim::VirtualTracker& tracker) { tracker.CorruptNextReply(); }, false},
        Fault{"split_reply", [](sim::VirtualTracker& tracker) { tracker.SplitNextReply(150ms); },
              false},
        Fault{"noise",
              [](sim::VirtualTracker& tracker) {
                  tracker.NoiseBeforeNextReply({1, 2, 3});
              },
              true},
        Fault{"late_reply", [](sim::VirtualTracker& tracker) { tracker.SetReplyDelay(1500ms); },
              true}),
    [](const testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

TEST_F(EndToEnd, AFailedAcknowledgementEndsASingleWriteQuietly) {
    Connect();
    tracker_->NackNextWrite();
    ui_.Click("Button10");
    ASSERT_TRUE(tracker_->WaitFor(Is(Event::kAck), 5s));
    RunUntil([&] { return LinkState == 0; }, 3s);
    EXPECT_EQ(LinkState, 0);
    ui_.AdvanceTime(10s);
    EXPECT_TRUE(ui_.Boxes().empty());
}

}  // namespace
}  // namespace qx17
