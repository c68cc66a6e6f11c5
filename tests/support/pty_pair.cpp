#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qx17::test {

PtyPair::PtyPair() {
    termios raw{};
    ::cfmakeraw(&raw);
    char name[128];
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    slave_path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) {
        ::close(slave_);
    }
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyPair::Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd fd{master_, POLLOUT, 0};
            ::poll(&fd, 1, 100);
        } else {
            std::perror("write to pty master");
            std::abort();
        }
    }
}

Bytes PtyPair::Read(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[4096];
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return bytes;
}

Bytes PtyPair::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    Bytes bytes;
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(quiet.count())) <= 0) {
            return bytes;
        }
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return bytes;
        }
    }
}

Bytes Pattern(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251);
    }
    return bytes;
}

}  // namespace qx17::test
