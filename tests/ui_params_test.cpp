// The parameter image and the saved settings, through the window on the
// headless toolkit: byte-exact images of example values, round trips, the
// bytes the encoder leaves alone, and the settings' load and save rules with
// the real file store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
#include "ui/tform1.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using test::ToHex;

class NoSettings : public FormSettings {
  public:
    void LoadSettings(TForm1&) override {}
    void SaveSettings(TForm1&) override {}
    void FieldsToImage(TForm1&) override {}
};

std::string ImageHex(std::size_t first, std::size_t count) {
    return ToHex(
        std::vector<std::uint8_t>(ParamImage.begin() + static_cast<std::ptrdiff_t>(first),
                                  ParamImage.begin() + static_cast<std::ptrdiff_t>(first + count)));
}

class Mapping : public testing::Test {
  protected:
    Mapping() : form(ui, settings, "Qx17eep", platform) { ParamImage.fill(0xEE); }
    ~Mapping() override { ParamImage.fill(0); }

    HeadlessToolkit ui;
    NoSettings settings;
    test::FakeSerialPlatform platform;
    TForm1 form;
};

TEST_F(Mapping, EncodesTheExampleValuesByteForByte) {
    form.SelGPRS->SetChecked(true);
    form.SelTCP->SetItemIndex(1);
    form.IN_GPRSTM->SetText("25");
    form.IN_APN->SetText("CMNET");
    form.IN_ID->SetText("12345");
    form.IN_PORT->SetText("8051");
    form.IN_PW->SetText("3794");
    form.Edit1->SetText("65535");
    form.Edit2->SetText("-480");
    form.Edit3->SetText("300");
    form.IN_ATM->SetText("10");
    form.ComboBox1->SetItemIndex(-1);
    FieldsToImage(form);

    EXPECT_EQ(ImageHex(16, 1), "02");                     // GPRS on, UDP
    EXPECT_EQ(ImageHex(17, 2), "02 00");                  // 25 s in tens
    EXPECT_EQ(ImageHex(19, 7), "43 4D 4E 45 54 23 EE");   // CMNET#, then untouched
    EXPECT_EQ(ImageHex(107, 7), "12 34 5F FF FF FF FF");  // packed, F filler
    EXPECT_EQ(ImageHex(146, 5), "38 30 35 31 23");        // 8051#
    EXPECT_EQ(ImageHex(2, 4), "33 37 39 34");             // no terminator
    EXPECT_EQ(ImageHex(184, 2), "FF FF");
    EXPECT_EQ(ImageHex(186, 4), "80 8F FF FF");  // -480 min = -28800 s
    EXPECT_EQ(ImageHex(212, 1), "2C");           // 300 -> low byte 44
    EXPECT_EQ(ImageHex(229, 2), "0A 00");
    EXPECT_EQ(ImageHex(247, 1), "FF");     // no item chosen
    EXPECT_EQ(ImageHex(114, 2), "23 EE");  // empty IP: just '#'
}

TEST_F(Mapping, NeverTouchesTheUnmappedBytes) {
    form.IN_GPRSTM->SetText("0");
    form.IN_ATM->SetText("0");
    FieldsToImage(form);
    for (const auto& [first, last] :
         {std::pair{0, 1}, {6, 15}, {151, 167}, {190, 211}, {248, 4096}}) {
        for (int i = first; i <= last; ++i) {
            ASSERT_EQ(ParamImage[static_cast<std::size_t>(i)], 0xEE) << "byte " << i;
        }
    }
}

TEST_F(Mapping, FullWidthTextsHaveNoHashAndLongerOnesAreCut) {
    form.IN_APN->SetText(std::string(32, 'a'));
    form.IN_IP->SetText(std::string(40, 'b'));  // only the saved settings can hold this
    form.IN_PORT->SetText("123456");
    FieldsToImage(form);
    EXPECT_EQ(ParamImage[50], 'a');
    EXPECT_EQ(ParamImage[51], '#') << "APN_NAME (empty) follows, untouched by the APN";
    EXPECT_EQ(ParamImage[145], 'b');
    EXPECT_EQ(ParamImage[146], '1') << "the IP did not spill into the port";
    EXPECT_EQ(ImageHex(146, 5), "31 32 33 34 35");
    EXPECT_EQ(ParamImage[151], 0xEE);
    ImageToFields(form);
    EXPECT_EQ(form.IN_APN->Text(), std::string(32, 'a'));
    EXPECT_EQ(form.IN_IP->Text(), std::string(32, 'b'));
}

