// The writer thread's queue of blocks to send: first in, first out; posting
// never blocks; the writer sleeps on Ready() until a block is queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "serial/waitable_event.h"

namespace qx17 {

struct WriteBlock {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint16_t length = 0;
};

class WriteQueue {
  public:
    static constexpr std::size_t kCapacity = 10000;

    // Throws std::system_error when the platform has no event to give.
    WriteQueue();

    // Any thread. False when the queue is closed or full; the block is then
    // released.
    bool Post(WriteBlock block);

    // Writer thread: moves the oldest block into `block`; false when there is
    // none, and then Ready() is reset, so a wait on it ends with the next post.
    bool TryTake(WriteBlock& block);

    const WaitableEvent& Ready() const { return *ready_; }

    // The writer has ended: queued blocks are dropped, later posts fail.
    void Close();

  private:
    std::mutex mutex_;
    std::deque<WriteBlock> blocks_;
    bool closed_ = false;
    std::unique_ptr<WaitableEvent> ready_;
};

}  // namespace qx17
