// Test helper: puts a received chunk into RxBuffer the way the receive side
// does. In an AddressSanitizer build the unused tail of RxBuffer is poisoned,
// so any read past the received bytes fails the test at once.
#pragma once

#include <cstdint>
#include <vector>

namespace qx17::test {

void LoadChunk(const std::vector<std::uint8_t>& chunk);

// Unpoisons the whole of RxBuffer again (LoadChunk does this first by itself).
void ReleaseChunk();

}  // namespace qx17::test
