// One tracker's way through a production line, as the tracker sees it: the
// four write-all ranges stored by acknowledged writes, then a read that takes
// them back. The tracker keeps its own copy of the ranges rather than the
// tool's table, as it keeps its own frame code.
#pragma once

#include <bitset>
#include <cstddef>

namespace qx17::sim {

// The ranges a write-all stores: addresses 2-5, 16-151, 168-189 and 212-247.
struct AddressRange {
    std::size_t first;
    std::size_t count;
};
inline constexpr AddressRange kWriteAllRanges[4] = {{2, 4}, {16, 136}, {168, 22}, {212, 36}};
// A read-back must cover addresses 0 to this one (inclusive).
inline constexpr std::size_t kLastWrittenAddress = 247;

class LineCycle {
  public:
    // A write whose bytes were stored as sent and acknowledged with status 1.
    void Stored(std::size_t address, std::size_t count);
    // Bytes overwritten by a write that does not count (one stored wrong).
    void Overwritten(std::size_t address, std::size_t count);
    // The memory went back to the factory's ("Default"): nothing written counts.
    void Forget() { stored_.reset(); }
    // Every byte of the four ranges has been stored.
    bool WriteAllStored() const;
    // A read of `count` bytes from `address` whose reply was sent whole:
    // true when it reads the write-all back, which completes the cycle.
    bool ReadBack(std::size_t address, std::size_t count) const;

  private:
    std::bitset<kLastWrittenAddress + 1> stored_;
};

}  // namespace qx17::sim
