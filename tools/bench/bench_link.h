// What the serial benchmark asks of each library it measures, and how it
// measures: wall time on the steady clock, CPU time as getrusage(RUSAGE_SELF)
// reports it for this process (every thread of it, user and system), while the
// device side runs in a process of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/bench/bench_device.h"
#include "tools/bench/bench_stream.h"

namespace qx17::bench {

// The application's block: what it hands the library per write, and the
// buffer it reads into where the library asks for one. The editor's own
// frames and TComm's receive chunks are this size.
inline constexpr std::uint32_t kAppBlock = 2048;
// How much an application keeps queued in the library while sending.
inline constexpr std::uint64_t kSendWindow = 64 * kAppBlock;
// The longest a library may go without progress before the transfer fails.
inline constexpr std::chrono::seconds kIdleLimit = kStallLimit;

class Meter {
  public:
    void Start();
    void Stop();
    double WallSeconds() const { return wall_; }
    double UserSeconds() const { return user_; }
    double SystemSeconds() const { return system_; }
    // Voluntary and involuntary context switches of every thread of the process.
    long ContextSwitches() const { return switches_; }

  private:
    Clock::time_point started_;
    double user_started_ = 0.0;
    double system_started_ = 0.0;
    double wall_ = 0.0;
    double user_ = 0.0;
    double system_ = 0.0;
    long switches_started_ = 0;
    long switches_ = 0;
};

class LinkUnderTest {
  public:
    virtual ~LinkUnderTest() = default;

    virtual std::string Name() const = 0;
    // What the frame delay of this library measures, for the table.
    virtual std::string DelayMeaning() const = 0;
    // The pause after the last byte that ends the library's read; the frame
    // delay is reported beyond it.
    virtual double ReadIntervalMs() const { return 0.0; }

    // Opens the pty's slave side at the editor's line settings (9600 8N1, no
    // flow control) and gets ready to receive.
    virtual bool Open(const std::string& slave_path, std::string& problem) = 0;
    virtual void Close() = 0;

    // Starts `meter`, has the device feed checker.Expected() bytes, hands
    // every received byte to `checker`, stops `meter` when the last has come.
    virtual bool Receive(DeviceProcess& device, StreamChecker& checker, Meter& meter,
                         std::string& problem) = 0;
    // Starts `meter`, has the device drain `count` bytes, sends the stream in
    // kAppBlock writes, stops `meter` when the device has checked every byte.
    virtual bool Send(DeviceProcess& device, const ByteStream& stream, std::uint64_t count,
                      Meter& meter, std::string& problem) = 0;
    // Has the device write `frame` and returns when the library handed all of
    // it to the application.
    virtual std::optional<Clock::time_point> ReceiveFrame(DeviceProcess& device,
                                                          const std::vector<std::uint8_t>& frame,
                                                          std::string& problem) = 0;
};

std::unique_ptr<LinkUnderTest> MakeTCommLink();
std::unique_ptr<LinkUnderTest> MakeQSerialPortLink();  // needs a QCoreApplication
std::unique_ptr<LinkUnderTest> MakeLibserialportLink();

}  // namespace qx17::bench