TEST_F(Mapping, DecodesWhatItEncodes) {
    const struct {
        Control* field;
        const char* text;
    } values[] = {
        {form.IN_APN, "CMNET"},     {form.IN_APNNAME, "user"},
        {form.IN_APNPW, "p#w"},     {form.IN_IP, "tracker.example.com"},
        {form.IN_PORT, "65535"},    {form.IN_ID, "12345678901234"},
        {form.IN_GPRSTM, "655350"}, {form.IN_ATEL, "+8613800000000"},
        {form.IN_ATM, "65535"},     {form.IN_PW, "0000"},
        {form.Edit7, "1234"},       {form.IN_SMS1, "+441234"},
        {form.Edit1, "0"},          {form.Edit2, "-480"},
        {form.Edit3, "255"},        {form.IN_DNS, "8.8.8.8"},
    };
    for (const auto& v : values)
        v.field->SetText(v.text);
    form.SelGPRS->SetChecked(true);
    form.SelTCP->SetItemIndex(0);
    form.ComboBox1->SetItemIndex(2);
    FieldsToImage(form);
    const auto image = ParamImage;

    for (const auto& v : values)
        v.field->SetText("");
    form.SelGPRS->SetChecked(false);
    form.ComboBox1->SetItemIndex(-1);
    ImageToFields(form);
    for (const auto& v : values) {
        // A '#' inside a text ends it when read back.
        const std::string expected = std::string(v.text) == "p#w" ? "p" : v.text;
        EXPECT_EQ(v.field->Text(), expected) << v.field->Name();
    }
    EXPECT_TRUE(form.SelGPRS->Checked());
    EXPECT_EQ(form.SelTCP->ItemIndex(), 0);
    EXPECT_EQ(form.ComboBox1->ItemIndex(), 2);
    FieldsToImage(form);
    EXPECT_EQ(ParamImage, image) << "encoding the decoded fields gives the same image";
}

TEST_F(Mapping, DecodingRules) {
    ParamImage.fill(0);
    ImageToFields(form);  // a never-written image
    EXPECT_EQ(form.IN_APN->Text(), "");
    EXPECT_EQ(form.IN_ID->Text(), "00000000000000");
    EXPECT_FALSE(form.SelGPRS->Checked());
    EXPECT_EQ(form.SelTCP->ItemIndex(), 0);
    EXPECT_EQ(form.ComboBox1->ItemIndex(), 0);

    ParamImage[16] = 5;   // any mode but 0 and 1: on, UDP
    ParamImage[247] = 3;  // no such item
    PutI32(kTimeZone, 3630);
    PutBytes(kID, std::string(7, '\xFF'));
    PutU16(kGPRS_TM, 65535);
    ImageToFields(form);
    EXPECT_TRUE(form.SelGPRS->Checked());
    EXPECT_EQ(form.SelTCP->ItemIndex(), 1);
    EXPECT_EQ(form.ComboBox1->ItemIndex(), -1);
    EXPECT_EQ(form.Edit2->Text(), "60");
    EXPECT_EQ(form.IN_ID->Text(), "");
    EXPECT_EQ(form.IN_GPRSTM->Text(), "655350");
}

TEST_F(Mapping, BadNumbersEncodeAsZeroAndABadIdLeavesItsBytes) {
    const struct {
        const char* text;
        const char* bytes;
    } cases[] = {{"abc", "00 00"},
                 {"12345678901", "00 00"},
                 {"", "00 00"},
                 {"+25", "02 00"},
                 {"-100", "F6 FF"}};
    for (const auto& c : cases) {
        form.IN_GPRSTM->SetText(c.text);
        FieldsToImage(form);
        EXPECT_EQ(ImageHex(17, 2), c.bytes) << c.text;
    }
    PutBytes(kID, "\x01\x02\x03\x04\x05\x06\x07");
    form.IN_ID->SetText("12-34");
    FieldsToImage(form);
    EXPECT_EQ(ImageHex(107, 7), "01 02 03 04 05 06 07");
}

TEST_F(Mapping, AConversionErrorStopsAtItsField) {
    form.IN_ATM->SetText("77");
    form.IN_PW->SetText("1234");
    form.Edit1->SetText("9999999999");  // ten digits beyond 32 bits
    EXPECT_THROW(FieldsToImage(form), EConvertError);
    EXPECT_EQ(ImageHex(229, 2), "4D 00") << "SMS_INT comes before LOG_INT: written";
    EXPECT_EQ(ImageHex(2, 4), "31 32 33 34") << "PW too";
    EXPECT_EQ(ImageHex(184, 2), "EE EE") << "LOG_INT itself not";
    EXPECT_EQ(ImageHex(186, 4), "EE EE EE EE") << "the time zone after it not";
}

TEST(ImageBytesToText, RangesAndBounds) {
    ParamImage.fill(0);
    ParamImage[0] = 'A';
    ParamImage[4096] = 'Z';
    EXPECT_EQ(ImageBytesToText(0, 3), std::string("A\0\0", 3));
    EXPECT_EQ(ImageBytesToText(0, 0), "");
    EXPECT_EQ(ImageBytesToText(5, -1), "");
    EXPECT_EQ(ImageBytesToText(4096, 1), "Z");
    EXPECT_EQ(ImageBytesToText(4095, 10), std::string("\0Z", 2)) << "nothing past the image";
    EXPECT_EQ(ImageBytesToText(-2, 3), "A");
    ParamImage.fill(0);
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

}  // namespace
}  // namespace qx17
