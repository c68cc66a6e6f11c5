#include "tests/support/fake_serial_platform.h"

#include <algorithm>
#include <system_error>

namespace qx17::test {

void FakeLine::Record(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
}

std::vector<std::string> FakeLine::Calls() {
    std::lock_guard lock(mutex);
    return calls;
}

void FakeLine::ScriptRead(ReadOutcome outcome, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex);
    reads.push_back(outcome);
    read_data.push_back(std::move(bytes));
    read_ready->Set();
}

void FakeLine::HoldWrites(bool hold) {
    std::lock_guard lock(mutex);
    hold_writes = hold;
    changed.notify_all();
}

void FakeLine::HoldReaderEnd(bool hold) {
    std::lock_guard lock(mutex);
    hold_reader_end = hold;
    changed.notify_all();
}

bool FakeLine::PortAlive() {
    std::lock_guard lock(mutex);
    return port_alive;
}

std::size_t FakeLine::WrittenCount() {
    std::lock_guard lock(mutex);
    return written.size();
}

namespace {

std::string Describe(const ControlBlock& b) {
    char text[128];
    std::snprintf(text, sizeof text, "SetControlBlock baud=%u flags=%04X bits=%u parity=%u stop=%u",
                  b.BaudRate, b.Flags, b.ByteSize, b.Parity, b.StopBits);
    return text;
}

class FakePort final : public SerialPort {
  public:
    explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {
        std::lock_guard lock(line_->mutex);
        line_->port_alive = true;
    }
    ~FakePort() override {
        std::lock_guard lock(line_->mutex);
        line_->port_alive = false;
    }

    bool SetupQueues(std::uint32_t in, std::uint32_t out) override {
        line_->Record("SetupQueues " + std::to_string(in) + " " + std::to_string(out));
        std::lock_guard lock(line_->mutex);
        return line_->setup_ok;
    }
    void Purge(std::uint32_t flags) override { line_->Record("Purge " + std::to_string(flags)); }
    ControlBlock GetControlBlock() override {
        line_->Record("GetControlBlock");
        std::lock_guard lock(line_->mutex);
        return line_->block;
    }
    void SetControlBlock(const ControlBlock& block) override {
        line_->Record(Describe(block));
        std::lock_guard lock(line_->mutex);
        line_->block = block;
    }
    CommTimeouts GetTimeouts() override {
        line_->Record("GetTimeouts");
        std::lock_guard lock(line_->mutex);
        return line_->timeouts;
    }
    void SetTimeouts(const CommTimeouts& t) override {
        line_->Record("SetTimeouts " + std::to_string(t.ReadIntervalTimeout) + " " +
                      std::to_string(t.ReadTotalTimeoutMultiplier) + " " +
                      std::to_string(t.ReadTotalTimeoutConstant) + " " +
                      std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
                      std::to_string(t.WriteTotalTimeoutConstant));
        std::lock_guard lock(line_->mutex);
        line_->timeouts = t;
    }

    bool PrepareReader() override {
        std::lock_guard lock(line_->mutex);
        line_->reader_prepared = true;
        return true;
    }
    bool SetEventMask(std::uint32_t mask) override {
        line_->Record("SetEventMask " + std::to_string(mask));
        return true;
    }
    ReadOutcome WaitRead(std::uint8_t* buffer, std::uint32_t size,
                         const WaitableEvent& stop) override {
        for (;;) {
            {
                std::lock_guard lock(line_->mutex);
                if (!line_->reads.empty()) {
                    const ReadOutcome outcome = line_->reads.front();
                    const std::vector<std::uint8_t> bytes = std::move(line_->read_data.front());
                    line_->reads.pop_front();
                    line_->read_data.pop_front();
                    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), size), buffer);
                    return outcome;
                }
                line_->read_ready->Reset();
            }
            if (WaitableEvent::WaitAny({&stop, line_->read_ready.get()}) != 1) {
                return {ReadOutcome::Kind::Stopped};
            }
        }
    }
    IoStatus ClearErrors(std::uint32_t& errors) override {
        std::lock_guard lock(line_->mutex);
        errors = line_->clear_errors;
        return IoStatus::Ok;
    }
    void FinishReader() override {
        std::unique_lock lock(line_->mutex);
        line_->changed.wait(lock, [this] { return !line_->hold_reader_end; });
    }

    bool PrepareWriter() override { return true; }
    WriteOutcome Write(const std::uint8_t* data, std::uint32_t length,
                       const WaitableEvent& stop) override {
        if (stop.IsSet()) {
            return {WriteOutcome::Kind::Stopped};
        }
        std::unique_lock lock(line_->mutex);
        line_->changed.wait(lock, [this] { return !line_->hold_writes; });
        if (line_->fail_writes) {
            return {WriteOutcome::Kind::Failed};
        }
        const std::uint32_t n = std::min(length, line_->max_write);
        line_->written.insert(line_->written.end(), data, data + n);
        line_->changed.notify_all();
        return {WriteOutcome::Kind::Written, n};
    }
    void FinishWriter() override {}

  private:
    std::shared_ptr<FakeLine> line_;
};

}  // namespace

SerialPlatform::OpenResult FakeSerialPlatform::Open(const std::string& comm_name) {
    opened_names.push_back(comm_name);
    if (open_error != OpenError::None) {
        return {nullptr, open_error, "refused by the test"};
    }
    line->Record("Open " + comm_name);
    return {std::make_unique<FakePort>(line), OpenError::None, ""};
}

std::unique_ptr<WaitableEvent> FakeSerialPlatform::CreateEvent() {
    return event_ok ? WaitableEvent::Create() : nullptr;
}

std::thread FakeSerialPlatform::SpawnThread(std::function<void()> entry) {
    if (spawned_++ == fail_spawn_at) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::move(entry));
}

}  // namespace qx17::test
