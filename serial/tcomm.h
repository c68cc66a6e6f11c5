// TComm: a non-visual component that owns one serial port. It opens the port
// by name, configures the line and the time-outs from its properties, runs a
// reader and a writer thread, queues outgoing blocks to the writer, and raises
// what the threads report as events on the main thread.
//
// Every member function is for the main thread. The threads' notices wait in
// a queue until the main thread calls DispatchNotices (or DispatchOneNotice);
// SetNoticeWakeup lets a toolkit's event loop know when to do so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/comm_enums.h"
#include "serial/comms_error.h"
#include "serial/component.h"
#include "serial/control_block.h"
#include "serial/io_threads.h"
#include "serial/notices.h"
#include "serial/serial_port.h"

namespace qx17 {

class TComm;

using TReceiveDataEvent =
    std::function<void(TComm* Sender, const std::uint8_t* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;

inline constexpr std::uint32_t kCommQueueSize = 4096;

class TComm : public TComponent {
  public:
    explicit TComm(TComponent* owner, SerialPlatform& platform = NativeSerialPlatform());
    // Closes an open port first: no thread outlives the component.
    ~TComm() override;

    void OpenPort();
    void ClosePort();
    bool SendData(const std::uint8_t* Buffer, std::uint16_t Length);
    bool IsOpen() const { return PortHandle != nullptr; }
    // Why the last OpenPort could not open the device, in the system's words
    // (empty when it did, or when the system gave none). ECommsError keeps
    // its fixed message; this is for a caller that can show more.
    const std::string& OpenFailureReason() const { return open_failure_reason_; }

    // Events, raised on the main thread only; an empty one is not called.
    // OnReceiveData's Buffer is valid only during the call.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

    // Main-thread side of the notice queue. A notice is raised as its event
    // only when the opening of the port that posted it is the latest one:
    // one queued before ClosePort still arrives while the port stays closed,
    // but never after the next OpenPort, as if the new port had sent it.
    // DispatchOneNotice is true when it took a notice, raised or dropped.
    bool DispatchOneNotice();
    void DispatchNotices();
    void SetNoticeWakeup(std::function<void()> wakeup);
    NotifyQueue& Notices() { return *NotifyWindow; }

    // Properties. CommName and Parity only store their value; every other line
    // property re-applies the line settings, and every time-out re-applies the
    // time-outs, when its value changes while the port is open.
    const std::string& CommName() const { return comm_name_; }
    void SetCommName(std::string value) { comm_name_ = std::move(value); }

    std::uint32_t BaudRate() const { return line_.BaudRate; }
    void SetBaudRate(std::uint32_t v) { SetLine(line_.BaudRate, v); }
    bool ParityCheck() const { return line_.ParityCheck; }
    void SetParityCheck(bool v) { SetLine(line_.ParityCheck, v); }
    bool Outx_CtsFlow() const { return line_.Outx_CtsFlow; }
    void SetOutx_CtsFlow(bool v) { SetLine(line_.Outx_CtsFlow, v); }
    bool Outx_DsrFlow() const { return line_.Outx_DsrFlow; }
    void SetOutx_DsrFlow(bool v) { SetLine(line_.Outx_DsrFlow, v); }
    TDtrControl DtrControl() const { return line_.DtrControl; }
    void SetDtrControl(TDtrControl v) { SetLine(line_.DtrControl, v); }
    bool DsrSensitivity() const { return line_.DsrSensitivity; }
    void SetDsrSensitivity(bool v) { SetLine(line_.DsrSensitivity, v); }
    bool TxContinueOnXoff() const { return line_.TxContinueOnXoff; }
    void SetTxContinueOnXoff(bool v) { SetLine(line_.TxContinueOnXoff, v); }
    bool Outx_XonXoffFlow() const { return line_.Outx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool v) { SetLine(line_.Outx_XonXoffFlow, v); }
    bool Inx_XonXoffFlow() const { return line_.Inx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool v) { SetLine(line_.Inx_XonXoffFlow, v); }
    bool ReplaceWhenParityError() const { return line_.ReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool v) { SetLine(line_.ReplaceWhenParityError, v); }
    bool IgnoreNullChar() const { return line_.IgnoreNullChar; }
    void SetIgnoreNullChar(bool v) { SetLine(line_.IgnoreNullChar, v); }
    TRtsControl RtsControl() const { return line_.RtsControl; }
    void SetRtsControl(TRtsControl v) { SetLine(line_.RtsControl, v); }
    std::uint16_t XonLimit() const { return line_.XonLimit; }
    void SetXonLimit(std::uint16_t v) { SetLine(line_.XonLimit, v); }
    std::uint16_t XoffLimit() const { return line_.XoffLimit; }
    void SetXoffLimit(std::uint16_t v) { SetLine(line_.XoffLimit, v); }
    TByteSize ByteSize() const { return line_.ByteSize; }
    void SetByteSize(TByteSize v) { SetLine(line_.ByteSize, v); }
    TParity Parity() const { return line_.Parity; }
    void SetParity(TParity v) { line_.Parity = v; }
    TStopBits StopBits() const { return line_.StopBits; }
    void SetStopBits(TStopBits v) { SetLine(line_.StopBits, v); }
    char XonChar() const { return line_.XonChar; }
    void SetXonChar(char v) { SetLine(line_.XonChar, v); }
    char XoffChar() const { return line_.XoffChar; }
    void SetXoffChar(char v) { SetLine(line_.XoffChar, v); }
    char ReplacedChar() const { return line_.ReplacedChar; }
    void SetReplacedChar(char v) { SetLine(line_.ReplacedChar, v); }

    std::uint32_t ReadIntervalTimeout() const { return timeouts_.ReadIntervalTimeout; }
    void SetReadIntervalTimeout(std::uint32_t v) { SetTimeout(timeouts_.ReadIntervalTimeout, v); }
    std::uint32_t ReadTotalTimeoutMultiplier() const {
        return timeouts_.ReadTotalTimeoutMultiplier;
    }
    void SetReadTotalTimeoutMultiplier(std::uint32_t v) {
        SetTimeout(timeouts_.ReadTotalTimeoutMultiplier, v);
    }
    std::uint32_t ReadTotalTimeoutConstant() const { return timeouts_.ReadTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(std::uint32_t v) {
        SetTimeout(timeouts_.ReadTotalTimeoutConstant, v);
    }
    std::uint32_t WriteTotalTimeoutMultiplier() const {
        return timeouts_.WriteTotalTimeoutMultiplier;
    }
    void SetWriteTotalTimeoutMultiplier(std::uint32_t v) {
        SetTimeout(timeouts_.WriteTotalTimeoutMultiplier, v);
    }
    std::uint32_t WriteTotalTimeoutConstant() const { return timeouts_.WriteTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(std::uint32_t v) {
        SetTimeout(timeouts_.WriteTotalTimeoutConstant, v);
    }

  private:
    template <typename T>
    void SetLine(T& member, T value) {
        if (member == value) {
            return;
        }
        member = value;
        if (PortHandle) {
            ApplyLineSettings();
        }
    }
    void SetTimeout(std::uint32_t& member, std::uint32_t value) {
        if (member == value) {
            return;
        }
        member = value;
        if (PortHandle) {
            ApplyTimeouts();
        }
    }

    void ApplyTimeouts();
    void ApplyLineSettings();
    void StopReader();
    void StopWriter();
    template <typename T>
    void AwaitEnd(std::unique_ptr<T>& thread);
    void NotifyWindowProc(Notice& notice);

    SerialPlatform& platform_;
    std::unique_ptr<TReadThread> Reader;
    std::unique_ptr<TWriteThread> Writer;
    // Shared with the threads (see IoThreadContext).
    std::shared_ptr<SerialPort> PortHandle;
    std::shared_ptr<WaitableEvent> CloseEvent;
    std::shared_ptr<NotifyQueue> NotifyWindow = std::make_shared<NotifyQueue>();
    // Each OpenPort is a new opening. Notices queued at ClosePort are still
    // raised after it returns; one still queued when the next OpenPort
    // succeeds is dropped on purpose: its chunk came from the device that
    // was on the port before, and raised now it would look as if the new
    // device had sent it (a reply or an announcement of the wrong tracker).
    std::uint32_t opening_ = 0;
    std::string open_failure_reason_;

    std::string comm_name_ = "COM2";
    LineSettings line_;
    CommTimeouts timeouts_{100, 0, 0, 0, 0};
};

// The window's serial component gets these values from its form: the line at
// 9600 8N1 with DTR and RTS on and no flow control of any kind.
void ApplyComm1FormValues(TComm& comm);

}  // namespace qx17
