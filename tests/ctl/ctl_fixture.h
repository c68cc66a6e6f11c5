// Test helper for qx17ctl's logic: virtual trackers on pseudo-terminals, a
// profile, short time-outs and a record of what the tool tells its user.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ctl/link/tracker_link.h"
#include "ctl/output/progress.h"
#include "params/field_values.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17::ctl::test {

// The profile the tests write: every field away from the factory value.
FieldValues TestProfile();

// The rows of a line log below its header, each as its fields (split at
// every comma: the tests' rows quote nothing).
std::vector<std::vector<std::string>> LogRows(const std::filesystem::path& log);

// This process's name as the system shows it to others (/proc/self/comm).
std::string ThisProgram();

// A temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

class CtlTest : public testing::Test {
  protected:
    CtlTest();
    ~CtlTest() override;

    // A tracker that announces itself every 200 ms until it is answered, or
    // one that only answers.
    sim::VirtualTracker& AddTracker(const std::string& id = "35712001234567", bool announce = true);
    // Its memory as an image.
    static ImageBytes MemoryOf(const sim::VirtualTracker& tracker);
    // A link to `tracker`, opened.
    std::unique_ptr<TrackerLink> OpenLink(const sim::VirtualTracker& tracker);

    // Everything said on stderr, one entry a line.
    std::vector<std::string> Lines();
    bool Said(const std::string& part);

    LinkTimes times_;
    std::mutex lines_mutex_;
    std::vector<std::string> lines_;
    // Called with each line said, on the thread that says it (set it before
    // anything runs).
    std::function<void(const std::string&)> on_line_;
    Progress progress_;
    std::vector<std::unique_ptr<sim::VirtualTracker>> trackers_;
    TempFolder folder_;
};

}  // namespace qx17::ctl::test
