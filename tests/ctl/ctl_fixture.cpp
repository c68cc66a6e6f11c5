#include "tests/ctl/ctl_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "ctl/line/stop_request.h"

namespace qx17::ctl::test {

using namespace std::chrono_literals;

FieldValues TestProfile() {
    FieldValues v;
    v.APN = "internet.test";
    v.APN_NAME = "user";
    v.APN_PW = "secret";
    v.DNS = "1.1.1.1";
    v.GPRS_TM = "120";
    v.ID = "11112222333344";
    v.IP = "198.51.100.7";
    v.Port = "9000";
    v.GPRS_EN = true;
    v.GPRS_TYPE = 1;
    v.SMS_OBJ = "+4915100000";
    v.SMS_INT = "30";
    v.PW = "1234";
    v.Listen = "5550100";
    v.SOS_NO = "+112";
    v.LOG_INT = "300";
    v.TimeZone = "-60";
    v.SleepMode = "15";
    v.CallReply = 2;
    return v;
}

std::vector<std::vector<std::string>> LogRows(const std::filesystem::path& log) {
    std::ifstream in(log, std::ios::binary);
    std::string line;
    std::getline(in, line);
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(cell);
        }
        rows.push_back(fields);
    }
    return rows;
}

std::string ThisProgram() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

TempFolder::TempFolder() {
    char pattern[] = "/tmp/qx17ctl-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
}

TempFolder::~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

CtlTest::CtlTest()
    : times_{400ms, 800ms, 400ms, 800ms, 1}, progress_(false, [this](const std::string& line) {
          std::function<void(const std::string&)> hook;
          {
              std::lock_guard lock(lines_mutex_);
              lines_.push_back(line);
              hook = on_line_;
          }
          if (hook) {
              hook(line);
          }
      }) {
    ClearStopRequest();
}

CtlTest::~CtlTest() {
    ClearStopRequest();
}

sim::VirtualTracker& CtlTest::AddTracker(const std::string& id, bool announce) {
    sim::Options options;
    options.tracker_id = id;
    options.announce = announce;
    options.announce_interval = 200ms;
    trackers_.push_back(std::make_unique<sim::VirtualTracker>(options));
    return *trackers_.back();
}

ImageBytes CtlTest::MemoryOf(const sim::VirtualTracker& tracker) {
    ImageBytes image{};
    const sim::Bytes memory = tracker.Memory();
    std::copy_n(memory.begin(), std::min(memory.size(), image.size()), image.begin());
    return image;
}

std::unique_ptr<TrackerLink> CtlTest::OpenLink(const sim::VirtualTracker& tracker) {
    auto link = std::make_unique<TrackerLink>(tracker.SlavePath(), times_, progress_);
    link->Open();
    return link;
}

std::vector<std::string> CtlTest::Lines() {
    std::lock_guard lock(lines_mutex_);
    return lines_;
}

bool CtlTest::Said(const std::string& part) {
    const std::vector<std::string> lines = Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

}  // namespace qx17::ctl::test
