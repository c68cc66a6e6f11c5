// The reader and writer threads of an open port. Neither touches the
// component: each gets the port, the stop event and the notice queue when it
// is created, and reports only by posting notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "serial/notices.h"
#include "serial/thread.h"
#include "serial/write_queue.h"

namespace qx17 {

class SerialPort;
class WaitableEvent;

inline constexpr std::uint32_t ReadChunkSize = 2048;

// What a thread gets from the component. It shares the ownership of all of
// it: a thread the component had to give up on (see TThread::Abandon) keeps
// the port, the stop event and the queue alive for as long as it runs.
struct IoThreadContext {
    std::shared_ptr<SerialPort> PortHandle;
    std::shared_ptr<const WaitableEvent> CloseEvent;
    std::shared_ptr<NotifyQueue> NotifyWindow;
    std::uint32_t Opening = 0;  // stamped on every notice

    bool Notify(std::uint32_t message, std::uint32_t wparam = 0, std::uint32_t lparam = 0,
                std::unique_ptr<std::uint8_t[]> block = nullptr) const;
    // The thread's last notice: taken even by a full queue.
    void NotifyHangup() const;
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

    static constexpr std::size_t kBatchLimit = 65536;

    IoThreadContext context_;
    WriteQueue queue_;
    std::vector<std::uint8_t> batch_;
};

}  // namespace qx17
