// The serial port seam on Windows: the Win32 comm API on a handle opened for
// overlapped I/O. The reader keeps one WaitCommEvent and one ReadFile pending
// and sleeps in WaitForMultipleObjects on them and the stop event; the writer
// waits the same way on its WriteFile. The driver applies the time-outs.
//
// serial_port_win32.h brings the project headers in before <windows.h>: they
// declare constants (EV_, PURGE_, CE_ ...) whose names the Windows headers
// define as macros of the same values.
#include "serial/serial_port_win32.h"

#include <optional>
#include <string>

namespace qx17 {

namespace {

std::uint32_t Bit(unsigned field, std::uint32_t bit) {
    return field != 0 ? bit : 0;
}

}  // namespace

namespace win32 {

// Bit fields of the DCB, one by one, so that the flag word's layout never
// depends on how the compiler packs them.
DCB ToDcb(const ControlBlock& block) {
    DCB dcb{};
    const std::uint32_t f = block.Flags;
    dcb.DCBlength = block.DCBlength;
    dcb.BaudRate = block.BaudRate;
    dcb.fBinary = (f & kDcbBinary) != 0;
    dcb.fParity = (f & kDcbParity) != 0;
    dcb.fOutxCtsFlow = (f & kDcbOutxCtsFlow) != 0;
    dcb.fOutxDsrFlow = (f & kDcbOutxDsrFlow) != 0;
    dcb.fDtrControl = block.DtrControl() & 0x3;
    dcb.fDsrSensitivity = (f & kDcbDsrSensitivity) != 0;
    dcb.fTXContinueOnXoff = (f & kDcbTxContinueOnXoff) != 0;
    dcb.fOutX = (f & kDcbOutX) != 0;
    dcb.fInX = (f & kDcbInX) != 0;
    dcb.fErrorChar = (f & kDcbErrorChar) != 0;
    dcb.fNull = (f & kDcbNull) != 0;
    dcb.fRtsControl = block.RtsControl() & 0x3;
    dcb.fAbortOnError = (f & kDcbAbortOnError) != 0;
    dcb.XonLim = block.XonLim;
    dcb.XoffLim = block.XoffLim;
    dcb.ByteSize = block.ByteSize;
    dcb.Parity = block.Parity;
    dcb.StopBits = block.StopBits;
    dcb.XonChar = block.XonChar;
    dcb.XoffChar = block.XoffChar;
    dcb.ErrorChar = block.ErrorChar;
    dcb.EofChar = block.EofChar;
    dcb.EvtChar = block.EvtChar;
    return dcb;
}

ControlBlock FromDcb(const DCB& dcb) {
    ControlBlock block;
    block.DCBlength = dcb.DCBlength;
    block.BaudRate = dcb.BaudRate;
    block.Flags =
        Bit(dcb.fBinary, kDcbBinary) | Bit(dcb.fParity, kDcbParity) |
        Bit(dcb.fOutxCtsFlow, kDcbOutxCtsFlow) | Bit(dcb.fOutxDsrFlow, kDcbOutxDsrFlow) |
        (std::uint32_t{dcb.fDtrControl} << 4) | Bit(dcb.fDsrSensitivity, kDcbDsrSensitivity) |
        Bit(dcb.fTXContinueOnXoff, kDcbTxContinueOnXoff) | Bit(dcb.fOutX, kDcbOutX) |
        Bit(dcb.fInX, kDcbInX) | Bit(dcb.fErrorChar, kDcbErrorChar) | Bit(dcb.fNull, kDcbNull) |
        (std::uint32_t{dcb.fRtsControl} << 12) | Bit(dcb.fAbortOnError, kDcbAbortOnError);
    block.XonLim = dcb.XonLim;
    block.XoffLim = dcb.XoffLim;
    block.ByteSize = dcb.ByteSize;
    block.Parity = dcb.Parity;
    block.StopBits = dcb.StopBits;
    block.XonChar = dcb.XonChar;
    block.XoffChar = dcb.XoffChar;
    block.ErrorChar = dcb.ErrorChar;
    block.EofChar = dcb.EofChar;
    block.EvtChar = dcb.EvtChar;
    return block;
}

}  // namespace win32

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// How a failed call ends the I/O: an invalid handle means the port is gone,
// which ends a thread quietly; anything else is a failure it reports.
ReadOutcome::Kind ReadFailure(DWORD error) {
    return error == ERROR_INVALID_HANDLE ? ReadOutcome::Kind::Closed : ReadOutcome::Kind::Failed;
}

WriteOutcome::Kind WriteFailure(DWORD error) {
    return error == ERROR_INVALID_HANDLE ? WriteOutcome::Kind::Closed : WriteOutcome::Kind::Failed;
}

// An I/O that the time-outs ended has completed, with what it transferred by
// then (none, for a read, when a total time-out ran out before the first
// byte). Windows reports that as success; Wine reports it as ERROR_TIMEOUT,
// with the count set all the same.
bool EndedByTimeouts(DWORD error) {
    return error == ERROR_TIMEOUT;
}

// A manual-reset event, created signalled: ReadFile and WaitCommEvent reset it
// when they start, and the system sets it when they end.
HANDLE CreateIoEvent(bool signalled) {
    return ::CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
}

// Cancels the calling thread's I/O on `port` and waits until the operation of
// `overlapped` has ended, so that its record and buffer may go. The cancel is
// repeated for a while: under Wine a cancel that meets another thread's
// cancel on the same handle can be lost. A driver that still has not ended
// the request by then may never end it (a pulled USB adapter): the thread
// then sleeps until it does, without spinning, keeping the record and the
// buffer; the component has given the thread up by then and goes on.
void CancelAndWait(HANDLE port, OVERLAPPED& overlapped) {
    constexpr DWORD kRetryMs = 100;
    constexpr int kRetries = 50;
    (void)::CancelIo(port);
    for (int i = 0;
         i < kRetries && ::WaitForSingleObject(overlapped.hEvent, kRetryMs) == WAIT_TIMEOUT; ++i) {
        (void)::CancelIo(port);
    }
    (void)::WaitForSingleObject(overlapped.hEvent, INFINITE);
    DWORD unused = 0;
    (void)::GetOverlappedResult(port, &overlapped, &unused, FALSE);
}

// The system's text for an error code, without its line end.
std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                         0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(error) : message;
}

