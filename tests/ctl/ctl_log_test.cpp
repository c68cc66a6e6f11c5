// The production line's log as people and crashes leave it: edited by hand
// or by a spreadsheet, torn, reached by several names, shared by processes;
// and the claims that keep an ID from being given out twice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "ctl/line/line_log.h"

namespace qx17::ctl {
namespace {

namespace fs = std::filesystem;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

// A folder of its own, removed with what it holds (on Windows too).
class TempFolder {
  public:
    TempFolder() {
        std::random_device random;
        path_ = fs::temp_directory_path() /
                ("qx17-log-test-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::unique_ptr<LineLog> Open(const fs::path& file, std::string& error) {
    LineLog::Failure failure;
    return LineLog::Open(file, error, failure);
}

LogRow Row(const std::string& port, const std::string& id) {
    LogRow row;
    row.port = port;
    row.id_before = "1";
    row.id_written = id;
    row.outcome = "ok";
    row.seconds = 1.0;
    return row;
}

constexpr const char* kHeader = "time,port,id_before,id_written,outcome,differences,seconds";

// Each log is read exactly (its IDs, and the row appended after them ends
// the way its lines do) or refused with the line that is wrong.
TEST(LineLogFile, AnEditedLogIsReadExactlyOrRefusedWithItsLine) {
    const std::string h = kHeader;
    const std::string row = "2026-12-08T10:00:00Z,COM1,1,";
    const struct {
        const char* what;
        std::string content;
        std::vector<std::string> ids;
        std::string then;  // how the file ends after one more row; or the refusal
    } cases[] = {
        {"no final line end",
         h + "\n" + row + "0900,ok,,0.6",
         {"0900"},
         ",0.6\n1970-01-01T00:00:00Z,P,1,1234,ok,,1.0\n"},
        {"CR line ends",
         h + "\r" + row + "0900,ok,,0.6\r" + row + "0901,ok,,0.6\r",
         {"0900", "0901"},
         ",0.6\r1970-01-01T00:00:00Z,P,1,1234,ok,,1.0\r"},
        {"CRLF line ends", h + "\r\n" + row + "0900,ok,,0.6\r\n", {"0900"}, "1234,ok,,1.0\r\n"},
        {"blanks around fields",
         " " + h + "\n" + row + " 0900 ,ok,,0.6\n\n",
         {"0900"},
         "1234,ok,,1.0\n"},
        {"quoted fields",
         h + "\n" + row + "\"0900\",ok,\"APN;IP\",0.6\n",
         {"0900"},
         "1234,ok,,1.0\n"},
        {"columns in another order",
         "id_written,time,port,id_before,outcome,differences,seconds\n0900,t,COM1,1,ok,,0.6\n",
         {"0900"},
         "\n1234,1970-01-01T00:00:00Z,P,1,ok,,1.0\n"},
        {"a torn row holding its ID",
         h + "\n" + row + "0900,o",
         {"0900"},
         row + "0900,interrupted,,\n1970-01-01T00:00:00Z,P,1,1234,ok,,1.0\n"},
        {"a row torn inside its ID",
         h + "\n" + row + "09",
         {},
         h + "\n1970-01-01T00:00:00Z,P,1,1234,ok,,1.0\n"},
        {"a torn header", "time,port,id_be", {}, h + "\n1970-01-01T00:00:00Z,P,1,1234,ok,,1.0\n"},
        {"a spreadsheet's number",
         h + "\n" + row + "0900,ok,,0.6\n" + row + "3.5712E+13,ok,,0.6\n",
         {},
         "line.csv:3: id_written \"3.5712E+13\" is not an ID"},
        {"a spreadsheet's number at the end",
         h + "\n" + row + "3.5712E+13,ok,,0.6",
         {},
         "line.csv:2: id_written"},
        {"a row with a field less",
         h + "\r\n" + row + "0900,ok,,0.6\r\n\r\n" + row + "0901,ok,0.6\r\n",
         {},
         "line.csv:4: 6 fields where the header has 7"},
        {"no header", row + "0900,ok,,0.6\n", {}, "line.csv:1: not the header of a line log"},
        {"an unknown header",
         "time,port,id,outcome\n",
         {},
         "line.csv:1: not the header of a line log"},
        {"a column twice",
         "time,port,id_before,id_written,outcome,differences,port\n",
         {},
         "line.csv:1: not the header"},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        const fs::path file = folder / "line.csv";
        std::ofstream(file, std::ios::binary) << c.content;
        std::string error;
        LineLog::Failure failure;
        std::unique_ptr<LineLog> log = LineLog::Open(file, error, failure);
        if (c.then.find("line.csv:") != std::string::npos) {
            EXPECT_FALSE(log) << c.what;
            EXPECT_EQ(failure, LineLog::Failure::kRefused) << c.what;
            EXPECT_THAT(error, HasSubstr((folder / c.then).string())) << c.what;
            EXPECT_EQ(Slurp(file), c.content) << c.what << ": a refused log is left as it was";
            continue;
        }
        ASSERT_TRUE(log) << c.what << ": " << error;
        EXPECT_THAT(log->WrittenIds(), ElementsAreArray(c.ids)) << c.what;
        ASSERT_TRUE(log->Append(Row("P", "1234"), "", error)) << c.what << ": " << error;
        log.reset();
        const std::string after = Slurp(file);
        EXPECT_TRUE(after.size() >= c.then.size() &&
                    after.compare(after.size() - c.then.size(), c.then.size(), c.then) == 0)
            << c.what << ":\n"
            << after;
        std::vector<std::string> ids = c.ids;
        ids.push_back("1234");
        ASSERT_TRUE(log = Open(file, error)) << c.what << ": " << error;
        EXPECT_THAT(log->WrittenIds(), ElementsAreArray(ids)) << c.what << ": read again";
    }
}

TEST(LineLogFile, WhatIsNotARegularFileIsRefused) {
    TempFolder folder;
#ifdef _WIN32
    const fs::path device = "NUL";
#else
    const fs::path device = "/dev/null";
#endif
    for (const fs::path& file : {device, folder.Path()}) {
        std::string error;
        LineLog::Failure failure;
        EXPECT_FALSE(LineLog::Open(file, error, failure)) << file;
        EXPECT_EQ(failure, LineLog::Failure::kRefused);
        EXPECT_THAT(error, HasSubstr("not a regular file")) << file;
    }
}

TEST(LineLogFile, TwoWritersNeverInterleave) {
    TempFolder folder;
    const fs::path file = folder / "log.csv";
    std::string error;
    auto first = Open(file, error);
    auto second = Open(file, error);
    ASSERT_TRUE(first && second) << error;
    const auto write = [](LineLog& log, const std::string& port) {
        for (int i = 0; i < 200; ++i) {
            std::string why;
            LogRow row = Row(port, std::to_string(i));
            row.differences = {"APN", "IP"};
            ASSERT_TRUE(log.Append(row, "", why)) << why;
        }
    };
    std::thread a(write, std::ref(*first), std::string(40, 'a'));
    std::thread b(write, std::ref(*second), std::string(40, 'b'));
    a.join();
    b.join();
    std::istringstream lines(Slurp(file));
    std::string line;
    std::getline(lines, line);
    int rows = 0;
    for (; std::getline(lines, line); ++rows) {
        EXPECT_TRUE(
            std::regex_match(line, std::regex("[^,]+,(a{40}|b{40}),1,[0-9]+,ok,APN;IP,1.0")))
            << line;
    }
    EXPECT_EQ(rows, 400);
}

// One log by three names: one lock, so one process gives out its IDs, and
// one set of claims.
TEST(LineLogFile, ALogReachedByThreeNamesHasOneLockAndOneSetOfClaims) {
    TempFolder folder;
    const fs::path file = folder / "line.csv";
    std::string error;
    auto by_name = Open(file, error);
    ASSERT_TRUE(by_name) << error;
    fs::create_hard_link(file, folder / "hard.csv");
    // Windows lets only some users make symbolic links: then the name is
    // the file's own once more.
    std::error_code no_link;
    fs::create_symlink(file, folder / "symbolic.csv", no_link);
    auto by_symlink = Open(no_link ? file : folder / "symbolic.csv", error);
    auto by_hard_link = Open(folder / "hard.csv", error);
    ASSERT_TRUE(by_symlink && by_hard_link) << error;
    EXPECT_TRUE(by_symlink->GiveIds("0900", false, error));
    EXPECT_FALSE(by_name->GiveIds("0900", false, error));
    EXPECT_FALSE(by_hard_link->GiveIds("0900", false, error));

    // A writer that gives no IDs appends a row by the other name: the next
    // claim sees it, not only what the file held at the start.
    ASSERT_TRUE(by_name->Append(Row("COM9", "0900"), "", error)) << error;
    LogRow row = Row("COM1", "");
    std::string claim;
    ASSERT_EQ(by_symlink->Claim(row, claim, error), LineLog::ClaimResult::kClaimed);
    EXPECT_EQ(row.id_written, "0901");
    EXPECT_TRUE(fs::exists(folder / "line.csv.claims"));
    EXPECT_FALSE(fs::exists(folder / "symbolic.csv.claims"));
}

// A claim without its row is an ID a tracker may hold: used while its
// process may still be working on it, and an `interrupted` row once the log
// is opened with nobody else on it.
TEST(LineLogFile, AClaimWithoutItsRowBecomesAnInterruptedRowWhenNobodyWorksOnIt) {
    TempFolder folder;
    const fs::path file = folder / "line.csv";
    std::string error;
    auto crashed = Open(file, error);
    ASSERT_TRUE(crashed && crashed->GiveIds("0900", false, error)) << error;
    LogRow done = Row("COM1", "");
    LogRow lost = Row("COM2", "");
    std::string claim_done;
    std::string claim_lost;
    ASSERT_EQ(crashed->Claim(done, claim_done, error), LineLog::ClaimResult::kClaimed);
    ASSERT_EQ(crashed->Claim(lost, claim_lost, error), LineLog::ClaimResult::kClaimed);
    EXPECT_EQ(lost.id_written, "0901");
    ASSERT_TRUE(crashed->Append(done, claim_done, error)) << error;
    // The process dies here: what it has on the disk is what the next finds.
    const std::string log_left = Slurp(file);
    const std::string claims_left = Slurp(folder / "line.csv.claims");
    crashed.reset();
    std::ofstream(file, std::ios::binary) << log_left;
    std::ofstream(folder / "line.csv.claims", std::ios::binary) << claims_left;

    auto sibling = Open(file, error);  // alone: settles
    ASSERT_TRUE(sibling) << error;
    EXPECT_THAT(sibling->WrittenIds(), UnorderedElementsAreArray({"0900", "0901"}));
    const std::string settled = Slurp(file);
    EXPECT_THAT(settled, HasSubstr("COM2,1,0901,interrupted,,\n"));
    EXPECT_EQ(Slurp(folder / "line.csv.claims"), "");

    // A claim of a process still working stays its own.
    LogRow working = Row("COM3", "4711");
    std::string claim;
    ASSERT_EQ(sibling->Claim(working, claim, error), LineLog::ClaimResult::kClaimed);
    auto newcomer = Open(file, error);
    ASSERT_TRUE(newcomer) << error;
    EXPECT_EQ(Slurp(file), settled);
    EXPECT_THAT(newcomer->WrittenIds(), testing::Contains("4711"));
    ASSERT_TRUE(sibling->Append(working, claim, error));
    sibling.reset();
    newcomer.reset();
    EXPECT_EQ(Slurp(folder / "line.csv.claims"), "") << "the last one out settles";
    EXPECT_THAT(Slurp(file), testing::Not(HasSubstr("4711,interrupted")));
}

TEST(LineLogFile, TheSequenceSkipsEveryIdUsedAndKeepsItsWidth) {
    IdSequence ids("0098");
    for (const char* used : {"0099", "100", "0102", "abc", ""}) {
        ids.Use(used);
    }
    EXPECT_EQ(ids.NextFree(), "0098");
    ids.Use("0098");
    EXPECT_EQ(ids.NextFree(), "0101");
    EXPECT_TRUE(ids.HasFree(2));
    IdSequence two_left("99999999999997");
    two_left.Use("99999999999998");
    EXPECT_TRUE(two_left.HasFree(2));
    EXPECT_FALSE(two_left.HasFree(3));
    IdSequence last("99999999999999");
    EXPECT_EQ(last.NextFree(), "99999999999999");
    last.Use("99999999999999");
    EXPECT_EQ(last.NextFree(), std::nullopt);
}

}  // namespace
}  // namespace qx17::ctl
