// Leaving an entry field: the check, the silent restore, the save, and the
// order of events, on the headless toolkit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "tests/support/fake_serial_platform.h"
#include "ui/form_mapping.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

class CountingSettings : public FormSettings {
  public:
    void LoadSettings(TForm1&) override {}
    void SaveSettings(TForm1& form) override {
        saved.push_back(form.Find(form_field).Text());
        qx17::FieldsToImage(form);
    }
    void FieldsToImage(TForm1& form) override { qx17::FieldsToImage(form); }
    std::string form_field = "IN_PORT";
    std::vector<std::string> saved;  // the watched field's text at each save
};

class FieldEntry : public testing::Test {
  protected:
    FieldEntry() : form(ui, settings, "Qx17eep", platform) {
        form.Show();
        settings.saved.clear();
    }
    ~FieldEntry() override { ParamImage.fill(0); }

    // Types into `field` and moves the focus on to `next`.
    void Enter(const std::string& field, const std::string& text,
               const std::string& next = "IN_APNNAME") {
        ui.Focus(field);
        ui.Type(text);
        ui.Focus(next);
    }

    HeadlessToolkit ui;
    CountingSettings settings;
    test::FakeSerialPlatform platform;
    TForm1 form;
};

// Every field, one accepted and one refused text: the refused one brings the
// previous text back silently and saves nothing.
TEST_F(FieldEntry, EachFieldKeepsAcceptedTextsAndRestoresRefusedOnes) {
    using namespace std::string_literals;
    const struct {
        const char* field;
        const char* good;
        std::string bad;
    } cases[] = {
        {"IN_APN", "internet", "123456789012345678901234567890123"},
        {"IN_APN", "internet", "a#b"},  // the tracker would keep only "a"
        {"IN_APNNAME", "user", "123456789012345678901"},
        {"IN_APNNAME", "user", "us#er"},
        {"IN_APNPW", "secret", "123456789012345678901"},
        {"IN_APNPW", "secret", "#"},
        {"IN_IP", "10.0.0.1", "123456789012345678901234567890123"},
        {"IN_IP", "10.0.0.1", "host#1"},
        // The tracker ends a text at a NUL as it does at '#'.
        {"IN_APN", "internet", "prod\0.apn"s},
        {"IN_APNNAME", "user", "\0user"s},
        {"IN_APNPW", "secret", "secret\0"s},
        {"IN_IP", "10.0.0.1", "\0"s},
        {"IN_PORT", "65535", "65536"},
        {"IN_ID", "12345678901234", "123456789012345"},
        {"IN_GPRSTM", "655350", "655351"},
        {"IN_ATEL", "+123456789012345", "12345678901234567"},
        {"IN_ATM", "10", "5"},
        {"IN_PW", "1234", "12a4"},
        {"Edit7", "+4412", "44+12"},
        {"IN_SMS1", "112", "1 12"},
        {"Edit1", "30", "x"},
        {"Edit2", "-480", "--480"},
        {"Edit3", "255", "300"},  // one byte in the image: 300 is refused
    };
    for (const auto& c : cases) {
        settings.form_field = c.field;
        settings.saved.clear();
        const std::string next = "BitBtn4";  // the focus moves to a button, not clicked
        Enter(c.field, c.good, next);
        EXPECT_EQ(form.Find(c.field).Text(), c.good) << c.field;
        ASSERT_EQ(settings.saved.size(), 1u) << c.field;
        EXPECT_EQ(settings.saved[0], c.good) << c.field;

        Enter(c.field, c.bad, next);
        EXPECT_EQ(form.Find(c.field).Text(), c.good) << c.field << ": the previous text comes back";
        EXPECT_EQ(settings.saved.size(), 1u) << c.field << ": nothing saved";
    }
    EXPECT_TRUE(ui.Boxes().empty()) << "a refused text is not reported";
}

TEST_F(FieldEntry, AnEmptiedIntervalRestoresTheOldText) {
    Enter("IN_GPRSTM", "60");
    Enter("IN_GPRSTM", "");
    EXPECT_EQ(form.IN_GPRSTM->Text(), "60");
    Enter("IN_PORT", "");
    EXPECT_EQ(form.IN_PORT->Text(), "") << "an empty port is accepted and saved";
    EXPECT_EQ(settings.saved.back(), "");
}

// Each field tests against its own entry text, never the next field's.
TEST_F(FieldEntry, TheLeavingFieldUsesItsOwnEntryText) {
    form.IN_PORT->SetText("8051");
    form.IN_PW->SetText("3794");
    ui.Focus("IN_PORT");
    ui.Type("bad");
    ui.Focus("IN_PW");  // the exit of IN_PORT runs before IN_PW's enter
    EXPECT_EQ(form.IN_PORT->Text(), "8051");
    EXPECT_EQ(form.EnterText, "3794");
    ui.Type("12");
    ui.Focus("IN_PORT");
    EXPECT_EQ(form.IN_PW->Text(), "3794");
}

// Typing a bad value and pressing an Apply button: the exit restores the
// value before the click sends the range, so the tracker gets the last
// accepted value.
TEST_F(FieldEntry, ApplyAfterABadEntrySendsTheLastAcceptedValue) {
    Enter("Edit1", "300");
    ui.Focus("Edit1");
    ui.Type("99999");
    ui.Click("Button10");  // 99999 is refused on the way
    EXPECT_EQ(form.Edit1->Text(), "300");
    EXPECT_EQ(LinkState, 1);
    EXPECT_EQ(ParamImage[184] | (ParamImage[185] << 8), 300);

    ui.Focus("Edit1");
    ui.Type("600");
    ui.Click("Button10");  // accepted and encoded before the click
    EXPECT_EQ(ParamImage[184] | (ParamImage[185] << 8), 600);
}

TEST_F(FieldEntry, SwitchingAwayAndBackRunsNothing) {
    ui.Focus("IN_PORT");
    ui.Type("bad");
    ui.Deactivate();
    ui.Focus("IN_PORT");  // the focus comes back to the same field
    EXPECT_EQ(form.IN_PORT->Text(), "bad") << "not tested until the field is left";
    EXPECT_TRUE(settings.saved.empty());
}

TEST_F(FieldEntry, ClosingTheWindowChecksTheFocusedField) {
    ui.Focus("IN_PORT");
    ui.Type("1234");
    ui.CloseWindow();
    ASSERT_EQ(settings.saved.size(), 1u);
    EXPECT_EQ(settings.saved[0], "1234");
}

}  // namespace
}  // namespace qx17
