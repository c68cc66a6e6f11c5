// Feeds arbitrary chunks to FindFrame. The unused tail of RxBuffer is poisoned,
// so a read past the received bytes is reported like a read outside the
// buffer, and every result is compared with an independent reading of the
// chunk (a missed frame is as much a fault as a false one).
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"

namespace {

// An independent reading of a chunk: the index of the command byte of the
// frame at the first 0xAB 0xAB pair from start, if that frame lies wholly
// inside the chunk and its CRC matches; 0 otherwise.
std::uint16_t Expected(const std::uint8_t* chunk, std::size_t size, std::size_t start) {
    if (size <= 5)
        return 0;
    for (std::size_t i = start; i <= size - 5; ++i) {
        if (chunk[i] != 0xAB || chunk[i + 1] != 0xAB)
            continue;
        const std::size_t length = std::size_t{chunk[i + 2]} * 256 + chunk[i + 3];
        if (i + length + 6 > size)
            return 0;
        const std::uint16_t crc = qx17::LinkCrc(chunk + i, length + 4);
        const bool match =
            chunk[i + length + 4] == (crc >> 8) && chunk[i + length + 5] == (crc & 0xFF);
        return match ? static_cast<std::uint16_t>(i + 4) : 0;
    }
    return 0;
}

void Check(const std::uint8_t* chunk, std::size_t size, std::uint16_t start) {
    if (qx17::FindFrame(start) != Expected(chunk, size, start))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first two bytes choose the start index; the rest is the chunk.
    std::uint16_t start = 0;
    if (size >= 2) {
        start = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        data += 2;
        size -= 2;
    }
    size = std::min(size, qx17::RxBuffer.size());

    ASAN_UNPOISON_MEMORY_REGION(qx17::RxBuffer.data(), qx17::RxBuffer.size());
    std::copy(data, data + size, qx17::RxBuffer.begin());
    ASAN_POISON_MEMORY_REGION(qx17::RxBuffer.data() + size, qx17::RxBuffer.size() - size);
    qx17::RxLength = static_cast<std::uint16_t>(size);

    Check(data, size, 0);
    Check(data, size, start % 64);  // small starts reach real frames
    Check(data, size, start);
    return 0;
}
