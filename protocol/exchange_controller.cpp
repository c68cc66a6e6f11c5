#include "protocol/exchange_controller.h"

#include <algorithm>
#include <string>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_commands.h"

namespace qx17 {

namespace {

void SendImageRange(const ImageRange& range) {
    SendWriteFrame(WriteData(ParamImage, range));
}

void OnAnnouncement(ExchangeHost& host) {
    SendHandshakeReply();
    host.SetStatusText("Start Update...");
    if (host.AutoWriteChecked()) {
        AutoWriteDelay = kAutoWriteTicks;
        host.SetStatusText("Auto Write Start...");
    }
}

// The reply's data, taken now, before a box's nested loop can bring another
// chunk into RxBuffer: the payload after the command byte only, the CRC and
// whatever followed the frame stay out of the image.
std::string ReplyData(std::uint16_t at) {
    const std::size_t length = std::size_t{RxBuffer[at - 2u]} * 256 + RxBuffer[at - 1u];
    return ReadReplyData(&RxBuffer[at], length);
}

void OnReadReply(ExchangeHost& host, std::uint16_t at) {
    const std::string data = ReplyData(at);
    host.SetSaveEnabled(false);
    LinkState = kLinkIdle;
    host.ClearFields();
    host.ShowMessage("Read Completed!", "Completed");
    std::copy_n(data.begin(), std::min(data.size(), ParamImage.size()), ParamImage.begin());
    host.ImageToFields();
    host.SetSaveEnabled(true);
    host.SaveSettings();
}

void OnWriteAllAcknowledged(ExchangeHost& host) {
    if (WriteStep < 3) {
        SendImageRange(kWriteAllFrames[WriteStep + 1u]);
        ReplyCountdown = kNextWriteAllTicks;
        ++WriteStep;
        return;
    }
    LinkState = kLinkIdle;
    host.SetSaveEnabled(false);
    host.ClearFields();
    if (host.AutoWriteChecked()) {
        host.SetStatusText("Auto Write Ok!");
    } else {
        host.ShowMessage("Write All Parameter Completed!", "Completed");
    }
    host.ImageToFields();
    host.SetSaveEnabled(true);
}

}  // namespace

void HandleReceivedChunk(ExchangeHost& host, const std::uint8_t* bytes, std::uint16_t count) {
    // Each chunk replaces the previous one. The reader delivers at most 2048
    // bytes; anything beyond the buffer is not taken.
    const std::size_t taken = std::min<std::size_t>(count, RxBuffer.size());
    std::copy_n(bytes, taken, RxBuffer.begin());
    RxLength = static_cast<std::uint16_t>(taken);

    const std::uint16_t at = FindFrame(0);
    if (at == 0) {
        return;
    }
    const std::uint8_t command = RxBuffer[at];
    const std::uint8_t next = RxBuffer[at + 1u];  // within the frame's CRC at least
    switch (LinkState) {
        case kLinkIdle:
            if (command == kAnnounceCommand && next == kAnnounceSecond) {
                OnAnnouncement(host);
            }
            break;
        case kLinkSingleWrite:
            if (command == kWriteCommand) {
                LinkState = kLinkIdle;
                if (next == kWriteSucceeded) {
                    host.ShowMessage("Write Completed!", "Completed");
                }
            }
            break;
        case kLinkReadAll:
            if (command == kReadCommand) {
                OnReadReply(host, at);
            }
            break;
        case kLinkWriteAll:
            if (command == kWriteCommand && next == kWriteSucceeded) {
                OnWriteAllAcknowledged(host);
            }
            break;
        default:
            break;
    }
}

void CountdownTick(ExchangeHost& host) {
    if (ReplyCountdown == 0) {
        return;
    }
    --ReplyCountdown;
    if (ReplyCountdown == 0 && LinkState != kLinkIdle) {
        host.ShowMessage("COM Operate OverTimer!", "Over");
    }
}

void AutoWriteTick(ExchangeHost& host) {
    if (AutoWriteDelay == 0) {
        return;
    }
    if (AutoWriteDelay == 1 && host.FieldsCleared()) {
        return;  // held until the fields are filled again
    }
    --AutoWriteDelay;
    if (AutoWriteDelay == 0) {
        StartWriteAll(host);
    }
}

void StartWriteAll(ExchangeHost& host) {
    host.FieldsToImage();
    SendImageRange(kWriteAllFrames[0]);
    ReplyCountdown = kFirstWriteAllTicks;
    LinkState = kLinkWriteAll;
    WriteStep = 0;
}

void StartReadAll() {
    SendRawFrame(kReadAllPayload);
    ReplyCountdown = kReadAllTicks;
    LinkState = kLinkReadAll;
}

void StartDefault() {
    SendRawFrame(kDefaultPayload);
    ReplyCountdown = kSingleWriteTicks;
    LinkState = kLinkSingleWrite;
}

void StartSingleWrite(const ImageRange& range) {
    SendImageRange(range);
    ReplyCountdown = kSingleWriteTicks;
    LinkState = kLinkSingleWrite;
}

}  // namespace qx17
