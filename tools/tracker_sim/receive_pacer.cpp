#include "tools/tracker_sim/receive_pacer.h"

#include <algorithm>

namespace qx17::sim {

void ReceivePacer::Add(const std::uint8_t* bytes, std::size_t length, Clock::time_point read_at,
                       bool paced) {
    if (length == 0) {
        return;
    }
    // A line idle since the last chunk starts delivering at `read_at`; a busy
    // one first finishes the bytes it is still delivering.
    const Clock::time_point begins = std::max(wire_end_, read_at);
    wire_end_ = paced ? begins + kByteTime * static_cast<long>(length) : begins;
    chunks_.push_back({wire_end_, Bytes(bytes, bytes + length)});
}

std::optional<ReceivePacer::Clock::time_point> ReceivePacer::NextDue() const {
    if (chunks_.empty()) {
        return std::nullopt;
    }
    return chunks_.front().due;
}

Bytes ReceivePacer::TakeDue(Clock::time_point now) {
    Bytes due;
    while (!chunks_.empty() && chunks_.front().due <= now) {
        due.insert(due.end(), chunks_.front().bytes.begin(), chunks_.front().bytes.end());
        chunks_.pop_front();
    }
    return due;
}

Bytes ReceivePacer::Reset() {
    Bytes held;
    for (const Chunk& chunk : chunks_) {
        held.insert(held.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    chunks_.clear();
    return held;
}

}  // namespace qx17::sim
