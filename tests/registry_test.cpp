// The settings store: the registry export format, the registry routines and
// their errors, and the file's durability when processes die mid-save.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "params/ansi_text.h"
#include "params/ireg.h"
#include "params/reg_file_format.h"
#include "params/registry_file_store.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSection = "HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP";

std::string Sz(const std::string& text) {
    return text + '\0';
}
std::string Dword(std::uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
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

class FileStore : public testing::Test {
  protected:
    FileStore() {
        char pattern[] = "/tmp/qx17-registry-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        file_ = folder_ / "Kestrowind/QX17EEP/settings.reg";
        store_ = std::make_unique<RegistryFileStore>(file_);
        UseRegistryStore(store_.get());
    }
    ~FileStore() override {
        UseRegistryStore(nullptr);
        fs::remove_all(folder_);
    }

    std::string Error(const std::function<void()>& act) {
        try {
            act();
        } catch (const ERegistryException& e) {
            return e.what();
        }
        return "";
    }

    fs::path folder_;
    fs::path file_;
    std::unique_ptr<RegistryFileStore> store_;
};

TEST_F(FileStore, MissingValuesReadAsEmptyAndNothingIsWrittenByReading) {
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "COM"), 0);
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_FALSE(fs::exists(file_.parent_path()));
}

TEST_F(FileStore, WritesLandInTheFileInTheRegistrysOwnForm) {
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN", "CMNET"));
    EXPECT_TRUE(RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, "COM", 0));
    EXPECT_TRUE(RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, "GPRS_TYPE", -1));
    EXPECT_EQ(ReadFile(file_),
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
              "\"APN\"=\"CMNET\"\r\n\"COM\"=dword:00000000\r\n\"GPRS_TYPE\"=dword:ffffffff\r\n");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "apn"), "CMNET");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "GPRS_TYPE"), -1);
    // A second write replaces the value in place.
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN", "internet");
    EXPECT_EQ(ReadFile(file_).find("CMNET"), std::string::npos);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "internet");
}

TEST_F(FileStore, ValuesOfTheWrongKindGiveTheRegistrysErrors) {
    WriteFile(file_,
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
              "\"COM\"=\"abc\"\r\n"
              "\"Long\"=\"three\"\r\n"
              "\"Big\"=hex(4):01,02,03,04,05\r\n"
              "\"Bin\"=hex:01,02\r\n"
              "\"Num\"=dword:00000007\r\n"
              "\"Exp\"=hex(2):61,62,00\r\n"
              "\"NoData\"=hex(1):\r\n"
              "\"Broken\"=dword:xyz\r\n");
    const auto read_int = [](const char* n) {
        return [n] { RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, n); };
    };
    const auto read_str = [](const char* n) {
        return [n] { RegReadString(HKEY_CURRENT_USER, kSettingsKey, n); };
    };
    // Up to 4 bytes of another type: the wrong type; more: the data do not fit.
    EXPECT_EQ(Error(read_int("COM")), "Invalid data type for 'COM'");
    EXPECT_EQ(Error(read_int("Long")), "Failed to get data for 'Long'");
    EXPECT_EQ(Error(read_int("Big")), "Failed to get data for 'Big'");
    EXPECT_EQ(Error(read_int("Bin")), "Invalid data type for 'Bin'");
    EXPECT_EQ(Error(read_str("Num")), "Invalid data type for 'Num'");
    EXPECT_EQ(Error(read_str("Bin")), "Invalid data type for 'Bin'");
    EXPECT_EQ(Error(read_str("Broken")), "Failed to get data for 'Broken'");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "Exp"), "ab");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "NoData"), "");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "Num"), 7);
}

TEST_F(FileStore, ARefusedWriteNamesTheValueAndLeavesTheFileAlone) {
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN", "CMNET");
    const std::string before = ReadFile(file_);
    ::chmod(file_.parent_path().c_str(), 0500);  // no new files in the folder
    const bool root = ::geteuid() == 0;          // root writes there all the same
    if (!root) {
        EXPECT_EQ(Error([] { RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "IP", "x"); }),
                  "Failed to set data for 'IP'");
    }
    ::chmod(file_.parent_path().c_str(), 0700);

    // A folder that cannot be made: its place is taken by a file.
    RegistryFileStore blocked(folder_ / "plain-file/settings.reg");
    WriteFile(folder_ / "plain-file", "x");
    UseRegistryStore(&blocked);
    EXPECT_EQ(Error([] { RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, "COM", 1); }),
              "Failed to set data for 'COM'");
    UseRegistryStore(store_.get());
    EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(FileStore, ABatchIsStoredOnceAndWholeOrNotAtAll) {
    store_->BeginBatch();
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "A", "1");
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "B", "2");
    EXPECT_FALSE(fs::exists(file_)) << "nothing before the commit";
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "a"), "1") << "reads see the batch";
    EXPECT_TRUE(store_->CommitBatch());
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "B"), "2");

    store_->BeginBatch();
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "A", "changed");
    store_->AbandonBatch();
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "A"), "1");
}

TEST_F(FileStore, TwoProcessesKeepEachOthersValues) {
    RegistryFileStore other(file_);
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "Mine", "1");
    UseRegistryStore(&other);
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "Theirs", "2");
    UseRegistryStore(store_.get());
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "Mine", "3");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "Theirs"), "2");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "Mine"), "3");
}

// Processes that save a batch of 21 values in a loop are killed at random
// moments; every time, the file holds one whole save.
TEST_F(FileStore, AKilledSaveLeavesTheOldFileOrTheNewNeverABrokenOne) {
    constexpr int kValues = 21;
    std::mt19937 rng(1112);
    std::uniform_int_distribution<int> delay_us(0, 30000);
    int last_seen = -1;
    for (int round = 0; round < 60; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RegistryFileStore store(file_);
            UseRegistryStore(&store);
            for (int n = round * 100000;; ++n) {
                store.BeginBatch();
                for (int v = 0; v < kValues; ++v) {
                    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "V" + std::to_string(v),
                                   std::to_string(n) + std::string(40, 'x'));
                }
                if (!store.CommitBatch())
                    ::_exit(3);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + delay_us(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself";

        if (!fs::exists(file_)) {
            continue;  // killed before its first save
        }
        const RegDocument doc = RegDocument::Parse(ReadFile(file_));
        std::string first;
        for (int v = 0; v < kValues; ++v) {
            RegistryValue value;
            ASSERT_EQ(doc.Find(kSection, "V" + std::to_string(v), value),
                      RegDocument::Lookup::kFound)
                << "round " << round << ", value " << v;
            if (v == 0)
                first = value.data;
            EXPECT_EQ(value.data, first) << "a save only half on disk, round " << round;
        }
        last_seen = round;
    }
    EXPECT_GE(last_seen, 0) << "no save ever completed";
}

}  // namespace
}  // namespace qx17