void CloseIfOpen(HANDLE& handle) {
    if (handle != nullptr) {
        ::CloseHandle(handle);
        handle = nullptr;
    }
}

// The name under which an open port is claimed (see Open): the comm name in
// capitals, so "com5" and "COM5" meet.
std::string ClaimName(const std::string& comm_name) {
    std::string name = "Kestrowind.QX17EEP.port.";
    for (char c : comm_name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c == '\\') {
            c = '/';  // a backslash would name a folder of the object namespace
        }
        name += c;
    }
    return name;
}

class Win32SerialPort final : public SerialPort {
  public:
    Win32SerialPort(HANDLE handle, HANDLE claim) : handle_(handle), claim_(claim) {}
    ~Win32SerialPort() override {
        ::CloseHandle(handle_);
        CloseIfOpen(claim_);
    }

    bool SetupQueues(std::uint32_t input_size, std::uint32_t output_size) override {
        return ::SetupComm(handle_, input_size, output_size) != FALSE;
    }

    void Purge(std::uint32_t flags) override { (void)::PurgeComm(handle_, flags); }

    ControlBlock GetControlBlock() override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        (void)::GetCommState(handle_, &dcb);
        return win32::FromDcb(dcb);
    }

    void SetControlBlock(const ControlBlock& block) override {
        DCB dcb = win32::ToDcb(block);
        (void)::SetCommState(handle_, &dcb);
    }

    CommTimeouts GetTimeouts() override {
        COMMTIMEOUTS t{};
        (void)::GetCommTimeouts(handle_, &t);
        return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    }

    void SetTimeouts(const CommTimeouts& timeouts) override {
        COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                       timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                       timeouts.WriteTotalTimeoutConstant};
        (void)::SetCommTimeouts(handle_, &t);
    }

    bool PrepareReader() override;
    bool SetEventMask(std::uint32_t mask) override { return ::SetCommMask(handle_, mask) != FALSE; }
    ReadOutcome WaitRead(std::uint8_t* buffer, std::uint32_t size,
                         const WaitableEvent& stop) override;
    IoStatus ClearErrors(std::uint32_t& errors) override;
    void FinishReader() override;

    bool PrepareWriter() override {
        write_event_ = CreateIoEvent(false);
        return write_event_ != nullptr;
    }
    WriteOutcome Write(const std::uint8_t* data, std::uint32_t length,
                       const WaitableEvent& stop) override;
    void FinishWriter() override { CloseIfOpen(write_event_); }

  private:
    std::optional<ReadOutcome> ArmStatusWait();
    std::optional<ReadOutcome> StartRead(std::uint8_t* buffer, std::uint32_t size);
    std::optional<ReadOutcome> Collect(OVERLAPPED& overlapped, bool& pending,
                                       ReadOutcome::Kind kind, const DWORD* value);
    WriteOutcome WriteResult(BOOL wait);
    void AbandonWrite();

    const HANDLE handle_;
    HANDLE claim_;

    // Reader thread only. The overlapped records, the event mask the pending
    // WaitCommEvent fills in and the caller's read buffer must stay valid
    // until their I/O has ended: FinishReader waits for that.
    HANDLE read_event_ = nullptr;
    HANDLE status_event_ = nullptr;
    OVERLAPPED read_overlapped_{};
    OVERLAPPED status_overlapped_{};
    DWORD status_mask_ = 0;
    bool read_pending_ = false;
    bool status_pending_ = false;
    bool line_events_ = true;  // false once the driver said it reports none

    // Writer thread only.
    HANDLE write_event_ = nullptr;
    OVERLAPPED write_overlapped_{};
};

