// The window's start-up and port control on the headless toolkit: the user
// clicks, picks and answers boxes; the settings are a recorder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/exchange_state.h"
#include "tests/support/fake_serial_platform.h"
#include "ui/error_box.h"
#include "ui/form_layout.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// Records every call, with whether saving was enabled at that moment.
class RecordingSettings : public FormSettings {
  public:
    void LoadSettings(TForm1& form) override {
        calls.push_back(std::string("load") + (form.SaveEnabled ? "+" : "-"));
        if (on_load)
            on_load(form);
    }
    void SaveSettings(TForm1& form) override {
        calls.push_back(std::string("save") + (form.SaveEnabled ? "+" : "-"));
    }
    void FieldsToImage(TForm1& form) override {
        calls.push_back(std::string("image") + (form.SaveEnabled ? "+" : "-"));
    }
    std::vector<std::string> calls;
    std::function<void(TForm1&)> on_load;
};

class Window : public testing::Test {
  protected:
    void Create() {
        form = std::make_unique<TForm1>(ui, settings, "Qx17eep", platform);
        form->Show();
    }
    void SetUp() override { Create(); }

    HeadlessToolkit ui;
    RecordingSettings settings;
    test::FakeSerialPlatform platform;
    std::unique_ptr<TForm1> form;
};

TEST_F(Window, StartsWithTheLayoutsInitialState) {
    EXPECT_EQ(ui.Caption(), "QX17 Parameter Editor V1.00");
    EXPECT_EQ(ui.ClientWidth(), 556);
    EXPECT_EQ(ui.ClientHeight(), 389);
    EXPECT_EQ(form->StatusBar1->PanelText(0), "20091112");
    EXPECT_EQ(form->StatusBar1->PanelText(1), "");
    EXPECT_EQ(form->BitBtn1->Text(), "Start");
    EXPECT_FALSE(form->CheckBox1->Checked());
    EXPECT_FALSE(form->SelGPRS->Checked());
    EXPECT_EQ(form->ComboBox4->ItemText(), "COM1");
    EXPECT_EQ(form->ComboBox4->ItemCount(), 32);
    EXPECT_EQ(form->SelTCP->ItemText(), "TCP");
    EXPECT_EQ(form->ComboBox1->ItemText(), "Disable");
    EXPECT_EQ(form->IN_APN->Text(), "CMNET");
    EXPECT_EQ(form->IN_PW->Text(), "3794");
    for (Control* field : {form->IN_ID, form->IN_APNNAME, form->IN_IP, form->IN_APNPW,
                           form->IN_PORT, form->IN_GPRSTM, form->IN_ATEL, form->IN_ATM, form->Edit1,
                           form->Edit7, form->Edit2, form->IN_SMS1, form->Edit3, form->IN_DNS}) {
        EXPECT_EQ(field->Text(), "") << field->Name();
    }
    EXPECT_EQ(ui.Focused(), "BitBtn1");
    EXPECT_THAT(ui.Boxes(), IsEmpty());
}

TEST_F(Window, FormCreateLoadsWithSavingSuspendedThenEncodes) {
    EXPECT_THAT(settings.calls, ElementsAre("load-", "image+"));
    EXPECT_TRUE(form->SaveEnabled);
}

// LoadSettings checking "GPRS" fires its click handler, which must not save
// the half-loaded fields.
TEST(WindowStartUp, ACheckBoxSetWhileLoadingSavesNothing) {
    HeadlessToolkit ui;
    RecordingSettings settings;
    settings.on_load = [](TForm1& form) { form.SelGPRS->SetChecked(true); };
    test::FakeSerialPlatform platform;
    TForm1 form(ui, settings, "Qx17eep", platform);
    EXPECT_TRUE(form.SelGPRS->Checked());
    EXPECT_THAT(settings.calls, ElementsAre("load-", "image+"));
}

