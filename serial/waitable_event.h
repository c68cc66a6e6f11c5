// A manual-reset event that threads can wait on together with a serial port:
// once set it stays set, and wakes every waiter, until it is reset.
//
// One implementation per platform (waitable_event_posix.cpp, ...). The native
// handle lets a port backend wait on the event and on its device at once.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>

namespace qx17 {

class WaitableEvent {
  public:
    // Null when the platform cannot create one.
    static std::unique_ptr<WaitableEvent> Create(bool initially_set = false);

    WaitableEvent(const WaitableEvent&) = delete;
    WaitableEvent& operator=(const WaitableEvent&) = delete;
    ~WaitableEvent();

    void Set();
    void Reset();
    bool IsSet() const;

    // The descriptor (POSIX) or handle (Windows) that becomes ready while set.
    std::intptr_t NativeHandle() const { return handle_; }

    // Sleeps without a time limit until one of the events is set and returns
    // the lowest index among those set; -1 when the wait itself fails.
    static int WaitAny(std::initializer_list<const WaitableEvent*> events);

  private:
    explicit WaitableEvent(std::intptr_t handle);

    std::intptr_t handle_;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qx17
