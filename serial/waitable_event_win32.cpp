// Windows events: a manual-reset kernel event. Its handle is what the port
// backend adds to WaitForMultipleObjects beside its own overlapped events.
//
// The project headers come before <windows.h>: they declare constants whose
// names the Windows headers define as macros.
#include "serial/waitable_event.h"

#include <windows.h>

#include <vector>

namespace qx17 {

// The kernel object holds all the state; nothing is kept beside the handle.
struct WaitableEvent::State {};

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

WaitableEvent::WaitableEvent(std::intptr_t handle) : handle_(handle) {}

std::unique_ptr<WaitableEvent> WaitableEvent::Create(bool initially_set) {
    HANDLE event = ::CreateEventA(nullptr, TRUE, initially_set ? TRUE : FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<WaitableEvent>(
        new WaitableEvent(reinterpret_cast<std::intptr_t>(event)));
}

WaitableEvent::~WaitableEvent() {
    ::CloseHandle(AsHandle(handle_));
}

void WaitableEvent::Set() {
    ::SetEvent(AsHandle(handle_));
}

void WaitableEvent::Reset() {
    ::ResetEvent(AsHandle(handle_));
}

bool WaitableEvent::IsSet() const {
    return ::WaitForSingleObject(AsHandle(handle_), 0) == WAIT_OBJECT_0;
}

int WaitableEvent::WaitAny(std::initializer_list<const WaitableEvent*> events) {
    if (events.size() == 0 || events.size() > MAXIMUM_WAIT_OBJECTS) {
        return -1;
    }
    std::vector<HANDLE> handles;
    handles.reserve(events.size());
    for (const WaitableEvent* event : events) {
        handles.push_back(AsHandle(event->handle_));
    }
    // With bWaitAll FALSE the result names the lowest index among the
    // signalled handles.
    const DWORD count = static_cast<DWORD>(handles.size());
    const DWORD result = ::WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
        return static_cast<int>(result - WAIT_OBJECT_0);
    }
    return -1;
}

}  // namespace qx17
