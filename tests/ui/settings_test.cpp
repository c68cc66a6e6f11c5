// The saved settings' load and save rules, through the window on the headless
// toolkit, with the settings file of systems without a registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "params/ireg.h"
#include "params/param_image.h"
#include "params/reg_file_format.h"
#include "params/text_conversions.h"
#include "tests/support/fake_serial_platform.h"
#include "tests/support/hex_bytes.h"
#include "ui/form_mapping.h"
#include "ui/headless_toolkit.h"
#include "ui/program_options.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using test::ToHex;

std::string ImageHex(std::size_t first, std::size_t count) {
    return ToHex(
        std::vector<std::uint8_t>(ParamImage.begin() + static_cast<std::ptrdiff_t>(first),
                                  ParamImage.begin() + static_cast<std::ptrdiff_t>(first + count)));
}

// The saved settings, through the program's own store in a folder of this
// test alone.
class Settings : public testing::Test {
  protected:
    Settings() {
        char pattern[] = "/tmp/qx17-settings-XXXXXX";
        config_ = ::mkdtemp(pattern);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        file_ = config_ / "Kestrowind/QX17EEP/settings.reg";
    }
    ~Settings() override {
        form_.reset();
        ::unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(config_);
        ParamImage.fill(0);
    }
    TForm1& Start() {
        form_.reset();
        ui_ = std::make_unique<HeadlessToolkit>();
        form_ = std::make_unique<TForm1>(*ui_, DefaultFormSettings(), "Qx17eep", platform_);
        form_->Show();
        return *form_;
    }
    void WriteSettings(const std::string& values) {
        fs::create_directories(file_.parent_path());
        std::ofstream(file_, std::ios::binary)
            << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
            << values;
    }
    std::string File() {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path config_;
    fs::path file_;
    test::FakeSerialPlatform platform_;
    std::unique_ptr<HeadlessToolkit> ui_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(Settings, AFirstStartShowsTheDefaultsAndWritesNothing) {
    TForm1& form = Start();
    EXPECT_EQ(form.ComboBox4->ItemText(), "COM1");
    EXPECT_EQ(form.IN_APN->Text(), "CMNET");
    EXPECT_EQ(form.IN_GPRSTM->Text(), "0");
    EXPECT_EQ(form.IN_IP->Text(), "tracker.example.com");
    EXPECT_EQ(form.IN_PORT->Text(), "8051");
    EXPECT_EQ(form.IN_ATM->Text(), "0");
    EXPECT_EQ(form.IN_PW->Text(), "3794");
    EXPECT_EQ(form.Edit1->Text(), "0");
    EXPECT_EQ(form.Edit2->Text(), "0");
    EXPECT_EQ(form.Edit3->Text(), "0");
    EXPECT_EQ(form.IN_ID->Text(), "");
    EXPECT_EQ(form.SelTCP->ItemText(), "TCP");
    EXPECT_EQ(form.ComboBox1->ItemText(), "Disable");
    EXPECT_FALSE(form.SelGPRS->Checked());
    EXPECT_TRUE(ui_->Boxes().empty());
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_EQ(ImageHex(19, 6), "43 4D 4E 45 54 23") << "the loaded fields are encoded";
}

TEST_F(Settings, EveryChangeIsRememberedExceptAuto) {
    Start();
    ui_->Click("SelGPRS");
    ui_->Click("CheckBox1");
    ui_->Pick("ComboBox4", 6);
    ui_->Pick("ComboBox1", 1);
    // All 21 values, in the order of a save.
    const std::string file = File();
    const char* const order[] = {
        "COM", "Auto_Write", "APN",    "APN_NAME", "APN_PW",    "DNS",       "GPRS_TM",
        "ID",  "IP",         "Port",   "GPRS_EN",  "GPRS_TYPE", "SMS_OBJ",   "SMS_INT",
        "PW",  "Listen",     "SOS_NO", "LOG_INT",  "TimeZone",  "SleepMode", "CallReply"};
    std::size_t at = 0;
    for (const char* name : order) {
        const std::size_t found = file.find(std::string("\"") + name + "\"=", at);
        ASSERT_NE(found, std::string::npos) << name << " missing or out of order";
        at = found;
    }
    EXPECT_NE(file.find("\"Auto_Write\"=dword:00000001"), std::string::npos);

    TForm1& again = Start();
    EXPECT_TRUE(again.SelGPRS->Checked());
    EXPECT_FALSE(again.CheckBox1->Checked()) << "Auto always starts unchecked";
    EXPECT_EQ(again.ComboBox4->ItemText(), "COM7");
    EXPECT_EQ(again.ComboBox1->ItemText(), "Normal");
    EXPECT_EQ(ImageHex(16, 1), "01");
}

TEST_F(Settings, StoredValuesOutsideTheListsAndTheirRules) {
    WriteSettings(
        "\"COM\"=dword:00000028\r\n"  // 40: no such port
        "\"CallReply\"=dword:00000005\r\n"
        "\"GPRS_TYPE\"=dword:00000001\r\n"
        "\"GPRS_EN\"=dword:00000100\r\n"  // low 8 bits 0
        "\"PW\"=\"\"\r\n"
        "\"ID\"=\"\"\r\n"
        "\"APN\"=\"\"\r\n");
    TForm1& form = Start();
    EXPECT_EQ(form.ComboBox4->ItemText(), "COM1");
    EXPECT_EQ(form.ComboBox1->ItemIndex(), -1);
    EXPECT_EQ(ImageHex(247, 1), "FF");
    EXPECT_EQ(form.SelTCP->ItemText(), "UDP");
    EXPECT_FALSE(form.SelGPRS->Checked());
    EXPECT_EQ(form.IN_PW->Text(), "3794");
    EXPECT_EQ(form.IN_ID->Text(), "");
    EXPECT_EQ(form.IN_APN->Text(), "CMNET");
}

TEST_F(Settings, AValueOfTheWrongTypeStopsTheLoadAndSavingStaysOff) {
    WriteSettings("\"APN\"=\"internet\"\r\n\"GPRS_TM\"=dword:00000005\r\n\"IP\"=\"h\"\r\n");
    TForm1& form = Start();
    ASSERT_EQ(ui_->Boxes().size(), 1u);
    EXPECT_EQ(ui_->Boxes()[0].text, "Invalid data type for 'GPRS_TM'");
    EXPECT_EQ(form.IN_APN->Text(), "internet") << "read before the error";
    EXPECT_EQ(form.IN_IP->Text(), "") << "after it: the layout's contents, no default";
    EXPECT_FALSE(form.SaveEnabled);
    const std::string before = File();
    ui_->Click("SelGPRS");
    EXPECT_EQ(File(), before) << "nothing is saved";
}

TEST_F(Settings, ARefusedSaveIsShownAndTheImageIsNotEncoded) {
    TForm1& form = Start();
    fs::create_directories(config_ / "Kestrowind");
    std::ofstream(config_ / "Kestrowind/QX17EEP") << "a file where the folder should be";
    ParamImage[19] = 0x11;
    form.IN_APN->SetText("other");
    ui_->Click("SelGPRS");
    ASSERT_EQ(ui_->Boxes().size(), 1u);
    EXPECT_EQ(ui_->Boxes()[0].text, "Failed to set data for 'COM'");
    EXPECT_EQ(ParamImage[19], 0x11);
}

// qx17eep --settings FILE: that file in place of the default one, read and
// saved by the same rules; the default file is never touched.
TEST_F(Settings, ASettingsFileOnTheCommandLineTakesThePlaceOfTheDefaultOne) {
    const fs::path customer = config_ / "customer.reg";
    std::ofstream(customer, std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
        << "\"APN\"=\"customer.apn\"\r\n\"PW\"=\"\"\r\n\"GPRS_EN\"=dword:00000001\r\n";
    const std::string path = customer.string();
    const char* argv[] = {"qx17eep", "--settings", path.c_str()};
    ProgramOptions options;
    std::ostringstream out, errors;
    ASSERT_EQ(ParseProgramOptions(3, argv, true, options, out, errors), std::nullopt)
        << errors.str();
    {
        const ChosenSettingsStore store(options);
        TForm1& form = Start();
        EXPECT_EQ(form.IN_APN->Text(), "customer.apn");
        EXPECT_EQ(form.IN_PW->Text(), "3794") << "an empty value takes its default";
        EXPECT_TRUE(form.SelGPRS->Checked());
        ui_->Pick("ComboBox1", 2);
        form_.reset();
    }
    std::ifstream in(customer, std::ios::binary);
    std::stringstream saved;
    saved << in.rdbuf();
    EXPECT_NE(saved.str().find("\"CallReply\"=dword:00000002"), std::string::npos);
    EXPECT_NE(saved.str().find("\"APN\"=\"customer.apn\""), std::string::npos);
    EXPECT_FALSE(fs::exists(file_)) << "the default settings file stays untouched";

    // Without the option the default store is back.
    TForm1& form = Start();
    EXPECT_EQ(form.IN_APN->Text(), "CMNET");
}

}  // namespace
}  // namespace qx17
