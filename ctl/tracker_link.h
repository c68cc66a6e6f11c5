// The command-line tool's link to one tracker on one port: its own serial
// component, receive buffer and state, driven from the calling thread (which
// plays the component's main thread). Sturdier than the window's receiver,
// because nobody watches it: replies split over chunks are reassembled,
// noise is skipped, a frame with a bad CRC is not taken, and every request
// is retried before it counts as unanswered.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ctl/stop_request.h"
#include "protocol/frame_assembler.h"
#include "protocol/reply_waits.h"
#include "serial/serial_port.h"

namespace qx17 {
class TComm;
}

namespace qx17::ctl {

class Progress;

// How long each request waits for its reply, as the window does, and how
// often an unanswered request is sent again.
struct LinkTimes {
    std::chrono::milliseconds single{kSingleWriteWait};         // a single write, "Default"
    std::chrono::milliseconds read_all{kReadAllWait};           // the read-all
    std::chrono::milliseconds first_write{kFirstWriteAllWait};  // the first write-all frame
    std::chrono::milliseconds next_write{kNextWriteAllWait};    // each further write-all frame
    int retries = 1;
};

enum class LinkFailure {
    kCannotOpen,   // the port cannot be opened
    kTimeout,      // no reply, also after the retries
    kPortLost,     // the port went away (a pulled adapter)
    kInterrupted,  // Ctrl-C, twice
};

// The program's exit code for a failure: 3, 4 or 130.
int ExitCodeOf(LinkFailure failure);

class LinkError : public std::runtime_error {
  public:
    LinkError(LinkFailure failure, const std::string& message)
        : std::runtime_error(message), failure_(failure) {}
    LinkFailure Failure() const { return failure_; }

  private:
    LinkFailure failure_;
};

class TrackerLink {
  public:
    TrackerLink(std::string port, const LinkTimes& times, Progress& progress,
                SerialPlatform& platform = NativeSerialPlatform());
    ~TrackerLink();
    TrackerLink(const TrackerLink&) = delete;
    TrackerLink& operator=(const TrackerLink&) = delete;

    const std::string& Port() const { return port_; }
    const LinkTimes& Times() const { return times_; }

    // Opens the port at the window's line settings; LinkError kCannotOpen
    // with the component's message otherwise.
    void Open();
    void Close();
    bool IsOpen() const;

    // Waits, without a time limit, for a tracker to announce itself, and
    // answers it with the handshake. False when a stop was asked for, or
    // `give_up` (looked at every 100 ms) says so.
    bool AwaitAnnouncement(const std::function<bool()>& give_up = {});

    // Sends the frame of `payload` and returns the payload of the first
    // reply whose command byte is `reply_command` and that holds at least
    // `min_length` bytes (a shorter one is not that reply). A tracker that announces
    // itself meanwhile is answered and the request sent again. `what` names
    // the request in the progress line. LinkError on time-out (after the
    // retries), on a lost port, or on a second Ctrl-C.
    std::string Request(std::string_view payload, std::uint8_t reply_command,
                        std::chrono::milliseconds wait, const std::string& what,
                        std::size_t min_length = 1);

  private:
    void Send(std::string_view payload);
    // Delivers what the port received, for at most `slice`.
    void Pump(std::chrono::milliseconds slice);
    void ThrowIfLostOrStopped();

    const std::string port_;
    const LinkTimes times_;
    Progress& progress_;
    SerialPlatform& platform_;
    std::unique_ptr<TComm> comm_;
    FrameAssembler frames_;
    bool lost_ = false;
};

}  // namespace qx17::ctl
