#include "serial/write_queue.h"

#include <new>
#include <system_error>
#include <utility>

namespace qx17 {

WriteQueue::WriteQueue() : ready_(WaitableEvent::Create()) {
    if (!ready_) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "no event for the write queue");
    }
}

bool WriteQueue::Post(WriteBlock block) {
    std::lock_guard lock(mutex_);
    if (closed_ || blocks_.size() >= kCapacity) {
        return false;
    }
    try {
        blocks_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return false;
    }
    ready_->Set();
    return true;
}

bool WriteQueue::TryTake(WriteBlock& block) {
    std::lock_guard lock(mutex_);
    if (blocks_.empty()) {
        ready_->Reset();
        return false;
    }
    block = std::move(blocks_.front());
    blocks_.pop_front();
    return true;
}

void WriteQueue::Close() {
    std::deque<WriteBlock> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(blocks_);
    }
}

}  // namespace qx17