TEST(WindowStartUp, AnErrorWhileLoadingIsShownAndSavingStaysOff) {
    HeadlessToolkit ui;
    RecordingSettings settings;
    settings.on_load = [](TForm1&) { throw std::runtime_error("Invalid data type for 'COM'"); };
    test::FakeSerialPlatform platform;
    TForm1 form(ui, settings, "Qx17eep", platform);
    form.Show();
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_TRUE(ui.Boxes()[0].error);
    // A quote sorts before the full stop: no full stop is added.
    EXPECT_EQ(ui.Boxes()[0].text, "Invalid data type for 'COM'");
    EXPECT_EQ(ui.Boxes()[0].caption, "Qx17eep");
    EXPECT_FALSE(form.SaveEnabled);
    EXPECT_TRUE(ui.Shown()) << "the window comes up all the same";
    ui.Click("CheckBox1");
    ui.Pick("ComboBox4", 3);
    EXPECT_THAT(settings.calls, ElementsAre("load-")) << "no save, no encoding";
}

TEST_F(Window, ChecksAndUserPicksSaveAtOnceProgramSetIndexesDoNot) {
    settings.calls.clear();
    const struct {
        std::function<void()> act;
        std::size_t saves;
    } steps[] = {
        {[&] { ui.Click("SelGPRS"); }, 1},
        {[&] { ui.Click("SelGPRS"); }, 1},  // unchecking is a change too
        {[&] { ui.Click("CheckBox1"); }, 1},
        {[&] { ui.Pick("SelTCP", 1); }, 1},
        {[&] { ui.Pick("ComboBox1", 2); }, 1},
        {[&] { ui.Pick("ComboBox4", 11); }, 1},
        {[&] { form->SelTCP->SetItemIndex(0); }, 0},
        {[&] { form->ComboBox4->SetItemIndex(5); }, 0},
        {[&] { form->SelGPRS->SetChecked(true); }, 1},  // a check box saves also when set
    };
    std::size_t expected = 0;
    for (const auto& step : steps) {
        step.act();
        expected += step.saves;
        EXPECT_EQ(settings.calls.size(), expected);
    }
    for (const std::string& call : settings.calls) {
        EXPECT_EQ(call, "save+");
    }
}

TEST_F(Window, StartOpensThePortChosenAndCloseClosesIt) {
    ui.Pick("ComboBox4", 11);
    ui.Click("BitBtn1");
    EXPECT_THAT(platform.opened_names, ElementsAre("COM12"));
    EXPECT_TRUE(form->PortOpen);
    EXPECT_TRUE(form->Comm1->IsOpen());
    EXPECT_EQ(form->BitBtn1->Text(), "Close");
    EXPECT_EQ(form->StatusBar1->PanelText(0), "");

    // Changing the port while open only takes effect at the next Start.
    ui.Pick("ComboBox4", 2);
    form->StatusBar1->SetPanelText(0, "Start Update...");
    ui.Click("BitBtn1");
    EXPECT_FALSE(form->PortOpen);
    EXPECT_FALSE(form->Comm1->IsOpen());
    EXPECT_EQ(form->BitBtn1->Text(), "Start");
    EXPECT_EQ(form->StatusBar1->PanelText(0), "");
    ui.Click("BitBtn1");
    EXPECT_THAT(platform.opened_names, ElementsAre("COM12", "COM3"));
    EXPECT_THAT(ui.Boxes(), IsEmpty());
}

TEST_F(Window, AFailedStartShowsTheErrorAndChangesNothing) {
    platform.open_error = SerialPlatform::OpenError::CannotOpen;
    ui.Click("BitBtn1");
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_TRUE(ui.Boxes()[0].error);
    EXPECT_EQ(ui.Boxes()[0].text, "Error opening serial port.");
    EXPECT_EQ(ui.Boxes()[0].caption, "Qx17eep");
    EXPECT_EQ(form->BitBtn1->Text(), "Start");
    EXPECT_FALSE(form->PortOpen);
    EXPECT_EQ(form->StatusBar1->PanelText(0), "20091112");

    // A second press tries again, with the port then chosen.
    platform.open_error = SerialPlatform::OpenError::None;
    ui.Pick("ComboBox4", 4);
    ui.Click("BitBtn1");
    EXPECT_THAT(platform.opened_names, ElementsAre("COM1", "COM5"));
    EXPECT_TRUE(form->PortOpen);
    EXPECT_EQ(ui.Boxes().size(), 1u);
}

