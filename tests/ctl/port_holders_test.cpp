// Who holds a serial device, found without opening it: the processes that
// have it open and the lock files that name a live process.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ctl/ports/port_admin.h"
#include "ctl/ports/port_holders_posix.h"
#include "tests/ctl/ctl_fixture.h"

namespace qx17::ctl {
namespace {

using test::TempFolder;
using test::ThisProgram;
namespace fs = std::filesystem;

// A PID that was a process and is no more: a child, ended and reaped.
pid_t EndedPid() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

TEST(LockFileHolders, ALiveProcessHoldsAndAStaleOrBrokenLockDoesNot) {
    TempFolder folder;
    const pid_t self = getpid();
    const pid_t ended = EndedPid();
    std::string binary(sizeof(int), '\0');
    std::memcpy(binary.data(), &self, sizeof self);
    char padded[16];
    std::snprintf(padded, sizeof padded, "%10d\n", static_cast<int>(self));
    const struct {
        const char* name;  // for /dev/ttyS0 and /dev/pts/3
        std::string content;
        bool held;
    } cases[] = {
        {"LCK..ttyS0", padded, true},
        {"LCK..ttyS0", std::to_string(self), true},
        {"LCK..ttyS0", binary, true},
        {"LCK..pts_3", padded, true},
        {"LCK..ttyS0", std::to_string(ended) + "\n", false},
        {"LCK..ttyS0", "12ab\n", false},
        {"LCK..ttyS0", "", false},
        {"LCK..ttyS1", padded, false},
    };
    for (const auto& c : cases) {
        fs::remove_all(folder / "lock");
        fs::create_directories(folder / "lock");
        std::ofstream(folder / "lock" / c.name, std::ios::binary) << c.content;
        const std::string device = std::strstr(c.name, "pts") ? "/dev/pts/3" : "/dev/ttyS0";
        const std::vector<PortHolder> holders =
            LockFileHolders(device, {folder / "empty", folder / "lock"});
        const std::string what = std::string(c.name) + " " + testing::PrintToString(c.content);
        if (c.held) {
            ASSERT_EQ(holders.size(), 1u) << what;
            EXPECT_EQ(holders[0].pid, self) << what;
            EXPECT_EQ(holders[0].program, ThisProgram()) << what;
        } else {
            EXPECT_TRUE(holders.empty()) << what;
        }
    }
}

TEST(PortHolders, NamesTheProcessThatHasTheDeviceOpenWithoutOpeningIt) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    EXPECT_EQ(PortHolders(slave), "") << "the master is another device";
    const int held = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const std::string expected = ThisProgram() + " (pid " + std::to_string(getpid()) + ")";
    EXPECT_EQ(PortHolders(slave), expected);
    close(held);
    EXPECT_EQ(PortHolders(slave), "");
    close(master);
}

}  // namespace
}  // namespace qx17::ctl
