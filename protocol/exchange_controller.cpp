#include "protocol/exchange_controller.h"

#include <algorithm>
#include <string>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"

namespace qx17 {

namespace {

constexpr std::uint8_t kAnnounce1 = 0xAA;
constexpr std::uint8_t kAnnounce2 = 0x99;
constexpr std::uint8_t kWriteReply = 0x94;
constexpr std::uint8_t kReadReply = 0x95;

constexpr std::uint8_t kIdle = 0;
constexpr std::uint8_t kSingleWrite = 1;
constexpr std::uint8_t kReadAll = 2;
constexpr std::uint8_t kWriteAll = 7;

void SendImageRange(std::uint8_t address_low, std::size_t first, std::size_t count) {
    std::string data;
    data.push_back('\0');
    data.push_back(static_cast<char>(address_low));
    data += ImageBytesToText(static_cast<std::int32_t>(first), static_cast<std::int32_t>(count));
    SendWriteFrame(data);
}

void SendWriteAllFrame(std::size_t step) {
    const WriteAllFrame& frame = kWriteAllFrames[step];
    SendImageRange(frame.address_low, frame.first, frame.count);
}

void OnAnnouncement(ExchangeHost& host) {
    SendHandshakeReply();
    host.SetStatusText("Start Update...");
    if (host.AutoWriteChecked()) {
        AutoWriteDelay = kAutoWriteTicks;
        host.SetStatusText("Auto Write Start...");
    }
}

// The reply's data: the frame's payload after the command byte, taken now,
// before a box's nested loop can bring another chunk into RxBuffer. Only
// the data: the CRC and whatever followed the frame stay out of the image.
std::string ReplyData(std::uint16_t at) {
    const std::size_t length = std::size_t{RxBuffer[at - 2u]} * 256 + RxBuffer[at - 1u];
    if (length <= 1) {
        return {};
    }
    return std::string(RxBuffer.begin() + at + 1, RxBuffer.begin() + at + length);
}

void OnReadReply(ExchangeHost& host, std::uint16_t at) {
    const std::string data = ReplyData(at);
    host.SetSaveEnabled(false);
    LinkState = kIdle;
    host.ClearFields();
    host.ShowMessage("Read Completed!", "Completed");
    std::copy_n(data.begin(), std::min(data.size(), ParamImage.size()), ParamImage.begin());
    host.ImageToFields();
    host.SetSaveEnabled(true);
    host.SaveSettings();
}

void OnWriteAllAcknowledged(ExchangeHost& host) {
    if (WriteStep < 3) {
        SendWriteAllFrame(WriteStep + 1u);
        ReplyCountdown = kNextWriteAllTicks;
        ++WriteStep;
        return;
    }
    LinkState = kIdle;
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
        case kIdle:
            if (command == kAnnounce1 && next == kAnnounce2) {
                OnAnnouncement(host);
            }
            break;
        case kSingleWrite:
            if (command == kWriteReply) {
                LinkState = kIdle;
                if (next == 1) {
                    host.ShowMessage("Write Completed!", "Completed");
                }
            }
            break;
        case kReadAll:
            if (command == kReadReply) {
                OnReadReply(host, at);
            }
            break;
        case kWriteAll:
            if (command == kWriteReply && next == 1) {
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
    if (ReplyCountdown == 0 && LinkState != kIdle) {
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
    SendWriteAllFrame(0);
    ReplyCountdown = kFirstWriteAllTicks;
    LinkState = kWriteAll;
    WriteStep = 0;
}

void StartReadAll() {
    SendRawFrame(std::string("\x95\x00\x00\x01\x00", 5));
    ReplyCountdown = kReadAllTicks;
    LinkState = kReadAll;
}

void StartDefault() {
    SendRawFrame(std::string("\x94\x00\x02\xFF", 4));
    ReplyCountdown = kSingleWriteTicks;
    LinkState = kSingleWrite;
}

void StartSingleWrite(std::uint8_t address_low, std::size_t first, std::size_t count) {
    SendImageRange(address_low, first, count);
    ReplyCountdown = kSingleWriteTicks;
    LinkState = kSingleWrite;
}

}  // namespace qx17
