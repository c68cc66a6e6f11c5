// The benchmark's own safeguards: the stream checker must catch every way a
// transfer can go wrong, and the device process must feed, drain, check and
// time bytes on a real pty pair as the benchmark relies on. No timing is
// asserted here.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tools/bench/bench_device.h"
#include "tools/bench/bench_link.h"
#include "tools/bench/bench_stream.h"

namespace qx17::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes StreamBytes(const ByteStream& stream, std::uint64_t from, std::size_t count) {
    Bytes bytes;
    while (bytes.size() < count) {
        const std::size_t run = std::min(count - bytes.size(), ByteStream::kMaxRun);
        const std::uint8_t* at = stream.At(from + bytes.size());
        bytes.insert(bytes.end(), at, at + run);
    }
    return bytes;
}

// Feeds `bytes` to a checker in pieces of the given sizes, cycling through
// them; returns whether every piece was accepted.
bool FeedInPieces(StreamChecker& checker, const Bytes& bytes,
                  const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], bytes.size() - at);
        if (!checker.Take(bytes.data() + at, n)) {
            return false;
        }
        at += n;
    }
    return true;
}

class StreamCheckerTest : public testing::Test {
  protected:
    const ByteStream stream;
};

TEST_F(StreamCheckerTest, AcceptsTheWholeStreamInAnyPiecesAcrossItsPeriod) {
    const std::size_t count = ByteStream::kPeriod + 300000;
    const Bytes bytes = StreamBytes(stream, 0, count);
    for (const std::vector<std::size_t>& sizes :
         {std::vector<std::size_t>{2048}, {1, 7, 4095, 70001}, {ByteStream::kMaxRun + 1}}) {
        StreamChecker checker(stream, count);
        EXPECT_TRUE(FeedInPieces(checker, bytes, sizes));
        EXPECT_TRUE(checker.Complete());
        EXPECT_EQ(checker.Received(), count);
        EXPECT_TRUE(checker.Fault().empty());
    }
}

TEST_F(StreamCheckerTest, IsNotCompleteBeforeTheLastByte) {
    StreamChecker checker(stream, 5000);
    const Bytes bytes = StreamBytes(stream, 0, 4999);
    EXPECT_TRUE(checker.Take(bytes.data(), bytes.size()));
    EXPECT_FALSE(checker.Complete());
    EXPECT_FALSE(checker.Failed());
}

