#include "protocol/frame_assembler.h"

#include "protocol/frame_codec.h"

namespace qx17 {

void FrameAssembler::Add(const std::uint8_t* bytes, std::size_t count) {
    bytes_.insert(bytes_.end(), bytes, bytes + count);
}

void FrameAssembler::Clear() {
    bytes_.clear();
    skipped_ = 0;
}

void FrameAssembler::Drop(std::size_t count) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    skipped_ += count;
}

std::size_t FrameAssembler::PairFrom(std::size_t from) const {
    for (std::size_t i = from; i + 1 < bytes_.size(); ++i) {
        if (bytes_[i] == kFrameStart && bytes_[i + 1] == kFrameStart) {
            return i;
        }
    }
    return bytes_.size();
}

FrameAssembler::Check FrameAssembler::Examine(std::size_t at, std::size_t& payload_length) const {
    if (at + 4 > bytes_.size()) {
        return Check::kIncomplete;
    }
    if (std::size_t{bytes_[at + 2]} * 256 + bytes_[at + 3] > kMaxPayload) {
        return Check::kBad;
    }
    switch (CheckFrameAt(bytes_.data(), bytes_.size(), at, payload_length)) {
        case FrameCheck::kValid:
            return Check::kValid;
        case FrameCheck::kIncomplete:
            return Check::kIncomplete;
        case FrameCheck::kBadCrc:
            break;
    }
    return Check::kBad;
}

std::optional<std::string> FrameAssembler::Next() {
    std::size_t length = 0;
    for (std::size_t at = PairFrom(0);; at = PairFrom(at + 1)) {
        if (at == bytes_.size()) {
            // No pair: only a last 0xAB may still begin one.
            const bool keep_last = !bytes_.empty() && bytes_.back() == kFrameStart;
            Drop(bytes_.size() - (keep_last ? 1 : 0));
            return std::nullopt;
        }
        const Check check = Examine(at, length);
        if (check == Check::kBad) {
            continue;
        }
        if (check == Check::kIncomplete) {
            // Wait for the rest, unless a whole good frame follows already:
            // then this pair was noise.
            std::size_t later = PairFrom(at + 1);
            while (later < bytes_.size() && Examine(later, length) != Check::kValid) {
                later = PairFrom(later + 1);
            }
            if (later == bytes_.size()) {
                Drop(at);
                return std::nullopt;
            }
            at = later;
        }
        Drop(at);
        std::string payload(bytes_.begin() + 4,
                            bytes_.begin() + static_cast<std::ptrdiff_t>(4 + length));
        bytes_.erase(bytes_.begin(),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(length + kFrameOverhead));
        return payload;
    }
}

}  // namespace qx17
