#include "tools/tracker_sim/sim_frame.h"

#include <algorithm>
#include <stdexcept>

namespace qx17::sim {

namespace {

// Adds garbage to the output, joined to garbage reported just before it.
void AddGarbage(std::vector<FrameDecoder::Piece>& out, const std::uint8_t* first,
                const std::uint8_t* last) {
    if (first == last) {
        return;
    }
    if (out.empty() || out.back().kind != FrameDecoder::Kind::kGarbage) {
        out.push_back({FrameDecoder::Kind::kGarbage, {}});
    }
    out.back().bytes.insert(out.back().bytes.end(), first, last);
}

bool IsPairAt(const Bytes& bytes, std::size_t i) {
    return i + 1 < bytes.size() && bytes[i] == kStartByte && bytes[i + 1] == kStartByte;
}

}  // namespace

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

Bytes EncodeFrame(const Bytes& payload) {
    if (payload.size() > 0xFFFF) {
        throw std::length_error("a frame payload holds at most 65535 bytes");
    }
    Bytes frame(payload.size() + kFrameOverhead);
    frame[0] = kStartByte;
    frame[1] = kStartByte;
    frame[2] = static_cast<std::uint8_t>(payload.size() >> 8);
    frame[3] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    frame.resize(payload.size() + 4);
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return frame;
}

Bytes PayloadOf(const Bytes& frame) {
    if (frame.size() < kFrameOverhead) {
        return {};
    }
    return Bytes(frame.begin() + 4, frame.end() - 2);
}

std::vector<FrameDecoder::Piece> FrameDecoder::Feed(const std::uint8_t* bytes, std::size_t length) {
    held_.insert(held_.end(), bytes, bytes + length);
    std::vector<Piece> out;
    Scan(out);
    return out;
}

std::vector<FrameDecoder::Piece> FrameDecoder::Flush() {
    std::vector<Piece> out;
    while (!held_.empty()) {
        // Scan leaves held_ starting with a start pair (or one lone 0xAB).
        const std::size_t drop = held_.size() < 2 ? held_.size() : 2;
        AddGarbage(out, held_.data(), held_.data() + drop);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(drop));
        Scan(out);
    }
    return out;
}

std::size_t FrameDecoder::Missing() const {
    // Scan leaves held_ empty or starting with a start pair (or a lone 0xAB),
    // and a whole frame never stays held.
    if (held_.size() >= 4) {
        const std::size_t size = (std::size_t{held_[2]} << 8 | held_[3]) + kFrameOverhead;
        return size > held_.size() ? size - held_.size() : 1;
    }
    return kFrameOverhead - held_.size();
}

Bytes FrameDecoder::Reset() {
    Bytes held;
    held.swap(held_);
    return held;
}

void FrameDecoder::Scan(std::vector<Piece>& out) {
    const std::uint8_t* base = held_.data();
    std::size_t pos = 0;
    for (;;) {
        std::size_t i = pos;
        while (i < held_.size() && !IsPairAt(held_, i)) {
            ++i;
        }
        if (i == held_.size()) {
            // No start pair; a last lone 0xAB may still begin one.
            const std::size_t keep = (i > pos && held_[i - 1] == kStartByte) ? i - 1 : held_.size();
            AddGarbage(out, base + pos, base + keep);
            pos = keep;
            break;
        }
        AddGarbage(out, base + pos, base + i);
        pos = i;
        if (held_.size() - pos < 4) {
            break;
        }
        const std::size_t length = std::size_t{held_[pos + 2]} << 8 | held_[pos + 3];
        if (length > kMaxPayload) {
            AddGarbage(out, base + pos, base + pos + 1);
            ++pos;
            continue;
        }
        const std::size_t size = length + kFrameOverhead;
        if (held_.size() - pos < size) {
            break;
        }
        const std::uint16_t crc = Crc16(base + pos, size - 2);
        const bool good =
            held_[pos + size - 2] == (crc >> 8) && held_[pos + size - 1] == (crc & 0xFF);
        out.push_back({good ? Kind::kFrame : Kind::kBadCrc, Bytes(base + pos, base + pos + size)});
        if (good) {
            pos += size;
            continue;
        }
        // A damaged frame may have swallowed the start of a real one: resume
        // at the next start pair inside it, if there is one.
        std::size_t next = pos + 1;
        while (next < pos + size && !IsPairAt(held_, next)) {
            ++next;
        }
        pos = next;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace qx17::sim