// Each way a library could spoil a transfer, and where the checker must see it.
TEST_F(StreamCheckerTest, CatchesEveryKindOfDamageAtItsPosition) {
    constexpr std::size_t kCount = 200000;
    const struct {
        const char* what;
        std::function<void(Bytes&)> spoil;
        const char* fault;
    } cases[] = {
        {"a dropped 2048-byte chunk",
         [](Bytes& b) { b.erase(b.begin() + 8192, b.begin() + 10240); }, "byte 8192 differs"},
        {"a chunk delivered twice",
         [](Bytes& b) {
             const Bytes chunk(b.begin() + 8192, b.begin() + 10240);
             b.insert(b.begin() + 10240, chunk.begin(), chunk.end());
         },
         "byte 10240 differs"},
        {"two chunks swapped",
         [](Bytes& b) { std::rotate(b.begin() + 4096, b.begin() + 6144, b.begin() + 8192); },
         "byte 4096 differs"},
        {"one flipped bit", [](Bytes& b) { b[123457] ^= 0x10; }, "byte 123457 differs"},
        {"one dropped byte, the count made up at the end",
         [](Bytes& b) {
             b.erase(b.begin() + 100, b.begin() + 101);
             b.push_back(0);
         },
         "byte 100 differs"},
        {"bytes beyond the expected count", [](Bytes& b) { b.push_back(b[0]); },
         "1 byte(s) beyond the 200000 expected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = StreamBytes(stream, 0, kCount);
        c.spoil(bytes);
        StreamChecker checker(stream, kCount);
        EXPECT_FALSE(FeedInPieces(checker, bytes, {2048}));
        EXPECT_TRUE(checker.Failed());
        EXPECT_FALSE(checker.Complete());
        EXPECT_NE(checker.Fault().find(c.fault), std::string::npos) << checker.Fault();
        // Once spoilt, the transfer stays failed, even for good bytes.
        const Bytes good = StreamBytes(stream, checker.Received(), 16);
        EXPECT_FALSE(checker.Take(good.data(), good.size()));
    }
}

TEST(Median, OfOddEvenAndNoValues) {
    EXPECT_EQ(Median({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(Median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(Median({}), 0.0);
}

double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Spin(double cpu_seconds) {
    const double start = ThreadCpuSeconds();
    while (ThreadCpuSeconds() - start < cpu_seconds) {
    }
}

// The fairness of the figures rests on this: the library's threads count, the
// device process does not.
TEST(Meter, CountsEveryThreadOfTheProcessAndNoChildProcess) {
    Meter meter;
    meter.Start();
    std::thread([] { Spin(0.1); }).join();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Spin(0.3);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    meter.Stop();
    const double cpu = meter.UserSeconds() + meter.SystemSeconds();
    EXPECT_GE(cpu, 0.09);
    EXPECT_LT(cpu, 0.25);
    EXPECT_GE(meter.WallSeconds(), 0.35);
}

// The device process on real pty pairs; this test plays the library on the
// slave side.
class DeviceProcessTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { device_ = new DeviceProcess(); }
    static void TearDownTestSuite() {
        delete device_;
        device_ = nullptr;
    }

    void SetUp() override {
        std::string problem;
        const std::optional<std::string> path = device_->OpenPair(problem);
        ASSERT_TRUE(path) << problem;
        slave_ = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(slave_, 0);
    }
    void TearDown() override {
        if (slave_ >= 0) {
            ::close(slave_);
        }
    }

    void WriteSlave(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(slave_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd fd{slave_, POLLOUT, 0};
                ASSERT_GT(::poll(&fd, 1, 5000), 0);
            }
        }
    }
    Bytes ReadSlave(std::size_t count) {
        Bytes bytes(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(slave_, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            pollfd fd{slave_, POLLIN, 0};
            if (::poll(&fd, 1, 5000) <= 0) {
                break;
            }
        }
        bytes.resize(done);
        return bytes;
    }

    static DeviceProcess* device_;
    const ByteStream stream;
    int slave_ = -1;
};

DeviceProcess* DeviceProcessTest::device_ = nullptr;

TEST_F(DeviceProcessTest, FeedsTheStreamAndReportsWhenDone) {
    constexpr std::size_t kCount = 300000;
    device_->StartFeed(kCount);
    const Bytes got = ReadSlave(kCount);
    std::string problem;
    EXPECT_TRUE(device_->FinishFeed(problem)) << problem;
    EXPECT_EQ(got, StreamBytes(stream, 0, kCount));
    EXPECT_TRUE(device_->ClosePair(problem)) << problem;
}

TEST_F(DeviceProcessTest, DrainAcceptsTheStreamAndRejectsADamagedOne) {
    std::string problem;
    device_->StartDrain(100000);
    WriteSlave(StreamBytes(stream, 0, 100000));
    EXPECT_TRUE(device_->FinishDrain(problem)) << problem;

    // A second drain checks from the stream's start again. It stops reading
    // at the fault, so only a little more than that is sent.
    Bytes damaged = StreamBytes(stream, 0, 60000);
    damaged[54321] ^= 0x01;
    device_->StartDrain(100000);
    WriteSlave(damaged);
    EXPECT_FALSE(device_->FinishDrain(problem));
    EXPECT_NE(problem.find("byte 54321"), std::string::npos) << problem;
}

TEST_F(DeviceProcessTest, ClosingReportsBytesSentBeyondTheDrain) {
    std::string problem;
    device_->StartDrain(1000);
    WriteSlave(StreamBytes(stream, 0, 1500));
    EXPECT_TRUE(device_->FinishDrain(problem)) << problem;
    EXPECT_FALSE(device_->ClosePair(problem));
    EXPECT_NE(problem.find("beyond"), std::string::npos) << problem;
    // The device is ready for the next pair.
    EXPECT_TRUE(device_->OpenPair(problem)) << problem;
}

TEST_F(DeviceProcessTest, WritesAFrameWholeAndTimesItBeforeTheWrite) {
    const Bytes frame = {0xAB, 0xAB, 0x00, 0x07, 0x5A, 0x01, 0x00, 0x01, 0x00, 0x3C, 0xC3};
    device_->StartFrame(frame);
    pollfd fd{slave_, POLLIN, 0};
    ASSERT_GT(::poll(&fd, 1, 5000), 0);
    const Clock::time_point readable = Clock::now();
    Bytes got(64);
    const ssize_t n = ::read(slave_, got.data(), got.size());
    ASSERT_GT(n, 0);
    got.resize(static_cast<std::size_t>(n));
    std::string problem;
    const std::optional<Clock::time_point> written = device_->FinishFrame(problem);
    ASSERT_TRUE(written) << problem;
    EXPECT_EQ(got, frame);  // in one read: it went out in one write
    EXPECT_LE(*written, readable);
}

}  // namespace
}  // namespace qx17::bench
