// Test helper for the qx17ctl program itself: runs it as a child process
// (stdout and stderr to files) against virtual trackers, as scripts run it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/ctl/ctl_fixture.h"

namespace qx17::ctl::test {

// The whole of a file, empty when it cannot be read.
std::string Slurp(const std::filesystem::path& file);

struct Outcome {
    int exit_code = -1;  // -1: killed by a signal, or still running at the deadline
    std::string out;
    std::string err;
};

class ProgramTest : public CtlTest {
  protected:
    ProgramTest();
    ~ProgramTest() override;

    struct SpawnOptions {
        std::vector<std::string> before;  // a command that runs the program (prlimit ...)
        int err_fd = -1;                  // stderr there rather than to a file
    };
    pid_t Spawn(const std::vector<std::string>& args, const SpawnOptions& how);
    pid_t Spawn(const std::vector<std::string>& args) { return Spawn(args, SpawnOptions{}); }
    // Waits for the program's end; past `patience` it is killed.
    Outcome Wait(pid_t pid, std::chrono::seconds patience = std::chrono::seconds(60));
    Outcome Qx17ctl(const std::vector<std::string>& args) { return Wait(Spawn(args)); }
    // Whether `reached` comes true within 10 s, looked at every 5 ms.
    static bool Until(const std::function<bool()>& reached);

    // `values` as a profile file in the test's folder.
    std::filesystem::path Profile(const FieldValues& values,
                                  const std::string& name = "profile.reg");

  private:
    std::set<pid_t> running_;  // spawned and not waited for
};

}  // namespace qx17::ctl::test
