// What the reader and writer threads tell the main thread, and the queue that
// carries it. The queue stands where a hidden window's message queue would:
// first in, first out; posting never blocks and reports failure; it is drained
// on the main thread, in posting order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qx17 {

inline constexpr std::uint32_t WM_USER = 1024;
inline constexpr std::uint32_t MsgDataReceived = WM_USER + 1;      // wParam count, block
inline constexpr std::uint32_t MsgReceiveError = WM_USER + 2;      // lParam line errors
inline constexpr std::uint32_t MsgRequestHangup = WM_USER + 3;     //
inline constexpr std::uint32_t MsgModemStateChange = WM_USER + 4;  // lParam modem bits
inline constexpr std::uint32_t MsgSendDataEmpty = WM_USER + 5;     //

inline constexpr std::uint32_t ModemEventRing = 4;
inline constexpr std::uint32_t ModemEventCarrier = 8;

struct Notice {
    std::uint32_t message = 0;
    std::uint32_t wparam = 0;
    std::uint32_t lparam = 0;
    std::unique_ptr<std::uint8_t[]> block;  // received bytes, owned by the notice
    std::uint32_t opening = 0;              // which opening of the port posted it
};

class NotifyQueue {
  public:
    // As many notices as a window's message queue holds before posts fail.
    static constexpr std::size_t kCapacity = 10000;

    // Any thread. False when the queue is full; the notice and its block are
    // then released.
    bool Post(Notice notice);

    // Any thread: a thread's last notice, its hang-up, which is taken even
    // when the queue is full, so a thread that ends because the queue was
    // full is still heard of. Each thread posts at most one, so the queue
    // never holds more than kCapacity plus one per thread.
    bool PostFinal(Notice notice);

    // Main thread: the oldest notice, if any.
    std::optional<Notice> TakeNext();

    // For loops without a toolkit: sleeps until a notice is queued or the
    // timeout passes; true when one is queued.
    bool WaitNonEmpty(std::chrono::milliseconds timeout);

    std::size_t Size() const;

    // Called, from the posting thread, after every successful post: lets a
    // toolkit's event loop know there is something to drain. Must not block.
    void SetWakeup(std::function<void()> wakeup);

  private:
    bool Push(Notice notice, std::size_t capacity);

    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Notice> notices_;
    std::shared_ptr<const std::function<void()>> wakeup_;
};

}  // namespace qx17