bool Win32SerialPort::PrepareReader() {
    read_event_ = CreateIoEvent(true);
    status_event_ = CreateIoEvent(true);
    if (read_event_ == nullptr || status_event_ == nullptr) {
        CloseIfOpen(read_event_);
        CloseIfOpen(status_event_);
        return false;
    }
    read_overlapped_ = {};
    read_overlapped_.hEvent = read_event_;
    status_overlapped_ = {};
    status_overlapped_.hEvent = status_event_;
    read_pending_ = false;
    status_pending_ = false;
    line_events_ = true;
    return true;
}

// Starts the wait for a line event unless one is pending already (or the
// device reports none). A wait that completes at once, or fails, gives the
// outcome to return; nullopt means the wait is pending and the caller goes on.
std::optional<ReadOutcome> Win32SerialPort::ArmStatusWait() {
    if (status_pending_ || !line_events_) {
        return std::nullopt;
    }
    status_mask_ = 0;
    if (::WaitCommEvent(handle_, &status_mask_, &status_overlapped_)) {
        return ReadOutcome{ReadOutcome::Kind::Status, status_mask_};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        status_pending_ = true;
        return std::nullopt;
    }
    if (error == ERROR_NOT_SUPPORTED) {
        // The device reports no line events (Wine answers so for a tty that
        // has no modem lines and keeps no error counters, a pseudo-terminal
        // among them). The port still carries data: read on without them.
        line_events_ = false;
        return std::nullopt;
    }
    return ReadOutcome{ReadFailure(error)};
}

// Starts the read of `size` bytes unless one is pending already. A read that
// completes at once, or fails, gives the outcome to return.
std::optional<ReadOutcome> Win32SerialPort::StartRead(std::uint8_t* buffer, std::uint32_t size) {
    if (read_pending_) {
        return std::nullopt;
    }
    const bool done = ::ReadFile(handle_, buffer, size, nullptr, &read_overlapped_) != FALSE;
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        read_pending_ = true;
        return std::nullopt;
    }
    if (done || EndedByTimeouts(error)) {
        DWORD count = 0;
        (void)::GetOverlappedResult(handle_, &read_overlapped_, &count, FALSE);
        return ReadOutcome{ReadOutcome::Kind::Data, count};
    }
    return ReadOutcome{ReadFailure(error)};
}

// The result of a pending operation whose event is signalled, collected
// without waiting; nullopt while it is not over yet.
std::optional<ReadOutcome> Win32SerialPort::Collect(OVERLAPPED& overlapped, bool& pending,
                                                    ReadOutcome::Kind kind, const DWORD* value) {
    DWORD count = 0;
    const bool done = ::GetOverlappedResult(handle_, &overlapped, &count, FALSE) != FALSE;
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE) {
        return std::nullopt;
    }
    pending = false;
    if (done || EndedByTimeouts(error)) {
        return ReadOutcome{kind, value != nullptr ? *value : count};
    }
    return ReadOutcome{ReadFailure(error)};
}

// The stop event comes first in the wait, so a stop request wins over line
// events and line events over data when several are signalled together.
ReadOutcome Win32SerialPort::WaitRead(std::uint8_t* buffer, std::uint32_t size,
                                      const WaitableEvent& stop) {
    for (;;) {
        if (std::optional<ReadOutcome> now = ArmStatusWait()) {
            return *now;
        }
        if (std::optional<ReadOutcome> now = StartRead(buffer, size)) {
            return *now;
        }
        HANDLE handles[3] = {AsHandle(stop.NativeHandle()), status_event_, read_event_};
        DWORD count = 3;
        if (!status_pending_) {
            handles[1] = read_event_;  // no line events to wait for
            count = 2;
        }
        const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            return {ReadOutcome::Kind::Stopped};
        }
        if (result <= WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + count) {
            return {ReadOutcome::Kind::Failed};  // WAIT_FAILED
        }
        const HANDLE signalled = handles[result - WAIT_OBJECT_0];
        const std::optional<ReadOutcome> outcome =
            signalled == status_event_
                ? Collect(status_overlapped_, status_pending_, ReadOutcome::Kind::Status,
                          &status_mask_)
                : Collect(read_overlapped_, read_pending_, ReadOutcome::Kind::Data, nullptr);
        if (outcome) {
            return *outcome;
        }
        // Signalled before the result was in: wait again.
    }
}

