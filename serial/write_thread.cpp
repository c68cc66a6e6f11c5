#include "serial/io_threads.h"
#include "serial/serial_port.h"

namespace qx17 {

TWriteThread::TWriteThread(SerialPlatform& platform, const IoThreadContext& context)
    : TThread(platform), context_(context) {}

TWriteThread::~TWriteThread() {
    Release();
}

void TWriteThread::Execute() {
    SerialPort& port = *context_.PortHandle;
    if (!port.PrepareWriter()) {
        PostHangup();
    } else {
        RunLoop();
    }
    queue_.Close();  // blocks still queued are dropped; SendData now fails
    port.Purge(PURGE_TXABORT | PURGE_TXCLEAR);
    port.FinishWriter();
}

void TWriteThread::RunLoop() {
    const WaitableEvent& stop = *context_.CloseEvent;
    bool empty_notice_armed = true;
    for (;;) {
        WriteBlock block;
        if (!queue_.TryTake(block)) {
            if (empty_notice_armed) {
                if (!context_.NotifyWindow->Post(Notice{MsgSendDataEmpty, 0, 0, nullptr})) {
                    PostHangup();
                    return;
                }
                empty_notice_armed = false;
            }
            switch (WaitableEvent::WaitAny({&stop, &queue_.Ready()})) {
                case 0:
                    return;
                case 1:
                    continue;
                default:
                    PostHangup();
                    return;
            }
        }
        if (stop.IsSet()) {
            return;
        }
        const bool written = WriteBuffer(block.data.get(), block.length);
        block.data.reset();
        if (!written) {
            return;
        }
        empty_notice_armed = true;
    }
}

bool TWriteThread::WriteBuffer(const std::uint8_t* block, std::uint32_t length) {
    std::uint32_t offset = 0;
    std::uint32_t remaining = length;
    while (remaining != 0) {
        const WriteOutcome outcome =
            context_.PortHandle->Write(block + offset, remaining, *context_.CloseEvent);
        switch (outcome.kind) {
            case WriteOutcome::Kind::Written:
                // A partial write, as write time-outs allow, goes on with the rest.
                remaining -= outcome.count;
                offset += outcome.count;
                break;
            case WriteOutcome::Kind::Stopped:
            case WriteOutcome::Kind::Closed:
                return false;
            case WriteOutcome::Kind::Failed:
                PostHangup();
                return false;
        }
    }
    return true;
}

void TWriteThread::PostHangup() {
    (void)context_.NotifyWindow->Post(Notice{MsgRequestHangup, 0, 0, nullptr});
}

}  // namespace qx17
