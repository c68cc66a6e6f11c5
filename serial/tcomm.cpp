#include "serial/tcomm.h"

#include <chrono>
#include <cstring>
#include <new>

namespace qx17 {

TComm::TComm(TComponent* owner, SerialPlatform& platform)
    : TComponent(owner), platform_(platform) {}

TComm::~TComm() {
    ClosePort();
    // A thread given up on may still post to the queue: it wakes nobody now.
    NotifyWindow->SetWakeup({});
}

void TComm::OpenPort() {
    if (PortHandle) {
        throw ECommsError(kMsgAlreadyOpen);
    }
    SerialPlatform::OpenResult opened = platform_.Open(comm_name_);
    open_failure_reason_ = opened.reason;
    if (opened.error == SerialPlatform::OpenError::NotCommDevice) {
        throw ECommsError(kMsgNotCommHandle);  // the platform closed it again
    }
    if (opened.error != SerialPlatform::OpenError::None || !opened.port) {
        throw ECommsError(kMsgErrorOpening);
    }
    if (!opened.port->SetupQueues(kCommQueueSize, kCommQueueSize)) {
        opened.port.reset();
        throw ECommsError(kMsgCannotSetup);
    }
    PortHandle = std::move(opened.port);
    PortHandle->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    ApplyTimeouts();
    ApplyLineSettings();

    CloseEvent = platform_.CreateEvent();
    if (!CloseEvent) {
        PortHandle.reset();
        throw ECommsError(kMsgNoEvent);
    }
    const IoThreadContext context{PortHandle, CloseEvent, NotifyWindow, opening_ + 1};
    try {
        Reader = std::make_unique<TReadThread>(platform_, context);
    } catch (...) {
        Reader.reset();
        CloseEvent.reset();
        PortHandle.reset();
        throw ECommsError(kMsgNoReadThread);
    }
    Reader->SetPriority(THREAD_PRIORITY_HIGHEST);
    try {
        Writer = std::make_unique<TWriteThread>(platform_, context);
    } catch (...) {
        StopReader();  // never resumed: it ends without entering its loop
        Writer.reset();
        CloseEvent.reset();
        PortHandle.reset();
        throw ECommsError(kMsgNoWriteThread);
    }
    Writer->SetPriority(THREAD_PRIORITY_ABOVE_NORMAL);
    opening_ = context.Opening;  // from here on, earlier openings' notices are dropped
    Reader->Resume();
    Writer->Resume();
}

void TComm::ClosePort() {
    if (!PortHandle) {
        return;
    }
    StopReader();
    StopWriter();
    CloseEvent.reset();
    PortHandle.reset();
}

void TComm::StopReader() {
    if (!Reader) {
        return;
    }
    CloseEvent->Set();
    PortHandle->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
    AwaitEnd(Reader);
}

void TComm::StopWriter() {
    if (!Writer) {
        return;
    }
    CloseEvent->Set();
    PortHandle->Purge(PURGE_TXABORT | PURGE_TXCLEAR);
    AwaitEnd(Writer);
}

// A thread that has not ended within the stop wait is stuck in the driver
// (a pulled USB adapter may never complete a cancelled request): it is given
// up, keeping the port and its buffers until it ends, and the caller goes on.
template <typename T>
void TComm::AwaitEnd(std::unique_ptr<T>& thread) {
    if (!thread->WaitFor(platform_.StopWait())) {
        thread->Terminate();
        TThread::Abandon(std::move(thread));
    }
    thread.reset();
}

bool TComm::SendData(const std::uint8_t* Buffer, std::uint16_t Length) {
    if (!Writer || Length == 0) {
        return false;
    }
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[Length + 1u]());
    if (!block) {
        return false;
    }
    std::memcpy(block.get(), Buffer, Length);
    return Writer->Queue().Post(WriteBlock{std::move(block), Length});
}

void TComm::ApplyTimeouts() {
    CommTimeouts timeouts = PortHandle->GetTimeouts();
    timeouts = timeouts_;
    PortHandle->SetTimeouts(timeouts);
}

void TComm::ApplyLineSettings() {
    ControlBlock block = PortHandle->GetControlBlock();
    WriteLineSettings(line_, block);
    PortHandle->SetControlBlock(block);
}

bool TComm::DispatchOneNotice() {
    std::optional<Notice> notice = NotifyWindow->TakeNext();
    if (!notice) {
        return false;
    }
    if (notice->opening == opening_) {
        NotifyWindowProc(*notice);
    }
    return true;
}

void TComm::DispatchNotices() {
    while (DispatchOneNotice()) {
    }
}

void TComm::SetNoticeWakeup(std::function<void()> wakeup) {
    NotifyWindow->SetWakeup(std::move(wakeup));
}

void TComm::NotifyWindowProc(Notice& notice) {
    switch (notice.message) {
        case MsgDataReceived:
            if (OnReceiveData) {
                OnReceiveData(this, notice.block.get(),
                              static_cast<std::uint16_t>(notice.wparam & 0xFFFF));
            }
            break;  // the block goes with the notice
        case MsgReceiveError:
            if (OnReceiveError) {
                OnReceiveError(this, notice.lparam);
            }
            break;
        case MsgRequestHangup:
            if (OnRequestHangup) {
                OnRequestHangup(this);
            }
            break;
        case MsgModemStateChange:
            if (OnModemStateChange) {
                OnModemStateChange(this, notice.lparam);
            }
            break;
        case MsgSendDataEmpty:
            if (OnSendDataEmpty) {
                OnSendDataEmpty(this);
            }
            break;
        default:
            break;
    }
}

void ApplyComm1FormValues(TComm& comm) {
    comm.SetCommName("COM2");
    comm.SetBaudRate(9600);
    comm.SetParityCheck(false);
    comm.SetOutx_CtsFlow(false);
    comm.SetOutx_DsrFlow(false);
    comm.SetDtrControl(TDtrControl::DtrEnable);
    comm.SetDsrSensitivity(false);
    comm.SetTxContinueOnXoff(true);
    comm.SetOutx_XonXoffFlow(false);
    comm.SetInx_XonXoffFlow(false);
    comm.SetReplaceWhenParityError(false);
    comm.SetIgnoreNullChar(false);
    comm.SetRtsControl(TRtsControl::RtsEnable);
    comm.SetXonLimit(500);
    comm.SetXoffLimit(500);
    comm.SetByteSize(TByteSize::_8);
    comm.SetParity(TParity::None);
    comm.SetStopBits(TStopBits::_1);
    comm.SetXonChar(17);
    comm.SetXoffChar(19);
    comm.SetReplacedChar(0);
    comm.SetReadIntervalTimeout(100);
    comm.SetReadTotalTimeoutMultiplier(0);
    comm.SetReadTotalTimeoutConstant(0);
    comm.SetWriteTotalTimeoutMultiplier(0);
    comm.SetWriteTotalTimeoutConstant(0);
}

}  // namespace qx17
