#include <cstring>
#include <new>
#include <vector>

#include "serial/io_threads.h"
#include "serial/serial_port.h"

namespace qx17 {

TReadThread::TReadThread(SerialPlatform& platform, const IoThreadContext& context)
    : TThread(platform), context_(context) {}

TReadThread::~TReadThread() {
    Release();
}

void TReadThread::Execute() {
    SerialPort& port = *context_.PortHandle;
    std::vector<std::uint8_t> buffer(ReadChunkSize);
    if (!port.PrepareReader() || !port.SetEventMask(EV_RLSD | EV_ERR | EV_RING)) {
        context_.NotifyHangup();
    } else {
        RunLoop(buffer.data());
    }
    port.Purge(PURGE_RXABORT | PURGE_RXCLEAR);
    port.FinishReader();
}

void TReadThread::RunLoop(std::uint8_t* buffer) {
    SerialPort& port = *context_.PortHandle;
    for (;;) {
        const ReadOutcome outcome = port.WaitRead(buffer, ReadChunkSize, *context_.CloseEvent);
        switch (outcome.kind) {
            case ReadOutcome::Kind::Stopped:
            case ReadOutcome::Kind::Closed:
                return;
            case ReadOutcome::Kind::Status:
                if (!HandleStatusEvent(outcome.value)) {
                    return;
                }
                break;
            case ReadOutcome::Kind::Data:
                // Zero bytes only means the time-outs ended a read with nothing
                // received yet: the next read starts at once.
                if (outcome.value != 0 && !DeliverData(buffer, outcome.value)) {
                    return;
                }
                break;
            case ReadOutcome::Kind::HungUp:
            case ReadOutcome::Kind::Failed:
                context_.NotifyHangup();
                return;
        }
    }
}

bool TReadThread::HandleStatusEvent(std::uint32_t mask) {
    bool posted = false;
    if (mask & EV_ERR) {
        std::uint32_t errors = 0;
        const IoStatus status = context_.PortHandle->ClearErrors(errors);
        if (status != IoStatus::Ok) {
            if (status == IoStatus::Failed) {
                context_.NotifyHangup();
            }
            return false;
        }
        if (!context_.Notify(MsgReceiveError, 0, errors)) {
            context_.NotifyHangup();
            return false;
        }
        posted = true;
    }
    std::uint32_t modem = 0;
    if (mask & EV_RLSD) {
        modem |= ModemEventCarrier;
    }
    if (mask & EV_RING) {
        modem |= ModemEventRing;
    }
    if (modem != 0) {
        if (!context_.Notify(MsgModemStateChange, 0, modem)) {
            context_.NotifyHangup();
            return false;
        }
        posted = true;
    }
    if (!posted) {
        context_.NotifyHangup();  // a status event that says nothing: the reader gives up
    }
    return posted;
}

bool TReadThread::DeliverData(const std::uint8_t* buffer, std::uint32_t count) {
    // One byte more than the data, left 0, so the block also reads as text.
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[count + 1]());
    if (!block) {
        context_.NotifyHangup();
        return false;
    }
    std::memcpy(block.get(), buffer, count);
    if (!context_.Notify(MsgDataReceived, count, 0, std::move(block))) {
        context_.NotifyHangup();
        return false;
    }
    return true;
}

}  // namespace qx17