IoStatus Win32SerialPort::ClearErrors(std::uint32_t& errors) {
    DWORD flags = 0;
    if (!::ClearCommError(handle_, &flags, nullptr)) {
        return ::GetLastError() == ERROR_INVALID_HANDLE ? IoStatus::Closed : IoStatus::Failed;
    }
    errors = flags;
    return IoStatus::Ok;
}

// Ends what is still pending before the records and the buffer go: a new
// event mask completes a pending WaitCommEvent, CancelIo ends this thread's
// read (the reader's purge has normally aborted it already), and each is
// waited for until the system is done with it.
void Win32SerialPort::FinishReader() {
    if (status_pending_) {
        (void)::SetCommMask(handle_, 0);
        CancelAndWait(handle_, status_overlapped_);
        status_pending_ = false;
    }
    if (read_pending_) {
        CancelAndWait(handle_, read_overlapped_);
        read_pending_ = false;
    }
    CloseIfOpen(read_event_);
    CloseIfOpen(status_event_);
}

WriteOutcome Win32SerialPort::Write(const std::uint8_t* data, std::uint32_t length,
                                    const WaitableEvent& stop) {
    write_overlapped_ = {};
    write_overlapped_.hEvent = write_event_;
    const bool done = ::WriteFile(handle_, data, length, nullptr, &write_overlapped_) != FALSE;
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        HANDLE handles[2] = {AsHandle(stop.NativeHandle()), write_event_};
        switch (::WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
            case WAIT_OBJECT_0:
                AbandonWrite();
                return {WriteOutcome::Kind::Stopped};
            case WAIT_OBJECT_0 + 1:
                return WriteResult(TRUE);
            default:
                AbandonWrite();
                return {WriteOutcome::Kind::Failed};
        }
    }
    if (done || EndedByTimeouts(error)) {
        return WriteResult(FALSE);
    }
    return {WriteFailure(error)};
}

// The bytes the write took, the write time-outs having possibly ended it early.
WriteOutcome Win32SerialPort::WriteResult(BOOL wait) {
    DWORD written = 0;
    if (::GetOverlappedResult(handle_, &write_overlapped_, &written, wait)) {
        return {WriteOutcome::Kind::Written, written};
    }
    const DWORD error = ::GetLastError();
    if (EndedByTimeouts(error)) {
        return {WriteOutcome::Kind::Written, written};
    }
    return {WriteFailure(error)};
}

// The caller frees the block as soon as Write returns, so a write left pending
// is cancelled and waited for here: the system must be done with the buffer
// and the overlapped record first.
void Win32SerialPort::AbandonWrite() {
    CancelAndWait(handle_, write_overlapped_);
}

class Win32SerialPlatform final : public SerialPlatform {
  public:
    OpenResult Open(const std::string& comm_name) override {
        const std::string path = "\\\\.\\" + comm_name;
        HANDLE handle =
            ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return {nullptr, OpenError::CannotOpen, SystemMessage(::GetLastError())};
        }
        if (::GetFileType(handle) != FILE_TYPE_CHAR) {
            ::CloseHandle(handle);
            return {nullptr, OpenError::NotCommDevice, "not a serial device"};
        }
        // Windows' serial driver lets only one handle have a port, which
        // share mode 0 asks for anyway. Wine opens a tty as often as asked,
        // so the port is claimed by name as well, for as long as it is open:
        // another component or instance that finds the claim taken is refused
        // like a port in use.
        HANDLE claim = ::CreateMutexA(nullptr, FALSE, ClaimName(comm_name).c_str());
        if (claim == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseIfOpen(claim);
            ::CloseHandle(handle);
            return {nullptr, OpenError::CannotOpen, kHeldByAnotherProgram};
        }
        return {std::make_unique<Win32SerialPort>(handle, claim), OpenError::None, ""};
    }
};

}  // namespace

SerialPlatform& NativeSerialPlatform() {
    static Win32SerialPlatform platform;
    return platform;
}

}  // namespace qx17
