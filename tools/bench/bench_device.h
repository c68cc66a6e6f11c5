// The device side of the serial benchmark: a child process that owns the
// master side of a pseudo-terminal pair and, on command, feeds stream bytes to
// the library under test, drains and checks what the library sends, or writes
// one short frame and notes when. Running it as a process of its own keeps its
// CPU time out of the figures of the library side, which getrusage takes for
// this process alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx17::bench {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: one clock for both processes

// The longest the device waits for the library's next byte, or for room for its
// own next byte, before it gives the transfer up as stuck.
inline constexpr std::chrono::seconds kStallLimit{10};

struct DeviceReply;  // the device's answer to one command

class DeviceProcess {
  public:
    // Forks the device. Call it while the program still has a single thread.
    // Throws std::runtime_error when the process cannot be made.
    DeviceProcess();
    // Asks the device to end and reaps it; kills it when it does not answer.
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // A fresh pty pair in raw mode (the previous one is closed first); the
    // slave's path, or nothing with the reason in `problem`.
    std::optional<std::string> OpenPair(std::string& problem);
    // Closes the pair. False when the master still held bytes nobody drained:
    // the library sent more than it was asked to.
    bool ClosePair(std::string& problem);

    // Feeding: the device writes `count` stream bytes as fast as the slave side
    // takes them. Start returns at once; Finish waits for the device's report.
    void StartFeed(std::uint64_t count);
    bool FinishFeed(std::string& problem);

    // Draining: the device reads `count` bytes and checks them against the
    // stream. Finish returns once all have come and matched, or on a fault.
    void StartDrain(std::uint64_t count);
    bool FinishDrain(std::string& problem);

    // The device writes `frame` in a single write. Finish gives the reading of
    // the clock the device took just before that write.
    void StartFrame(const std::vector<std::uint8_t>& frame);
    std::optional<Clock::time_point> FinishFrame(std::string& problem);

  private:
    void Send(std::uint32_t op, std::uint64_t count, const std::vector<std::uint8_t>& frame = {});
    std::optional<DeviceReply> Await(std::string& problem);
    bool AwaitOk(std::string& problem);

    pid_t pid_ = -1;
    int control_ = -1;
    bool broken_ = false;  // the device stopped answering: every later call fails
};

}  // namespace qx17::bench
