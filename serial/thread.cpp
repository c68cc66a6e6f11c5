#include "serial/thread.h"

#include "serial/serial_port.h"

namespace qx17 {

TThread::TThread(SerialPlatform& platform) : thread_(platform.SpawnThread([this] { Entry(); })) {}

TThread::~TThread() {
    Release();
}

void TThread::Resume() {
    std::lock_guard lock(mutex_);
    resumed_ = true;
    changed_.notify_all();
}

bool TThread::WaitFor(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    if (!resumed_) {
        // Never started: it cannot end by itself, so let it end unrun.
        released_ = true;
        changed_.notify_all();
    }
    return changed_.wait_for(lock, bound, [this] { return ended_; });
}

void TThread::Release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TThread::Abandon(std::unique_ptr<TThread> thread) {
    TThread* const raw = thread.release();
    {
        std::lock_guard lock(raw->mutex_);
        if (!raw->ended_) {
            raw->abandoned_ = true;
            raw->thread_.detach();
            return;
        }
    }
    delete raw;  // it ended after all: released the normal way
}

void TThread::Entry() {
    bool run;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return resumed_ || released_; });
        run = resumed_;
    }
    if (run) {
        SetCurrentThreadPriority(priority_);
        Execute();
    }
    std::unique_lock lock(mutex_);
    ended_ = true;
    if (abandoned_) {
        lock.unlock();
        delete this;  // nobody else holds the object any more
        return;
    }
    changed_.notify_all();
}

}  // namespace qx17
