#include "tools/tracker_sim/line_cycle.h"

#include <algorithm>

namespace qx17::sim {

namespace {

template <std::size_t N>
void Mark(std::bitset<N>& bits, std::size_t address, std::size_t count, bool value) {
    const std::size_t end = std::min(address + count, N);
    for (std::size_t a = address; a < end; ++a) {
        bits.set(a, value);
    }
}

}  // namespace

void LineCycle::Stored(std::size_t address, std::size_t count) {
    Mark(stored_, address, count, true);
}

void LineCycle::Overwritten(std::size_t address, std::size_t count) {
    Mark(stored_, address, count, false);
}

bool LineCycle::WriteAllStored() const {
    return std::all_of(std::begin(kWriteAllRanges), std::end(kWriteAllRanges),
                       [this](const AddressRange& range) {
                           for (std::size_t a = range.first; a < range.first + range.count; ++a) {
                               if (!stored_.test(a)) {
                                   return false;
                               }
                           }
                           return true;
                       });
}

bool LineCycle::ReadBack(std::size_t address, std::size_t count) const {
    return address == 0 && count > kLastWrittenAddress && WriteAllStored();
}

}  // namespace qx17::sim
