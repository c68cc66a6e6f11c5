#include "tests/tracker_sim/slave_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qx17::sim::test {

using Clock = std::chrono::steady_clock;

Bytes Hex(std::string_view text) {
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        std::fprintf(stderr, "bad hex digit '%c' in test data\n", c);
        std::abort();
    };
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            continue;
        if (i + 1 >= text.size()) {
            std::fprintf(stderr, "odd number of hex digits in test data\n");
            std::abort();
        }
        bytes.push_back(static_cast<std::uint8_t>(nibble(text[i]) * 16 + nibble(text[i + 1])));
        ++i;
    }
    return bytes;
}

SlaveLine::SlaveLine(const std::string& path)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

SlaveLine::~SlaveLine() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void SlaveLine::Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0 || (p.revents & (POLLHUP | POLLERR))) {
                return;
            }
        }
    }
}

// Waits for more bytes until the deadline; false when none came.
bool SlaveLine::Fill(Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0) {
            return false;
        }
        std::uint8_t chunk[4096];
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            held_.insert(held_.end(), chunk, chunk + n);
            return true;
        }
        if (n == 0 || (p.revents & (POLLHUP | POLLERR))) {
            return false;
        }
    }
}

Bytes SlaveLine::Read(std::size_t count, milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (held_.size() < count && Fill(deadline)) {
    }
    const std::size_t n = std::min(count, held_.size());
    Bytes out(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

std::optional<Bytes> SlaveLine::ReadFrame(milliseconds timeout, Bytes* before) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        std::size_t start = 0;
        while (start + 1 < held_.size() && !(held_[start] == 0xAB && held_[start + 1] == 0xAB)) {
            ++start;
        }
        if (start + 4 <= held_.size()) {
            const std::size_t size = 6 + (std::size_t{held_[start + 2]} << 8 | held_[start + 3]);
            if (held_.size() - start >= size) {
                if (before != nullptr) {
                    before->assign(held_.begin(), held_.begin() + static_cast<long>(start));
                }
                Bytes frame(held_.begin() + static_cast<long>(start),
                            held_.begin() + static_cast<long>(start + size));
                held_.erase(held_.begin(), held_.begin() + static_cast<long>(start + size));
                return frame;
            }
        }
        if (!Fill(deadline)) {
            return std::nullopt;
        }
    }
}

Bytes SlaveLine::ReadFor(milliseconds window) {
    const Clock::time_point deadline = Clock::now() + window;
    while (Fill(deadline)) {
    }
    Bytes out;
    out.swap(held_);
    return out;
}

}  // namespace qx17::sim::test
