// Test helper: records every event of a TComm and pumps its notices on the
// test's thread, which plays the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "serial/tcomm.h"

namespace qx17::test {

struct CommEvents {
    std::vector<std::vector<std::uint8_t>> chunks;
    std::vector<bool> chunk_zero_terminated;
    std::vector<std::uint32_t> receive_errors;
    std::vector<std::uint32_t> modem_events;
    int hangups = 0;
    int send_empty = 0;

    // Wires all five events of `comm` to this record.
    void Attach(TComm& comm);

    std::size_t TotalBytes() const;
    std::vector<std::uint8_t> AllBytes() const;
};

// Dispatches `comm`'s notices until `done` holds (true) or `timeout` passes
// (false).
bool PumpUntil(TComm& comm, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Dispatches notices for `duration`, whatever they are.
void PumpFor(TComm& comm, std::chrono::milliseconds duration);

}  // namespace qx17::test
