#include "ctl/link/tracker_link.h"

#include <algorithm>
#include <array>

#include "ctl/exit_codes.h"
#include "ctl/link/prompt_reads.h"
#include "ctl/output/progress.h"
#include "ctl/ports/port_advice.h"
#include "protocol/frame_codec.h"
#include "protocol/link_commands.h"
#include "serial/tcomm.h"

namespace qx17::ctl {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a wait looks at Ctrl-C.
constexpr milliseconds kSlice{100};

bool IsAnnouncement(const std::string& payload) {
    return payload.size() >= 2 && static_cast<std::uint8_t>(payload[0]) == kAnnounceCommand &&
           static_cast<std::uint8_t>(payload[1]) == kAnnounceSecond;
}

milliseconds Left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left : milliseconds{0};
}

}  // namespace

int ExitCodeOf(LinkFailure failure) {
    switch (failure) {
        case LinkFailure::kTimeout:
            return kExitTimeout;
        case LinkFailure::kInterrupted:
            return kExitInterrupted;
        case LinkFailure::kCannotOpen:
        case LinkFailure::kPortLost:
            break;
    }
    return kExitPort;
}

TrackerLink::TrackerLink(std::string port, const LinkTimes& times, Progress& progress,
                         SerialPlatform& platform)
    : port_(std::move(port)), times_(times), progress_(progress), platform_(platform) {}

TrackerLink::~TrackerLink() {
    Close();
}

void TrackerLink::Open(bool advise) {
    Close();
    comm_ = std::make_unique<TComm>(nullptr, platform_);
    ApplyComm1FormValues(*comm_);
    // The window's line, but what arrives is handed on at once rather than
    // after 100 ms of quiet.
    ReadAsBytesArrive(*comm_);
    comm_->SetCommName(port_);
    comm_->OnReceiveData = [this](TComm*, const std::uint8_t* bytes, std::uint16_t length) {
        frames_.Add(bytes, length);
    };
    comm_->OnRequestHangup = [this](TComm*) { lost_ = true; };
    lost_ = false;
    late_refusals_ = 0;
    frames_.Clear();
    try {
        comm_->OpenPort();
    } catch (const ECommsError& e) {
        const std::string reason = comm_->OpenFailureReason();
        comm_.reset();
        const std::string advice = advise ? OpenFailureAdvice(port_, reason) : "";
        throw LinkError(LinkFailure::kCannotOpen, port_ + ": " + e.what() +
                                                      (reason.empty() ? "" : " (" + reason + ")") +
                                                      "." + (advice.empty() ? "" : " " + advice));
    }
}

void TrackerLink::Close() {
    comm_.reset();  // closes the port
}

bool TrackerLink::IsOpen() const {
    return comm_ && comm_->IsOpen();
}

void TrackerLink::Pump(milliseconds slice) {
    comm_->Notices().WaitNonEmpty(slice);
    comm_->DispatchNotices();
}

void TrackerLink::ThrowIfLostOrStopped() {
    if (lost_) {
        throw LinkError(LinkFailure::kPortLost, port_ + ": the port went away.");
    }
    if (CurrentStopLevel() == StopLevel::kNow) {
        throw LinkError(LinkFailure::kInterrupted, port_ + ": interrupted.");
    }
}

void TrackerLink::Send(std::string_view payload) {
    std::array<std::uint8_t, kLongestSentFrame> frame{};
    const std::size_t length = EncodeFrame(frame.data(), frame.size(), payload);
    if (length == 0 || !comm_->SendData(frame.data(), static_cast<std::uint16_t>(length))) {
        throw LinkError(LinkFailure::kPortLost, port_ + ": the port takes nothing more.");
    }
}

bool TrackerLink::AwaitAnnouncement(const std::function<bool()>& give_up) {
    // What came after the last reply is kept: the next tracker may announce
    // itself in the same chunk as the reply that ended the one before.
    for (;;) {
        if (CurrentStopLevel() != StopLevel::kNone || (give_up && give_up())) {
            return false;
        }
        ThrowIfLostOrStopped();
        while (const std::optional<std::string> frame = frames_.Next()) {
            if (IsAnnouncement(*frame)) {
                Send(kHandshakePayload);
                return true;
            }
        }
        Pump(kSlice);
    }
}

void TrackerLink::Drop(const std::string& frame) {
    const auto byte = [&frame](std::size_t i) { return static_cast<std::uint8_t>(frame[i]); };
    if (frame.size() >= 2 && byte(0) == kWriteCommand && byte(1) != kWriteSucceeded) {
        ++late_refusals_;
    }
    if (writing_ && IsAnnouncement(frame) && !lost_) {
        Send(kHandshakePayload);
        throw TrackerReplaced(port_ + ": a tracker announced itself in the middle of the write");
    }
}

std::optional<std::string> TrackerLink::Exchange(std::string_view payload,
                                                 std::uint8_t reply_command, milliseconds wait,
                                                 const std::string& what, std::size_t min_length) {
    progress_.Step(port_, what);
    // Nothing received before the request answers it.
    while (const std::optional<std::string> frame = frames_.Next()) {
        Drop(*frame);
    }
    frames_.Clear();
    Send(payload);
    bool answered_announcement = false;
    const Clock::time_point deadline = Clock::now() + wait;
    while (Left(deadline).count() > 0) {
        Pump(std::min(Left(deadline), kSlice));
        // What arrived whole counts, even when the port went away right
        // behind it (the hang-up then comes in the same delivery).
        while (const std::optional<std::string> frame = frames_.Next()) {
            if (frame->size() >= std::max<std::size_t>(min_length, 1) &&
                static_cast<std::uint8_t>((*frame)[0]) == reply_command) {
                return *frame;
            }
            if (!writing_ && IsAnnouncement(*frame) && !answered_announcement && !lost_) {
                // The tracker (re)started and was not listening: answer
                // it, then ask again, once.
                answered_announcement = true;
                Send(kHandshakePayload);
                Send(payload);
                continue;
            }
            Drop(*frame);
        }
        ThrowIfLostOrStopped();
    }
    return std::nullopt;
}

std::string TrackerLink::Request(std::string_view payload, std::uint8_t reply_command,
                                 milliseconds wait, const std::string& what,
                                 std::size_t min_length) {
    for (int attempt = 0; attempt <= times_.retries; ++attempt) {
        if (std::optional<std::string> reply =
                Exchange(payload, reply_command, wait,
                         attempt == 0 ? what : what + " (again, no reply)", min_length)) {
            return *reply;
        }
    }
    throw LinkError(LinkFailure::kTimeout, port_ + ": no reply to " + what + ". " + kNoReplyHint);
}

}  // namespace qx17::ctl
