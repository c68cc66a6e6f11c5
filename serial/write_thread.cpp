#include <vector>

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
        context_.NotifyHangup();
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
                if (!context_.Notify(MsgSendDataEmpty)) {
                    context_.NotifyHangup();
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
                    context_.NotifyHangup();
                    return;
            }
        }
        if (stop.IsSet()) {
            return;
        }
        const bool written = WriteBatch(block);
        if (!written) {
            return;
        }
        empty_notice_armed = true;
    }
}

// Blocks already queued behind `first` go out with it in one write, up to
// kBatchLimit bytes: the same bytes in the same order, in fewer system calls
// when the application sends faster than the line takes them.
bool TWriteThread::WriteBatch(WriteBlock& first) {
    WriteBlock next;
    if (!queue_.TryTake(next)) {
        const bool written = WriteBuffer(first.data.get(), first.length);
        first.data.reset();
        return written;
    }
    batch_.assign(first.data.get(), first.data.get() + first.length);
    first.data.reset();
    do {
        batch_.insert(batch_.end(), next.data.get(), next.data.get() + next.length);
        next.data.reset();
    } while (batch_.size() < kBatchLimit && queue_.TryTake(next));
    return WriteBuffer(batch_.data(), static_cast<std::uint32_t>(batch_.size()));
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
                context_.NotifyHangup();
                return false;
        }
    }
    return true;
}

}  // namespace qx17
