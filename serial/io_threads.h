// The reader and writer threads of an open port. Neither touches the
// component: each gets the port, the stop event and the notice queue when it
// is created, and reports only by posting notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/notices.h"
#include "serial/thread.h"
#include "serial/write_queue.h"

namespace qx17 {

class SerialPort;
class WaitableEvent;

inline constexpr std::uint32_t ReadChunkSize = 2048;

struct IoThreadContext {
    SerialPort* PortHandle = nullptr;
    const WaitableEvent* CloseEvent = nullptr;
    NotifyQueue* NotifyWindow = nullptr;
};

// Keeps one read pending, delivers each chunk, reports line errors and modem
// changes. Ends on the stop event, a closed port, a hang-up or a failure; only
// the last two post MsgRequestHangup.
class TReadThread : public TThread {
  public:
    TReadThread(SerialPlatform& platform, const IoThreadContext& context);
    ~TReadThread() override;

  protected:
    void Execute() override;

  private:
    void RunLoop(std::uint8_t* buffer);
    bool HandleStatusEvent(std::uint32_t mask);
    bool DeliverData(const std::uint8_t* buffer, std::uint32_t count);
    bool Post(std::uint32_t message, std::uint32_t lparam);
    void PostHangup();

    IoThreadContext context_;
};

// Writes the queued blocks one after the other, each completely, and tells
// when the queue has run empty.
class TWriteThread : public TThread {
  public:
    TWriteThread(SerialPlatform& platform, const IoThreadContext& context);
    ~TWriteThread() override;

    WriteQueue& Queue() { return queue_; }

  protected:
    void Execute() override;

  private:
    void RunLoop();
    bool WriteBatch(WriteBlock& first);
    bool WriteBuffer(const std::uint8_t* block, std::uint32_t length);
    void PostHangup();

    static constexpr std::size_t kBatchLimit = 65536;

    IoThreadContext context_;
    WriteQueue queue_;
    std::vector<std::uint8_t> batch_;
};

}  // namespace qx17
