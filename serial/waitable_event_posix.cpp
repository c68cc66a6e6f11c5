// POSIX events: an eventfd (Linux) or a non-blocking pipe whose read end is
// readable exactly while the event is set.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "serial/waitable_event.h"

#ifdef __linux__
#include <sys/eventfd.h>
#endif

namespace qx17 {

struct WaitableEvent::State {
    int write_fd = -1;  // == read fd for an eventfd
    std::mutex mutex;   // orders Set and Reset against each other
    std::atomic<bool> set{false};
};

#ifndef __linux__
namespace {

bool MakePipe(int& read_fd, int& write_fd) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return false;
    }
    for (int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    read_fd = fds[0];
    write_fd = fds[1];
    return true;
}

}  // namespace
#endif

WaitableEvent::WaitableEvent(std::intptr_t handle) : handle_(handle) {}

std::unique_ptr<WaitableEvent> WaitableEvent::Create(bool initially_set) {
    int read_fd = -1;
    int write_fd = -1;
#ifdef __linux__
    read_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    write_fd = read_fd;
    if (read_fd < 0) {
        return nullptr;
    }
#else
    if (!MakePipe(read_fd, write_fd)) {
        return nullptr;
    }
#endif
    std::unique_ptr<WaitableEvent> event(new WaitableEvent(read_fd));
    event->state_ = std::make_unique<State>();
    event->state_->write_fd = write_fd;
    if (initially_set) {
        event->Set();
    }
    return event;
}

WaitableEvent::~WaitableEvent() {
    const int read_fd = static_cast<int>(handle_);
    if (state_->write_fd != read_fd) {
        ::close(state_->write_fd);
    }
    ::close(read_fd);
}

void WaitableEvent::Set() {
    std::lock_guard lock(state_->mutex);
    if (state_->set.exchange(true)) {
        return;
    }
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(state_->write_fd, &one, state_->write_fd == handle_ ? 8 : 1);
    } while (written < 0 && errno == EINTR);
}

void WaitableEvent::Reset() {
    std::lock_guard lock(state_->mutex);
    if (!state_->set.exchange(false)) {
        return;
    }
    std::uint64_t drained;
    while (::read(static_cast<int>(handle_), &drained, sizeof drained) > 0 || errno == EINTR) {
    }
}

bool WaitableEvent::IsSet() const {
    return state_->set.load();
}

int WaitableEvent::WaitAny(std::initializer_list<const WaitableEvent*> events) {
    std::vector<pollfd> fds;
    fds.reserve(events.size());
    for (const WaitableEvent* event : events) {
        fds.push_back({static_cast<int>(event->handle_), POLLIN, 0});
    }
    for (;;) {
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL)) {
                return -1;
            }
            if (fds[i].revents & POLLIN) {
                return static_cast<int>(i);
            }
        }
    }
}

}  // namespace qx17