TEST_F(Window, StartAndCloseAbandonAPendingExchangeSilently) {
    for (int press = 0; press < 2; ++press) {
        LinkState = 2;
        ReplyCountdown = 5;
        AutoWriteDelay = 7;
        ui.Click("BitBtn1");
        EXPECT_EQ(LinkState, 0);
        EXPECT_EQ(ReplyCountdown, 0);
        EXPECT_EQ(AutoWriteDelay, 7) << "a pending automatic write is not cleared";
    }
}

TEST_F(Window, TheHiddenDnsFieldNeverTakesTheFocus) {
    std::vector<std::string> visited;
    for (int i = 0; i < 60; ++i) {
        ui.Tab();
        visited.push_back(ui.Focused());
    }
    EXPECT_EQ(std::count(visited.begin(), visited.end(), "IN_DNS"), 0);
    ui.Focus("IN_DNS");
    EXPECT_NE(ui.Focused(), "IN_DNS");
    // The tab key goes round every focusable control, in the layout's order.
    const std::vector<std::string> sequence = TabSequence(Form1Layout());
    EXPECT_EQ(std::vector<std::string>(visited.begin(), visited.begin() + 5),
              std::vector<std::string>(sequence.begin() + 1, sequence.begin() + 6));
}

TEST(TabSequence, FollowsTheTabOrderWithinEachParent) {
    const std::vector<std::string> sequence = TabSequence(Form1Layout());
    EXPECT_THAT(std::vector<std::string>(sequence.begin(), sequence.begin() + 12),
                ElementsAre("BitBtn1", "ComboBox4", "IN_APN", "IN_APNNAME", "IN_APNPW", "IN_GPRSTM",
                            "IN_ID", "IN_IP", "IN_PORT", "SelTCP", "SelGPRS", "BitBtn7"));
    EXPECT_THAT(std::vector<std::string>(sequence.end() - 3, sequence.end()),
                ElementsAre("Button4", "Edit3", "CheckBox1"));
    EXPECT_EQ(sequence.size(), 33u);  // 6 of the window's own, 10, 3 and 14 in the groups
}

TEST_F(Window, AHandlerErrorIsShownAndTheProgramGoesOn) {
    form->BitBtn4->OnClick = [this] {
        form->Guard([] { throw std::runtime_error("'99999999999' is not a valid integer value"); });
    };
    ui.Click("BitBtn4");
    ui.Click("BitBtn4");
    ASSERT_EQ(ui.Boxes().size(), 2u);
    EXPECT_EQ(ui.Boxes()[1].text, "'99999999999' is not a valid integer value.");
    ui.Click("BitBtn1");
    EXPECT_TRUE(form->PortOpen);
}

TEST(ErrorBox, TextAndTitle) {
    const struct {
        const char* message;
        const char* text;
    } texts[] = {
        {"Error opening serial port", "Error opening serial port."},
        {"File handle is not a comm handle ", "File handle is not a comm handle "},
        {"Done!", "Done!"},
        {"Done.", "Done."},
        {"Value 9", "Value 9."},
        {"'x' is", "'x' is."},
        {"for 'COM'", "for 'COM'"},
        {"(a)", "(a)"},  // ')' sorts before '.'
        {"", ""},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(ErrorBoxText(t.message), t.text) << t.message;
    }
    EXPECT_EQ(ErrorBoxText("\xE9t\xE9"), "\xE9t\xE9.");  // bytes above 0x7F sort after too

    // The first letter as it stands, the others in lower case.
    const struct {
        const char* path;
        const char* title;
    } titles[] = {
        {"/usr/local/bin/qx17eep", "qx17eep"},
        {"C:\\Tools\\QX17EEP.EXE", "Qx17eep"},
        {"qx17eep.test.exe", "qx17eep"},
        {"./Para", "Para"},
        {"/opt/pARA.bin", "para"},
        {"C:\\a.b\\Qx17EEP", "Qx17eep"},  // the folder's full stop is not the name's
    };
    for (const auto& t : titles) {
        EXPECT_EQ(ApplicationTitle(t.path), t.title) << t.path;
    }
}

}  // namespace
}  // namespace qx17
