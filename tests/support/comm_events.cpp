#include "tests/support/comm_events.h"

namespace qx17::test {

void CommEvents::Attach(TComm& comm) {
    comm.OnReceiveData = [this](TComm*, const std::uint8_t* buffer, std::uint16_t length) {
        chunks.emplace_back(buffer, buffer + length);
        chunk_zero_terminated.push_back(buffer[length] == 0);
    };
    comm.OnReceiveError = [this](TComm*, std::uint32_t mask) { receive_errors.push_back(mask); };
    comm.OnModemStateChange = [this](TComm*, std::uint32_t bits) { modem_events.push_back(bits); };
    comm.OnRequestHangup = [this](TComm*) { ++hangups; };
    comm.OnSendDataEmpty = [this](TComm*) { ++send_empty; };
}

std::size_t CommEvents::TotalBytes() const {
    std::size_t total = 0;
    for (const auto& chunk : chunks)
        total += chunk.size();
    return total;
}

std::vector<std::uint8_t> CommEvents::AllBytes() const {
    std::vector<std::uint8_t> all;
    for (const auto& chunk : chunks)
        all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
}

bool PumpUntil(TComm& comm, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        comm.DispatchNotices();
        if (done()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        comm.Notices().WaitNonEmpty(std::min(left, std::chrono::milliseconds(50)));
    }
}

void PumpFor(TComm& comm, std::chrono::milliseconds duration) {
    (void)PumpUntil(
        comm, [] { return false; }, duration);
}

}  // namespace qx17::test
