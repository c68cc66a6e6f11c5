// Profiles as people get them wrong: each is refused with every problem
// listed (file, line, value, what is wrong), exit 2, and no frame goes to
// the tracker.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "ctl/commands/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/profiles/profile_check.h"
#include "ctl/profiles/profile_file.h"
#include "params/field_descriptors.h"
#include "params/profile.h"
#include "tests/ctl/ctl_fixture.h"

namespace qx17::ctl {
namespace {

using namespace std::string_literals;
using test::TestProfile;

// The test profile as REGEDIT4 text, with `from` replaced by `to`.
std::string Edited(const std::string& from, const std::string& to) {
    std::string text = SerializeProfile(TestProfile());
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The same text as a version 5 file in UTF-16 (little-endian, with its mark).
std::string Version5(std::string utf8) {
    utf8.replace(0, 8, "Windows Registry Editor Version 5.00");
    std::string out = "\xFF\xFE";
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = static_cast<unsigned char>(utf8[i]);
        const std::size_t n = cp < 0x80 ? 1 : cp < 0xE0 ? 2 : 3;
        cp = n == 1 ? cp : cp & (n == 2 ? 0x1F : 0x0F);
        for (std::size_t k = 1; k < n; ++k) {
            cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += n;
        out += static_cast<char>(cp & 0xFF);
        out += static_cast<char>(cp >> 8);
    }
    return out;
}

struct ProfileCase {
    std::string name;
    std::string text;
    std::vector<std::string> problems;  // each a part of one problem, in order; none: usable
};

std::vector<ProfileCase> Cases() {
    const std::string base = SerializeProfile(TestProfile());
    std::vector<ProfileCase> cases = {
        {"as saved", base, {}},
        {"the window's own settings file, COM and Auto_Write with it",
         Edited("\"APN\"", "\"COM\"=dword:00000002\r\n\"Auto_Write\"=dword:00000001\r\n\"APN\""),
         {}},
        {"a code page 1252 letter", Edited("user", "us\xE9r"), {}},
        {"comments and blank lines", Edited("\"PW\"", "; the customer's\r\n\r\n\"PW\""), {}},
        {"cut short after APN_NAME",
         base.substr(0, base.find("\"APN_PW\"")),
         {"p.reg: APN_PW (\"APN Password\") is missing", "p.reg: DNS (\"DNS\") is missing"}},
        {"a misspelt name",
         Edited("\"APN\"", "\"APM\""),
         {"p.reg:4: \"APM\" is not a value of the settings file (did you mean \"APN\"?).",
          "p.reg: APN (\"APN\") is missing"}},
        {"GPRS_TM 45",
         Edited("\"120\"", "\"45\""),
         {"p.reg:8: GPRS_TM (\"Interval\") \"45\": the tracker keeps it in steps of ten; the "
          "nearest it can hold are \"40\" and \"50\"."}},
        {"a sign the tracker drops",
         Edited("\"-60\"", "\"+60\""),
         {"p.reg:20: TimeZone (\"Time Zone\") \"+60\": the tracker would hold it as \"60\"."}},
        {"GPRS_TM as a dword",
         Edited("\"GPRS_TM\"=\"120\"", "\"GPRS_TM\"=dword:0000002d"),
         {"p.reg:8: GPRS_TM (\"Interval\") is a dword; the settings file keeps it as a string"}},
        {"an empty password",
         Edited("\"1234\"", "\"\""),
         {"p.reg:16: PW (\"Password\") is empty: the window would write \"3794\" in its place."}},
        {"UTF-8 in REGEDIT4",
         Edited("user", "caf\xC3\xA9"),
         {"p.reg:5: this REGEDIT4 file holds UTF-8 text. REGEDIT4 files are in code page 1252; "
          "save it in that code page, or as a version 5 file (UTF-16"}},
        {"version 5 with a letter code page 1252 lacks",
         Version5(Edited("user", "\xC5\x82")),
         {"p.reg:5: \"APN_NAME\" holds a character that code page 1252 lacks"}},
        {"version 5 in UTF-16", Version5(Edited("user", "caf\xC3\xA9")), {}},
        {"GPRS_TYPE 5",
         Edited("\"GPRS_TYPE\"=dword:00000001", "\"GPRS_TYPE\"=dword:00000005"),
         {"p.reg:13: GPRS_TYPE (\"TCP/UDP\") dword:00000005 is outside its list: 0 \"TCP\", 1 "
          "\"UDP\"."}},
        {"GPRS_EN as a text",
         Edited("\"GPRS_EN\"=dword:00000001", "\"GPRS_EN\"=\"1\""),
         {"p.reg:12: GPRS_EN (\"GPRS\") is a string; the settings file keeps it as a dword "
          "(dword:00000001)."}},
        {"GPRS_EN 0x100",
         Edited("\"GPRS_EN\"=dword:00000001", "\"GPRS_EN\"=dword:00000100"),
         {"p.reg:12: GPRS_EN (\"GPRS\") dword:00000100 is neither 0 (off) nor 1 (on)."}},
        {"CallReply 9",
         Edited("\"CallReply\"=dword:00000002", "\"CallReply\"=dword:00000009"),
         {"CallReply (\"Call For SMS\") dword:00000009 is outside its list: 0 \"Disable\""}},
        {"CallReply none",
         Edited("\"CallReply\"=dword:00000002", "\"CallReply\"=dword:ffffffff"),
         {"dword:ffffffff is outside its list"}},
        {"DNS too long",
         Edited("\"1.1.1.1\"", "\"208.67.222.222.extra\""),
         {"p.reg:7: DNS (\"DNS\") \"208.67.222.222.extra\" breaks its rule: at most 16 "
          "characters, no '#' or NUL"}},
        {"DNS with '#'",
         Edited("\"1.1.1.1\"", "\"1.1#1.1\""),
         {"DNS (\"DNS\") \"1.1#1.1\" breaks"}},
        {"a line of junk",
         Edited("\"PW\"", "APN=internet\r\n\"PW\""),
         {"p.reg:16: neither a value, a comment nor a blank line: \"APN=internet\""}},
        {"a value given twice",
         Edited("\"PW\"", "\"pw\"=\"1234\"\r\n\"PW\""),
         {"p.reg:17: \"PW\" is given again (first on line 16)"}},
        {"a deleted value", Edited("\"PW\"=\"1234\"", "\"PW\"=-"), {"p.reg:16: \"PW\" is deleted"}},
        {"data that cannot be read",
         Edited("\"PW\"=\"1234\"", "\"PW\"=dword:xyz"),
         {"p.reg:16: \"PW\": its data cannot be read: a dword is dword: and up to 8 hex digits"}},
        {"a text without its closing quote",
         Edited("\"PW\"=\"1234\"", "\"PW\"=\"1234"),
         {"p.reg:16: \"PW\": its data cannot be read: a text needs its closing quote"}},
        {"no profile at all",
         "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"APN\"=\"x\"\r\n",
         {"p.reg: no values under [HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]; the "
          "file's keys: [HKEY_CURRENT_USER\\Software\\Other]."}},
        {"a key whose only line cannot be read",
         "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n\"APN=CMNET\r\n",
         {"p.reg:4: neither a value, a comment nor a blank line"}},
        {"a 50 MB value",
         Edited("\"internet.test\"", "\"" + std::string(50 << 20, 'a') + "\""),
         {"p.reg:4: APN (\"APN\") \"" + std::string(60, 'a') +
          "\"... (52428800 characters) breaks its rule"}},
    };
    // Each value missing in turn; a NUL at the start, in the middle and at
    // the end of each text.
    const FieldValues profile = TestProfile();
    for (const FieldDescriptor& field : FieldDescriptors()) {
        const std::size_t start = base.find("\"" + std::string(field.name) + "\"=");
        const std::size_t end = base.find("\r\n", start) + 2;
        cases.push_back(
            {"without " + std::string(field.name),
             std::string(base).erase(start, end - start),
             {"p.reg: " + std::string(field.name) + " (\"" + field.label + "\") is missing"}});
        if (field.text == nullptr) {
            continue;
        }
        const std::string value = profile.*field.text;
        const std::string quoted = "=\"" + value + "\"";
        for (const std::string& with_nul :
             {"\0"s + value, value.substr(0, 1) + "\0"s + value.substr(1), value + "\0"s}) {
            cases.push_back({std::string(field.name) + " with a NUL",
                             Edited(std::string(field.name) + "\"" + quoted,
                                    std::string(field.name) + "\"=\"" + with_nul + "\""),
                             {" (\"" + std::string(field.label) + "\") " + QuotedValue(with_nul) +
                              " breaks its rule"}});
        }
    }
    return cases;
}

class Profiles : public test::CtlTest {};

TEST_F(Profiles, EveryProblemIsListedAndNothingIsSent) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    const std::filesystem::path file = folder_ / "p.reg";
    for (const ProfileCase& c : Cases()) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
        const ProfileCheck check = CheckProfile("p.reg", c.text);
        if (c.problems.empty()) {
            EXPECT_THAT(check.problems, testing::IsEmpty()) << c.name;
            continue;
        }
        ASSERT_GE(check.problems.size(), c.problems.size()) << c.name;
        std::size_t next = 0;
        for (const std::string& problem : check.problems) {
            EXPECT_LT(problem.size(), 400u) << c.name << ": a value is cut short";
            if (next < c.problems.size() && problem.find(c.problems[next]) != std::string::npos) {
                ++next;
            }
        }
        EXPECT_EQ(next, c.problems.size())
            << c.name << ": missing \"" << c.problems[std::min(next, c.problems.size() - 1)]
            << "\" in\n"
            << testing::PrintToString(check.problems);
        std::ostringstream out;
        EXPECT_EQ(WriteCommand({tracker.SlavePath(), times_}, file, {}, true, progress_, out),
                  kExitUsage)
            << c.name;
    }
    EXPECT_TRUE(tracker.Log().empty()) << "no frame reached the tracker";
}

// read -o writes the tracker's passwords: a new profile is its owner's
// alone, whatever the umask and whatever a killed write left behind; one
// that is there keeps the permissions its owner gave it.
TEST_F(Profiles, ReadWritesANewProfileForItsOwnerAloneAndKeepsAnExistingOnesMode) {
    sim::VirtualTracker& tracker = AddTracker("35712001234567", false);
    const struct {
        const char* name;
        int before;    // the file's mode before, -1: no file
        int leftover;  // the mode of a leftover "p.reg.tmp", -1: none
        int expected;
    } cases[] = {
        {"a new profile", -1, -1, 0600},
        {"a new profile where a killed write left its temporary file", -1, 0666, 0600},
        {"a profile made private to its owner and group", 0640, -1, 0640},
        {"a profile made private to its owner", 0400, 0644, 0400},
        {"a profile shared on purpose", 0664, -1, 0664},
    };
    const std::filesystem::path file = folder_ / "p.reg";
    const mode_t umask_before = ::umask(002);
    for (const auto& c : cases) {
        std::filesystem::remove(file);
        if (c.before >= 0) {
            std::ofstream(file) << "old";
            ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(c.before)), 0) << c.name;
        }
        const std::filesystem::path temporary = file.string() + ".tmp";
        if (c.leftover >= 0) {
            std::ofstream(temporary) << "half";
            ASSERT_EQ(::chmod(temporary.c_str(), static_cast<mode_t>(c.leftover)), 0) << c.name;
        }
        std::ostringstream out;
        EXPECT_EQ(ReadCommand({tracker.SlavePath(), times_}, file, false, progress_, out),
                  kExitDone)
            << c.name;
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0) << c.name;
        EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(c.expected)) << c.name;
        EXPECT_EQ(info.st_uid, ::geteuid()) << c.name;
        EXPECT_FALSE(std::filesystem::exists(temporary)) << c.name;
        EXPECT_EQ(LoadProfile(file), ImageToFields(MemoryOf(tracker))) << c.name;
    }
    ::umask(umask_before);
}

// A profile that passes is what the tracker will hold, value for value.
TEST(ProfileValues, AProfileThatPassesIsTakenExactly) {
    const ProfileCheck check = CheckProfile("p.reg", Edited("user", "us\xE9r"));
    FieldValues expected = TestProfile();
    expected.APN_NAME = "us\xE9r";
    EXPECT_EQ(check.values, expected);
}

}  // namespace
}  // namespace qx17::ctl
