// The command-line tool's link to one tracker on one port: its own serial
// component, receive buffer and state, driven from the calling thread (which
// plays the component's main thread). Sturdier than the window's receiver,
// because nobody watches it: replies split over chunks are reassembled,
// noise is skipped, a frame with a bad CRC is not taken, and a request is
// retried only where a late answer cannot be mistaken for another's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ctl/line/stop_request.h"
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

// Said after "no reply to ...": what usually keeps a tracker from answering.
inline constexpr const char* kNoReplyHint =
    "Check that a tracker is connected and powered, and that no other program reads this port.";

class LinkError : public std::runtime_error {
  public:
    LinkError(LinkFailure failure, const std::string& message)
        : std::runtime_error(message), failure_(failure) {}
    LinkFailure Failure() const { return failure_; }

  private:
    LinkFailure failure_;
};

// A tracker announced itself while the link was writing one: on a port that
// stayed plugged, another tracker (or the same one restarted, which the link
// cannot tell apart) now listens, and has been answered with the handshake.
// What was written so far went to the one before.
class TrackerReplaced : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
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
    // with the component's message otherwise, and with what to do about it
    // (what the name leads to, who holds the port) when `advise`: working
    // that out reads the system's process table, too much for the silent
    // retries of a lost port.
    void Open(bool advise = true);
    void Close();
    bool IsOpen() const;

    // Waits, without a time limit, for a tracker to announce itself, and
    // answers it with the handshake. False when a stop was asked for, or
    // `give_up` (looked at every 100 ms) says so.
    bool AwaitAnnouncement(const std::function<bool()>& give_up = {});

    // Sends the frame of `payload` and returns the payload of the first
    // reply whose command byte is `reply_command` and that holds at least
    // `min_length` bytes (a shorter one is not that reply); nothing when none
    // came within `wait`. Whatever else arrives is dropped (a refusal among it
    // is counted, see LateRefusals). A tracker that announces itself meanwhile
    // is answered and the request sent again, once; while Writing, it raises
    // TrackerReplaced instead. `what` names the request in the progress line.
    // LinkError on a lost port or a second Ctrl-C.
    std::optional<std::string> Exchange(std::string_view payload, std::uint8_t reply_command,
                                        std::chrono::milliseconds wait, const std::string& what,
                                        std::size_t min_length = 1);

    // Exchange, sent again after each time-out up to the retries: for
    // requests whose late answer cannot be taken for another's (reads, and
    // "Default", whose answers are all alike). LinkError kTimeout when no
    // attempt was answered.
    std::string Request(std::string_view payload, std::uint8_t reply_command,
                        std::chrono::milliseconds wait, const std::string& what,
                        std::size_t min_length = 1);

    // While one lives, the link is writing a tracker: an announcement means
    // that another tracker is on the line (TrackerReplaced).
    class Writing {
      public:
        explicit Writing(TrackerLink& link) : link_(link) { link_.writing_ = true; }
        ~Writing() { link_.writing_ = false; }
        Writing(const Writing&) = delete;
        Writing& operator=(const Writing&) = delete;

      private:
        TrackerLink& link_;
    };

    // Acknowledgements with a status other than 1 that no request took: the
    // late answers of requests given up. Counted since the port was opened.
    int LateRefusals() const { return late_refusals_; }

  private:
    void Send(std::string_view payload);
    // Delivers what the port received, for at most `slice`.
    void Pump(std::chrono::milliseconds slice);
    void ThrowIfLostOrStopped();
    // A frame that no request takes: counted when it is a refusal; while
    // Writing, an announcement raises TrackerReplaced.
    void Drop(const std::string& frame);

    const std::string port_;
    const LinkTimes times_;
    Progress& progress_;
    SerialPlatform& platform_;
    std::unique_ptr<TComm> comm_;
    FrameAssembler frames_;
    bool lost_ = false;
    bool writing_ = false;
    int late_refusals_ = 0;
};

}  // namespace qx17::ctl
