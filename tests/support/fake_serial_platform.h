// Test helper: a serial platform without a device. It records the calls the
// component makes, can refuse any step of opening, and plays scripted reads
// and partial writes, so the component's and threads' logic can be checked
// call by call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace qx17::test {

// State shared by the platform and the port it opened; outlives the port.
struct FakeLine {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;  // "Purge 15", "SetControlBlock ...", in call order
    std::deque<ReadOutcome> reads;   // what WaitRead returns next
    std::deque<std::vector<std::uint8_t>> read_data;  // bytes for each Data outcome
    std::uint32_t clear_errors = 0;                   // what ClearErrors reports
    std::vector<std::uint8_t> written;
    std::uint32_t max_write = 0xFFFFFFFF;  // bytes accepted per Write call
    bool fail_writes = false;
    bool hold_writes = false;      // Write waits until this is cleared
    bool hold_reader_end = false;  // FinishReader waits until this is cleared
    bool setup_ok = true;
    bool port_alive = false;
    bool reader_prepared = false;
    ControlBlock block;
    CommTimeouts timeouts;
    std::unique_ptr<WaitableEvent> read_ready = WaitableEvent::Create();

    void Record(std::string call);
    std::vector<std::string> Calls();
    // Queues what the next WaitRead returns; Data outcomes carry `bytes`.
    void ScriptRead(ReadOutcome outcome, std::vector<std::uint8_t> bytes = {});
    void HoldWrites(bool hold);
    void HoldReaderEnd(bool hold);
    bool PortAlive();
    std::size_t WrittenCount();
};

class FakeSerialPlatform : public SerialPlatform {
  public:
    std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();

    OpenError open_error = OpenError::None;
    bool event_ok = true;
    int fail_spawn_at = -1;  // index of the thread whose creation fails
    std::chrono::milliseconds stop_wait{StopWaitMs};
    std::vector<std::string> opened_names;

    OpenResult Open(const std::string& comm_name) override;
    std::unique_ptr<WaitableEvent> CreateEvent() override;
    std::thread SpawnThread(std::function<void()> entry) override;
    std::chrono::milliseconds StopWait() const override { return stop_wait; }

  private:
    int spawned_ = 0;
};

}  // namespace qx17::test
