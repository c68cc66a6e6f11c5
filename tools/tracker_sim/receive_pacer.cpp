#include "tools/tracker_sim/receive_pacer.h"

#include <algorithm>

namespace qx17::sim {

ReceivePacer::Clock::time_point ReceivePacer::Chunk::ArrivalOf(std::size_t index) const {
    return paced ? begins + kByteTime * static_cast<long>(index + 1) : begins;
}

void ReceivePacer::Add(const std::uint8_t* bytes, std::size_t length, Clock::time_point read_at,
                       bool paced) {
    if (length == 0) {
        return;
    }
    const Clock::time_point begins = std::max(wire_end_, read_at);
    chunks_.push_back({begins, paced, Bytes(bytes, bytes + length)});
    wire_end_ = chunks_.back().ArrivalOf(length - 1);
}

std::optional<ReceivePacer::Clock::time_point> ReceivePacer::ArrivalOf(std::size_t count) const {
    std::optional<Clock::time_point> arrival;
    for (const Chunk& chunk : chunks_) {
        const std::size_t held = chunk.bytes.size() - chunk.taken;
        if (count <= held) {
            return chunk.ArrivalOf(chunk.taken + std::max<std::size_t>(count, 1) - 1);
        }
        count -= held;
        arrival = chunk.ArrivalOf(chunk.bytes.size() - 1);
    }
    return arrival;
}

Bytes ReceivePacer::TakeArrived(Clock::time_point now) {
    Bytes arrived;
    while (!chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        while (chunk.taken < chunk.bytes.size() && chunk.ArrivalOf(chunk.taken) <= now) {
            arrived.push_back(chunk.bytes[chunk.taken++]);
        }
        if (chunk.taken < chunk.bytes.size()) {
            break;
        }
        chunks_.pop_front();
    }
    return arrived;
}

Bytes ReceivePacer::Reset() {
    Bytes held;
    for (const Chunk& chunk : chunks_) {
        held.insert(held.end(), chunk.bytes.begin() + static_cast<long>(chunk.taken),
                    chunk.bytes.end());
    }
    chunks_.clear();
    return held;
}

}  // namespace qx17::sim
