// libserialport on a pty pair, as the benchmark sets it up: the alias must
// lead to the pty and leave no trace once unbound, and the modem-line answer
// must reach libserialport's calls and no one else's.
#include <fcntl.h>
#include <libserialport.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "tools/bench/bench_device.h"
#include "tools/bench/bench_stream.h"
#include "tools/bench/libserialport_on_pty.h"

namespace qx17::bench {
namespace {

// Both steps need a process with a single thread, so they run before any
// test does.
struct Setup : testing::Environment {
    void SetUp() override {
        device = std::make_unique<DeviceProcess>();
        ready = EnterPrivateMountNamespace(problem) && AnswerModemLinesForLibserialport(problem);
    }
    void TearDown() override { device.reset(); }

    std::unique_ptr<DeviceProcess> device;
    bool ready = false;
    std::string problem;
};

Setup* const setup = static_cast<Setup*>(testing::AddGlobalTestEnvironment(new Setup));

dev_t DeviceOf(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 ? info.st_rdev : 0;
}

class LibserialportOnPty : public testing::Test {
  protected:
    void SetUp() override {
        if (!setup->ready) {
            GTEST_SKIP() << "no private mount namespace here: " << setup->problem;
        }
        std::string problem;
        const std::optional<std::string> path = setup->device->OpenPair(problem);
        ASSERT_TRUE(path) << problem;
        slave_path_ = *path;
    }
    void TearDown() override {
        if (port_) {
            sp_close(port_);
            sp_free_port(port_);
        }
        alias_.Unbind();
        std::string problem;
        if (setup->ready) {
            setup->device->ClosePair(problem);
        }
    }
    void OpenPort() {
        std::string problem;
        ASSERT_TRUE(alias_.Bind(slave_path_, problem)) << problem;
        ASSERT_EQ(sp_get_port_by_name(PortAlias::kName, &port_), SP_OK);
        ASSERT_EQ(sp_open(port_, SP_MODE_READ_WRITE), SP_OK);
        ASSERT_EQ(sp_set_baudrate(port_, 9600), SP_OK);
        ASSERT_EQ(sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE), SP_OK);
    }

    std::string slave_path_;
    PortAlias alias_;
    sp_port* port_ = nullptr;
};

TEST_F(LibserialportOnPty, OpensThePtyThroughTheAliasAndMovesBytesBothWays) {
    OpenPort();
    const ByteStream stream;
    std::string problem;

    setup->device->StartFeed(10000);
    StreamChecker received(stream, 10000);
    std::array<std::uint8_t, 2048> buffer;
    while (!received.Complete() && !received.Failed()) {
        const int n = sp_blocking_read_next(port_, buffer.data(), buffer.size(), 5000);
        ASSERT_GT(n, 0);
        received.Take(buffer.data(), static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(received.Complete()) << received.Fault();
    EXPECT_TRUE(setup->device->FinishFeed(problem)) << problem;

    setup->device->StartDrain(10000);
    EXPECT_EQ(sp_blocking_write(port_, stream.At(0), 10000, 5000), 10000);
    EXPECT_TRUE(setup->device->FinishDrain(problem)) << problem;
}

TEST_F(LibserialportOnPty, ModemLinesReadAsNoneForLibserialportOnly) {
    OpenPort();
    sp_signal signals = SP_SIG_CTS;
    EXPECT_EQ(sp_get_signals(port_, &signals), SP_OK);
    EXPECT_EQ(signals, 0);

    // This program's own calls still get the pty's true answer.
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int bits = 0;
    errno = 0;
    EXPECT_EQ(::ioctl(fd, TIOCMGET, &bits), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);
}

TEST_F(LibserialportOnPty, TheAliasNamesThePtyOnlyWhileBound) {
    const dev_t original = DeviceOf(PortAlias::kName);
    std::string problem;
    ASSERT_TRUE(alias_.Bind(slave_path_, problem)) << problem;
    EXPECT_EQ(DeviceOf(PortAlias::kName), DeviceOf(slave_path_.c_str()));
    // Binding again, as every case does, replaces the mount, not stacks it.
    ASSERT_TRUE(alias_.Bind(slave_path_, problem)) << problem;
    alias_.Unbind();
    EXPECT_EQ(DeviceOf(PortAlias::kName), original);
    EXPECT_NE(DeviceOf(PortAlias::kName), DeviceOf(slave_path_.c_str()));
}

}  // namespace
}  // namespace qx17::bench
