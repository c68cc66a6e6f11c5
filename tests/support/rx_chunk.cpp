#include "tests/support/rx_chunk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/link_buffers.h"

#if defined(__SANITIZE_ADDRESS__)
#define QX17_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX17_ASAN 1
#endif
#endif

#ifdef QX17_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace qx17::test {

void ReleaseChunk() {
#ifdef QX17_ASAN
    ASAN_UNPOISON_MEMORY_REGION(RxBuffer.data(), RxBuffer.size());
#endif
}

void LoadChunk(const std::vector<std::uint8_t>& chunk) {
    if (chunk.size() > RxBuffer.size()) {
        std::fprintf(stderr, "test chunk of %zu bytes does not fit RxBuffer\n", chunk.size());
        std::abort();
    }
    ReleaseChunk();
    std::fill(RxBuffer.begin(), RxBuffer.end(), std::uint8_t{0});
    std::copy(chunk.begin(), chunk.end(), RxBuffer.begin());
    RxLength = static_cast<std::uint16_t>(chunk.size());
#ifdef QX17_ASAN
    ASAN_POISON_MEMORY_REGION(RxBuffer.data() + chunk.size(), RxBuffer.size() - chunk.size());
#endif
}

}  // namespace qx17::test
