// The registry export format and the code page conversions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "params/ansi_text.h"
#include "params/reg_file_format.h"

namespace qx17 {
namespace {

constexpr const char* kSection = "HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP";

std::string Sz(const std::string& text) {
    return text + '\0';
}
std::string Dword(std::uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

RegistryValue Lookup(const RegDocument& doc, const std::string& name,
                     RegDocument::Lookup expected = RegDocument::Lookup::kFound) {
    RegistryValue value;
    EXPECT_EQ(doc.Find(kSection, name, value), expected) << name;
    return value;
}

TEST(RegDocument, ReadsWhatRegeditWrites) {
    const std::string file =
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
        "\"APN\"=\"not ours\"\r\n"
        "\r\n"
        "[hkey_current_user\\software\\kestrowind\\qx17eep]\r\n"
        "\"APN\"=\"CM\\\"NET\\\\x\"\r\n"
        "\"COM\"=dword:0000000b\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,ff\r\n"
        "\"Path\"=hex(2):25,54,45,4d,50,25,00\r\n"
        "@=\"default\"\r\n"
        "\"Gone\"=-\r\n"
        "\"Ansi\"=\"caf\xE9\"\r\n"
        "\"Twice\"=\"first\"\r\n"
        "\"twice\"=\"second\"\r\n";
    const RegDocument doc = RegDocument::Parse(file);
    EXPECT_EQ(Lookup(doc, "apn"), (RegistryValue{REG_SZ, Sz("CM\"NET\\x")}));
    EXPECT_EQ(Lookup(doc, "COM"), (RegistryValue{REG_DWORD, Dword(11)}));
    EXPECT_EQ(Lookup(doc, "Blob"), (RegistryValue{REG_BINARY, "\x01\x02\x03\xFF"}));
    EXPECT_EQ(Lookup(doc, "Path"), (RegistryValue{REG_EXPAND_SZ, Sz("%TEMP%")}));
    EXPECT_EQ(Lookup(doc, ""), (RegistryValue{REG_SZ, Sz("default")}));
    EXPECT_EQ(Lookup(doc, "Ansi"), (RegistryValue{REG_SZ, Sz("caf\xE9")}));
    EXPECT_EQ(Lookup(doc, "TWICE"), (RegistryValue{REG_SZ, Sz("second")}));
    Lookup(doc, "Gone", RegDocument::Lookup::kMissing);
    Lookup(doc, "Nothing", RegDocument::Lookup::kMissing);

    // Written back unchanged but for the header, which is always REGEDIT4.
    EXPECT_EQ(doc.Serialize(), file);
}

TEST(RegDocument, DamagedLinesAreErrorsAndStayAsTheyStand) {
    const std::string file =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
        "\"APN\"=\"unterminated\r\n"
        "\"COM\"=dword:12345678901\r\n"
        "\"Blob\"=hex:1,zz\r\n"
        "\"Type\"=hex(zz):00\r\n"
        "\"Odd\"=what\r\n"
        "garbage \x01\x02 line\r\n"
        "\"Fine\"=\"yes\"\r\n";
    RegDocument doc = RegDocument::Parse(file);
    for (const char* name : {"APN", "COM", "Blob", "Type", "Odd"}) {
        Lookup(doc, name, RegDocument::Lookup::kDamaged);
    }
    Lookup(doc, "Fine");
    doc.Set(kSection, "New", {REG_SZ, Sz("v")});
    const std::string written = doc.Serialize();
    EXPECT_NE(written.find("\"APN\"=\"unterminated\r\n"), std::string::npos);
    EXPECT_NE(written.find("garbage \x01\x02 line\r\n"), std::string::npos);
    EXPECT_NE(written.find("\"New\"=\"v\""), std::string::npos);
    // Writing a damaged value repairs it.
    doc.Set(kSection, "APN", {REG_SZ, Sz("CMNET")});
    EXPECT_EQ(Lookup(RegDocument::Parse(doc.Serialize()), "APN").data, Sz("CMNET"));
}

TEST(RegDocument, SetAndReadBackEveryKindOfValue) {
    const struct {
        const char* name;
        RegistryValue value;
        const char* line;  // how it is written, nullptr: not checked
    } cases[] = {
        {"Text",
         {REG_SZ, Sz("a \"b\" \\c\\ \xE9\x80")},
         "\"Text\"=\"a \\\"b\\\" \\\\c\\\\ \xE9\x80\""},
        {"Empty", {REG_SZ, Sz("")}, "\"Empty\"=\"\""},
        {"Number", {REG_DWORD, Dword(0xFFFFFFFF)}, "\"Number\"=dword:ffffffff"},
        {"NewLine", {REG_SZ, Sz("a\r\nb")}, "\"NewLine\"=hex(1):61,0d,0a,62,00"},
        {"NoZero", {REG_SZ, "abc"}, "\"NoZero\"=hex(1):61,62,63"},
        {"Short", {REG_DWORD, "\x01\x02"}, "\"Short\"=hex(4):01,02"},
        {"Binary", {REG_BINARY, std::string(100, '\x5A')}, nullptr},
        {"Odd", {0x1234, std::string("\x00\x01", 2)}, "\"Odd\"=hex(1234):00,01"},
        {"Nothing", {REG_BINARY, ""}, "\"Nothing\"=hex:"},
    };
    RegDocument doc = RegDocument::Parse("");
    for (const auto& c : cases) {
        doc.Set(kSection, c.name, c.value);
    }
    const std::string written = doc.Serialize();
    EXPECT_EQ(written.rfind("REGEDIT4\r\n", 0), 0u);
    const RegDocument reread = RegDocument::Parse(written);
    for (const auto& c : cases) {
        EXPECT_EQ(Lookup(reread, c.name), c.value) << c.name;
        if (c.line != nullptr) {
            EXPECT_NE(written.find(std::string(c.line) + "\r\n"), std::string::npos) << c.name;
        }
    }
    // A long binary value is wrapped the way regedit wraps it.
    EXPECT_NE(written.find(",\\\r\n  5a,"), std::string::npos);
}

TEST(RegDocument, ReadsTheVersion5FormInEveryEncoding) {
    const std::string body =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
        "\"APN\"=\"caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD\"\r\n"
        "\"Path\"=hex(2):25,00,54,00,00,00\r\n";
    std::string utf16 = "\xFF\xFE";
    std::size_t i = 0;
    while (i < body.size()) {  // the body is ASCII but for the APN's characters
        const auto b = static_cast<unsigned char>(body[i]);
        char32_t cp = b;
        if (b == 0xC3) {
            cp = 0xE9, i += 2;
        } else if (b == 0xE2) {
            cp = 0x20AC, i += 3;
        } else if (b == 0xE4) {
            cp = 0x4E2D, i += 3;
        } else {
            ++i;
        }
        utf16.push_back(static_cast<char>(cp & 0xFF));
        utf16.push_back(static_cast<char>(cp >> 8));
    }
    for (const std::string& file : {utf16, "\xEF\xBB\xBF" + body, body}) {
        const RegDocument doc = RegDocument::Parse(file);
        // UTF-8 é and € become the ANSI bytes; a character ANSI lacks, '?'.
        EXPECT_EQ(Lookup(doc, "APN").data, Sz("caf\xE9 \x80 ?"));
        EXPECT_EQ(Lookup(doc, "Path"), (RegistryValue{REG_EXPAND_SZ, Sz("%T")}));
        EXPECT_EQ(doc.Serialize().rfind("REGEDIT4\r\n", 0), 0u);
    }
}

TEST(AnsiText, EveryByteSurvivesTheWayThroughUnicode) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = AnsiToUtf8(byte);
        EXPECT_TRUE(IsUtf8(utf8)) << b;
        EXPECT_EQ(Utf8ToAnsi(utf8), byte) << b;
    }
    EXPECT_EQ(AnsiToUtf8("\x80\xE9\x9F"),
              "\xE2\x82\xAC\xC3\xA9\xC5\xB8");        // euro, e acute, Y diaeresis
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD\xFF"), "??");  // no such character; not UTF-8
}

}  // namespace
}  // namespace qx17
