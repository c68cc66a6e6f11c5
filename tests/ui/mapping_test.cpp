// The parameter image and the window's fields, on the headless toolkit:
// byte-exact images of example values, round trips, the bytes the encoder
// leaves alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "params/param_image.h"
#include "params/text_conversions.h"
#include "tests/support/fake_serial_platform.h"
#include "tests/support/hex_bytes.h"
#include "ui/form_mapping.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

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
    PutI32(ParamImage, kTimeZone, 3630);
    PutBytes(ParamImage, kID, std::string(7, '\xFF'));
    PutU16(ParamImage, kGPRS_TM, 65535);
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
    PutBytes(ParamImage, kID, "\x01\x02\x03\x04\x05\x06\x07");
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

}  // namespace
}  // namespace qx17
