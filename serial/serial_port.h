// The platform seam of the serial port component: everything the component and
// its reader and writer threads need from the operating system, and nothing
// else. One implementation per platform (serial_port_posix.cpp, ...).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "serial/control_block.h"
#include "serial/waitable_event.h"

namespace qx17 {

// Purge flags: abort a pending write / read, drop the driver's output / input.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// Line events the reader watches.
inline constexpr std::uint32_t EV_RLSD = 0x0020;  // carrier detect changed
inline constexpr std::uint32_t EV_ERR = 0x0080;   // a line error occurred
inline constexpr std::uint32_t EV_RING = 0x0100;  // ring indicator

// Line error flags, as the error word reports them.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

// How a port I/O call ended. Closed means the handle is no longer valid, which
// ends a thread quietly; Failed is any other failure, which a thread reports.
enum class IoStatus { Ok, Closed, Failed };

struct ReadOutcome {
    enum class Kind {
        Stopped,  // the stop event was set
        Status,   // a line event in `value` (EV_ bits)
        Data,     // the pending read completed with `value` bytes (0 = nothing yet)
        HungUp,   // end of file: the device went away
        Closed,
        Failed,
    };
    Kind kind;
    std::uint32_t value = 0;
};

struct WriteOutcome {
    enum class Kind { Written, Stopped, Closed, Failed };
    Kind kind;
    std::uint32_t count = 0;  // bytes written, for Written
};

// One open port. The main thread reconfigures and purges it while the reader
// and the writer thread do their I/O on it; each of the three uses only its
// own group of calls.
class SerialPort {
  public:
    virtual ~SerialPort() = default;  // closes the port

    // Main thread.
    virtual bool SetupQueues(std::uint32_t input_size, std::uint32_t output_size) = 0;
    virtual void Purge(std::uint32_t flags) = 0;
    virtual ControlBlock GetControlBlock() = 0;
    virtual void SetControlBlock(const ControlBlock& block) = 0;
    virtual CommTimeouts GetTimeouts() = 0;
    virtual void SetTimeouts(const CommTimeouts& timeouts) = 0;

    // Reader thread. PrepareReader and FinishReader bracket the reader's
    // life. WaitRead keeps one read of `size` bytes into `buffer` pending
    // across calls (always pass the same buffer) and returns the first of:
    // the stop event, a line event selected by the mask, the read's end.
    virtual bool PrepareReader() = 0;
    virtual bool SetEventMask(std::uint32_t mask) = 0;
    virtual ReadOutcome WaitRead(std::uint8_t* buffer, std::uint32_t size,
                                 const WaitableEvent& stop) = 0;
    virtual IoStatus ClearErrors(std::uint32_t& errors) = 0;
    virtual void FinishReader() = 0;

    // Writer thread. Writes up to `length` bytes; fewer only when the write
    // time-outs end it early.
    virtual bool PrepareWriter() = 0;
    virtual WriteOutcome Write(const std::uint8_t* data, std::uint32_t length,
                               const WaitableEvent& stop) = 0;
    virtual void FinishWriter() = 0;
};

inline constexpr unsigned StopWaitMs = 10000;

// The reason an open gives when another program holds the port's lock.
inline constexpr const char* kHeldByAnotherProgram = "held by another program";

// Opens ports and creates what the component needs around them. The native
// platform is the default; tests substitute one that records or fails.
class SerialPlatform {
  public:
    enum class OpenError { None, CannotOpen, NotCommDevice };
    struct OpenResult {
        std::unique_ptr<SerialPort> port;
        OpenError error = OpenError::None;
        std::string reason;  // the system's words for a failure, when it has some
    };

    virtual ~SerialPlatform() = default;

    // Opens the port named `comm_name` exclusively for reading and writing.
    virtual OpenResult Open(const std::string& comm_name) = 0;

    virtual std::unique_ptr<WaitableEvent> CreateEvent() { return WaitableEvent::Create(); }

    // Starts a thread running `entry`; throws std::system_error on failure.
    virtual std::thread SpawnThread(std::function<void()> entry) {
        return std::thread(std::move(entry));
    }

    // How long closing the port waits for each thread to end before it
    // gives the thread up.
    virtual std::chrono::milliseconds StopWait() const {
        return std::chrono::milliseconds(StopWaitMs);
    }
};

SerialPlatform& NativeSerialPlatform();

}  // namespace qx17
