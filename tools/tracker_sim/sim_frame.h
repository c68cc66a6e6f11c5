// The virtual tracker's own view of the link frame: CRC, encoder and a
// reassembling decoder. Deliberately written apart from protocol/, so that a
// fault in the tool's frame code cannot hide behind the same fault here.
//
// A frame: 0xAB 0xAB, a big-endian 16-bit payload length L, L payload bytes
// (command code first), then the CRC-16/CCITT-FALSE of everything before it,
// high byte first. A frame is L + 6 bytes long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx17::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStartByte = 0xAB;
inline constexpr std::size_t kFrameOverhead = 6;

// The largest payload the decoder waits for: a write of the whole memory
// (command, two address bytes, 4097 data bytes). A start pair announcing more
// is taken for noise, so a stray 0xAB 0xAB cannot stall the line for long.
inline constexpr std::size_t kMaxPayload = 3 + 4097;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, most
// significant bit first, no final XOR. "123456789" gives 0x29B1.
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t length);

// The complete frame around `payload` (at most 0xFFFF bytes).
Bytes EncodeFrame(const Bytes& payload);

// Reassembles frames from bytes that arrive in arbitrary pieces and
// resynchronises after noise.
class FrameDecoder {
  public:
    enum class Kind {
        kFrame,    // a frame with a matching CRC; `bytes` is the whole frame
        kBadCrc,   // a complete frame whose CRC does not match
        kGarbage,  // bytes that belong to no frame
    };
    struct Piece {
        Kind kind;
        Bytes bytes;
    };

    // Appends `length` bytes and returns what they completed, in line order.
    std::vector<Piece> Feed(const std::uint8_t* bytes, std::size_t length);

    // Gives up on a frame that stopped arriving: its start pair counts as
    // garbage and the bytes held after it are scanned again.
    std::vector<Piece> Flush();

    // Forgets the bytes held for an unfinished frame and returns them.
    Bytes Reset();

    // How many more bytes it needs before it can complete anything: the rest
    // of the frame whose header it holds, else a shortest frame's worth.
    std::size_t Missing() const;

    // True while bytes are held that may still become a frame.
    bool Pending() const { return !held_.empty(); }

  private:
    void Scan(std::vector<Piece>& out);

    Bytes held_;
};

// The payload of a frame the decoder reported as kFrame or kBadCrc.
Bytes PayloadOf(const Bytes& frame);

}  // namespace qx17::sim
