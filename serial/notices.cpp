#include "serial/notices.h"

#include <limits>
#include <new>
#include <utility>

namespace qx17 {

bool NotifyQueue::Post(Notice notice) {
    return Push(std::move(notice), kCapacity);
}

bool NotifyQueue::PostFinal(Notice notice) {
    return Push(std::move(notice), std::numeric_limits<std::size_t>::max());
}

bool NotifyQueue::Push(Notice notice, std::size_t capacity) {
    std::shared_ptr<const std::function<void()>> wakeup;
    {
        std::lock_guard lock(mutex_);
        if (notices_.size() >= capacity) {
            return false;
        }
        try {
            notices_.push_back(std::move(notice));
        } catch (const std::bad_alloc&) {
            return false;
        }
        wakeup = wakeup_;
    }
    queued_.notify_all();
    if (wakeup && *wakeup) {
        (*wakeup)();
    }
    return true;
}

std::optional<Notice> NotifyQueue::TakeNext() {
    std::lock_guard lock(mutex_);
    if (notices_.empty()) {
        return std::nullopt;
    }
    Notice notice = std::move(notices_.front());
    notices_.pop_front();
    return notice;
}

bool NotifyQueue::WaitNonEmpty(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return queued_.wait_for(lock, timeout, [this] { return !notices_.empty(); });
}

std::size_t NotifyQueue::Size() const {
    std::lock_guard lock(mutex_);
    return notices_.size();
}

void NotifyQueue::SetWakeup(std::function<void()> wakeup) {
    auto shared = std::make_shared<const std::function<void()>>(std::move(wakeup));
    std::lock_guard lock(mutex_);
    wakeup_ = std::move(shared);
}

}  // namespace qx17
