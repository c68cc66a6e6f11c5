// The settings file of systems without a registry: the registry routines and
// their errors on it, and its durability when processes die mid-save.
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

#include "params/ireg.h"
#include "params/reg_file_format.h"
#include "params/registry_file_store.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSection = "HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP";

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

// A new settings file is its owner's alone; one whose mode its owner
// changed keeps it when a save replaces it.
TEST_F(FileStore, ASaveKeepsTheFilesModeAndANewFileIsPrivate) {
    const mode_t umask_before = ::umask(002);
    for (const int before : {-1, 0640, 0664}) {
        fs::remove(file_);
        if (before >= 0) {
            WriteFile(file_, "REGEDIT4\r\n");
            ASSERT_EQ(::chmod(file_.c_str(), static_cast<mode_t>(before)), 0);
        }
        ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN", "CMNET"));
        struct stat info {};
        ASSERT_EQ(::stat(file_.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(before >= 0 ? before : 0600)) << before;
        EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "CMNET");
    }
    ::umask(umask_before);
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
