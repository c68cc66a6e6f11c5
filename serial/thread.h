// A worker thread in the manner of the component library's thread class:
// created suspended, given a priority, resumed, asked to terminate (a flag the
// body may look at), and released, which waits until the thread has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace qx17 {

class SerialPlatform;

// Thread priorities relative to normal, as the platform's levels count them.
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;

// Raises (or lowers) the calling thread's scheduling priority where the
// platform allows it; best effort, failures are ignored.
void SetCurrentThreadPriority(int priority);

class TThread {
  public:
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    virtual ~TThread();

    void SetPriority(int priority) { priority_ = priority; }
    void Resume();
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }

    // True when the thread has ended within `bound`. A thread that was never
    // resumed ends at once, without running its body.
    bool WaitFor(std::chrono::milliseconds bound);

    // Waits without a bound until the thread has ended; a thread that was
    // never resumed ends without running its body. Derived classes call this
    // from their destructor, before their own members go.
    void Release();

    // Gives up on a thread that did not end in time (a driver that never
    // completes a cancelled request): it is detached and its object, with
    // everything the object owns, is deleted by the thread itself when its
    // body returns, if ever. Nothing it may still be using is freed under
    // it, and the caller goes on at once.
    static void Abandon(std::unique_ptr<TThread> thread);

  protected:
    // Starts the thread suspended; throws std::system_error when the platform
    // cannot create it.
    explicit TThread(SerialPlatform& platform);

    virtual void Execute() = 0;

  private:
    void Entry();

    std::mutex mutex_;
    std::condition_variable changed_;
    bool resumed_ = false;
    bool released_ = false;
    bool ended_ = false;
    bool abandoned_ = false;
    int priority_ = THREAD_PRIORITY_NORMAL;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

}  // namespace qx17
