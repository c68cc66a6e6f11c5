// The whole Windows tool against the virtual tracker: the window logic on the
// headless toolkit with the program's own settings (the registry) and its own
// serial component on COM3, a Wine COM port. The tracker runs on Linux on the
// other side of that port; scripts/with_com_peer.sh starts it before this
// program and stops it afterwards. Chunks arrive in real time; the 20 ms
// timers run on the toolkit's clock, which follows real time here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "params/ireg.h"
#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "tests/support/live_form.h"
#include "tests/win32/registry_raw.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

using namespace std::chrono_literals;

// The port with_com_peer.sh links the tracker to, as an index of ComboBox4.
constexpr int kTrackerPortIndex = 2;
constexpr const char* kTrackerPort = "COM3";

class WineEndToEnd : public testing::Test {
  protected:
    WineEndToEnd() {
        test::DeleteSettingsKey();
        ParamImage.fill(0);
    }
    ~WineEndToEnd() override {
        form_.reset();
        test::DeleteSettingsKey();
        ParamImage.fill(0);
    }

    // The window on the tracker's port, with Start pressed.
    void Connect() {
        form_ = std::make_unique<TForm1>(ui_, DefaultFormSettings(), "Qx17eep");
        form_->Show();
        ui_.Pick("ComboBox4", kTrackerPortIndex);
        ASSERT_EQ(form_->ComboBox4->ItemText(), kTrackerPort);
        ui_.Click("BitBtn1");
        ASSERT_TRUE(form_->PortOpen) << (ui_.Boxes().empty() ? "" : ui_.Boxes()[0].text);
        ASSERT_EQ(form_->BitBtn1->Text(), "Close");
    }

    // Delivers chunks and lets the timers follow the real clock until `done`.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s) {
        return test::RunInRealTime(ui_, done, timeout);
    }
    std::size_t Boxes(const std::string& text) { return test::CountBoxes(ui_, text); }
    std::string BoxTexts() { return test::BoxTexts(ui_); }
    // Reads the tracker; true when "Read Completed!" came.
    bool Read() {
        const std::size_t before = Boxes("Read Completed!");
        ui_.Click("BitBtn4");
        return RunUntil([&] { return Boxes("Read Completed!") > before; });
    }
    // Types `text` into `field` and leaves it, as the user would.
    void Edit(const std::string& field, const std::string& text) {
        ui_.Focus(field);
        ui_.Type(text);
        ui_.Focus("BitBtn4");
        ASSERT_EQ(form_->Find(field).Text(), text) << "refused";
    }

    HeadlessToolkit ui_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(WineEndToEnd, ReadWriteAllAndDefaultOverACommPort) {
    ASSERT_NO_FATAL_FAILURE(Connect());

    // The tracker's factory memory fills the fields and the saved settings.
    ASSERT_TRUE(Read()) << BoxTexts();
    EXPECT_EQ(form_->IN_APN->Text(), "CMNET");
    EXPECT_EQ(form_->IN_PW->Text(), "0000");
    EXPECT_EQ(form_->IN_ID->Text(), "35712001234567");
    EXPECT_EQ(form_->IN_IP->Text(), "203.0.113.17");
    EXPECT_EQ(form_->IN_PORT->Text(), "8051");
    EXPECT_EQ(form_->IN_DNS->Text(), "8.8.8.8");
    EXPECT_EQ(form_->IN_GPRSTM->Text(), "30");
    EXPECT_EQ(form_->Edit2->Text(), "480");
    EXPECT_TRUE(form_->SelGPRS->Checked());
    EXPECT_EQ(form_->SelTCP->ItemText(), "TCP");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "IP"), "203.0.113.17");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "COM"), kTrackerPortIndex);

    // A changed value goes to the tracker with Write (the question answered
    // Yes) ...
    Edit("IN_APN", "internet.example");
    Edit("IN_PW", "4321");
    ui_.Click("BitBtn3");
    ASSERT_TRUE(RunUntil([&] { return Boxes("Write All Parameter Completed!") == 1; }))
        << BoxTexts();
    EXPECT_EQ(LinkState, 0);

    // ... and comes back from it: the fields are changed here only, then
    // read again.
    Edit("IN_APN", "only.here");
    Edit("IN_PW", "1111");
    ASSERT_TRUE(Read()) << BoxTexts();
    EXPECT_EQ(form_->IN_APN->Text(), "internet.example");
    EXPECT_EQ(form_->IN_PW->Text(), "4321");
    EXPECT_EQ(form_->IN_IP->Text(), "203.0.113.17") << "the rest as it was";
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "internet.example");

    // Default restores the factory memory, which leaves the tracker as it
    // was found.
    ui_.Click("BitBtn2");
    ASSERT_TRUE(RunUntil([&] { return Boxes("Write Completed!") == 1; })) << BoxTexts();
    ASSERT_TRUE(Read()) << BoxTexts();
    EXPECT_EQ(form_->IN_APN->Text(), "CMNET");
    EXPECT_EQ(form_->IN_PW->Text(), "0000");

    // Close gives the port back.
    ui_.Click("BitBtn1");
    EXPECT_FALSE(form_->PortOpen);
    EXPECT_EQ(form_->BitBtn1->Text(), "Start");
    EXPECT_EQ(Boxes("COM Operate OverTimer!"), 0u) << BoxTexts();
}

}  // namespace
}  // namespace qx17
