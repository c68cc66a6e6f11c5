// The window's saved settings in the registry of the current user: the window
// logic on the headless toolkit with the program's own settings, and the
// registry looked at directly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "params/param_image.h"
#include "params/registry.h"
#include "tests/support/fake_serial_platform.h"
#include "tests/win32/registry_raw.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/program_options.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

using test::GetRawValue;
using test::kRawSettingsKey;
using test::ValueCount;

RegistryValue Dword(std::uint32_t value) {
    std::string data(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return {REG_DWORD, data};
}

RegistryValue Text(const std::string& text) {
    return {REG_SZ, text + '\0'};
}

class Win32Settings : public testing::Test {
  protected:
    Win32Settings() {
        test::DeleteSettingsKey();
        ParamImage.fill(0);
    }
    ~Win32Settings() override {
        form_.reset();
        test::DeleteSettingsKey();
        ParamImage.fill(0);
    }
    TForm1& Start() {
        form_.reset();
        ui_ = std::make_unique<HeadlessToolkit>();
        form_ = std::make_unique<TForm1>(*ui_, DefaultFormSettings(), "Qx17eep", platform_);
        form_->Show();
        return *form_;
    }

    test::FakeSerialPlatform platform_;
    std::unique_ptr<HeadlessToolkit> ui_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(Win32Settings, AFirstStartShowsTheDefaultsAndWritesNothing) {
    TForm1& form = Start();
    EXPECT_EQ(form.ComboBox4->ItemText(), "COM1");
    EXPECT_EQ(form.IN_APN->Text(), "CMNET");
    EXPECT_EQ(form.IN_IP->Text(), "tracker.example.com");
    EXPECT_EQ(form.IN_PORT->Text(), "8051");
    EXPECT_EQ(form.IN_PW->Text(), "3794");
    EXPECT_EQ(form.IN_ID->Text(), "");
    EXPECT_FALSE(form.SelGPRS->Checked());
    EXPECT_TRUE(ui_->Boxes().empty());
    EXPECT_EQ(ValueCount(kRawSettingsKey), 0) << "the key is opened, no value written";
}

TEST_F(Win32Settings, AChangeStoresAll21ValuesWithTheirTypesAndARestartShowsIt) {
    Start();
    ui_->Click("SelGPRS");
    EXPECT_EQ(ValueCount(kRawSettingsKey), 21);
    const struct {
        const char* name;
        RegistryValue value;
    } expected[] = {
        {"COM", Dword(0)},       {"Auto_Write", Dword(0)}, {"APN", Text("CMNET")},
        {"APN_NAME", Text("")},  {"APN_PW", Text("")},     {"DNS", Text("")},
        {"GPRS_TM", Text("0")},  {"ID", Text("")},         {"IP", Text("tracker.example.com")},
        {"Port", Text("8051")},  {"GPRS_EN", Dword(1)},    {"GPRS_TYPE", Dword(0)},
        {"SMS_OBJ", Text("")},   {"SMS_INT", Text("0")},   {"PW", Text("3794")},
        {"Listen", Text("")},    {"SOS_NO", Text("")},     {"LOG_INT", Text("0")},
        {"TimeZone", Text("0")}, {"SleepMode", Text("0")}, {"CallReply", Dword(0)},
    };
    for (const auto& value : expected) {
        EXPECT_EQ(GetRawValue(kRawSettingsKey, value.name), value.value) << value.name;
    }

    ui_->Pick("ComboBox4", 6);
    ui_->Pick("ComboBox1", 1);
    ui_->Click("CheckBox1");
    EXPECT_EQ(GetRawValue(kRawSettingsKey, "Auto_Write"), Dword(1));
    EXPECT_EQ(GetRawValue(kRawSettingsKey, "COM"), Dword(6));

    TForm1& again = Start();
    EXPECT_TRUE(ui_->Boxes().empty());
    EXPECT_TRUE(again.SelGPRS->Checked());
    EXPECT_FALSE(again.CheckBox1->Checked()) << "Auto always starts unchecked";
    EXPECT_EQ(again.ComboBox4->ItemText(), "COM7");
    EXPECT_EQ(again.ComboBox1->ItemText(), "Normal");
}

TEST_F(Win32Settings, AValueOfTheWrongTypeStopsTheLoadAndNothingIsSaved) {
    ASSERT_TRUE(test::SetRawValue(kRawSettingsKey, "APN", REG_SZ, Text("internet").data));
    ASSERT_TRUE(test::SetRawValue(kRawSettingsKey, "GPRS_TM", REG_DWORD, Dword(5).data));
    TForm1& form = Start();
    ASSERT_EQ(ui_->Boxes().size(), 1u);
    EXPECT_TRUE(ui_->Boxes()[0].error);
    EXPECT_EQ(ui_->Boxes()[0].text, "Invalid data type for 'GPRS_TM'");
    EXPECT_EQ(form.IN_APN->Text(), "internet") << "read before the error";
    EXPECT_FALSE(form.SaveEnabled);
    ui_->Click("SelGPRS");
    EXPECT_EQ(ValueCount(kRawSettingsKey), 2) << "nothing is saved";
}

// qx17eep.exe --settings FILE: the file in place of the registry, read and
// saved by the same rules; the registry is left alone.
TEST_F(Win32Settings, ASettingsFileOnTheCommandLineTakesThePlaceOfTheRegistry) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "qx17-settings-option";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::filesystem::path customer = folder / "customer.reg";
    std::ofstream(customer, std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
        << "\"APN\"=\"customer.apn\"\r\n\"GPRS_EN\"=dword:00000001\r\n";
    const std::string path = customer.string();
    const char* argv[] = {"qx17eep.exe", "--settings", path.c_str()};
    ProgramOptions options;
    std::ostringstream out, errors;
    ASSERT_EQ(ParseProgramOptions(3, argv, false, options, out, errors), std::nullopt)
        << errors.str();
    {
        const ChosenSettingsStore store(options);
        TForm1& form = Start();
        EXPECT_EQ(form.IN_APN->Text(), "customer.apn");
        EXPECT_TRUE(form.SelGPRS->Checked());
        ui_->Pick("ComboBox1", 2);
        form_.reset();
    }
    std::stringstream saved;
    saved << std::ifstream(customer, std::ios::binary).rdbuf();
    EXPECT_NE(saved.str().find("\"CallReply\"=dword:00000002"), std::string::npos) << saved.str();
    EXPECT_EQ(ValueCount(kRawSettingsKey), -1) << "the registry key is not even created";
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qx17
