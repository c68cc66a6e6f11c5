// The byte stream the serial benchmark moves, and the checker that proves a
// transfer arrived whole: every byte, in order, nothing missing, nothing extra.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx17::bench {

// Byte i of the stream is At(i)[0], pseudo-random with a period of kPeriod,
// which is prime, so no
// chunk or block size a library uses divides it: a dropped, repeated or
// swapped chunk always shows as a mismatch. The table is stored with a copy of
// its start appended, so any run of up to kMaxRun bytes is contiguous.
class ByteStream {
  public:
    static constexpr std::size_t kPeriod = 1000003;
    static constexpr std::size_t kMaxRun = 65536;

    ByteStream();

    // The `length` (at most kMaxRun) stream bytes from position `position` on.
    const std::uint8_t* At(std::uint64_t position) const {
        return table_.data() + position % kPeriod;
    }

  private:
    std::vector<std::uint8_t> table_;
};

// Compares received bytes, as they come in pieces of any size, with the
// stream. The first fault is kept; after it every call fails.
class StreamChecker {
  public:
    StreamChecker(const ByteStream& stream, std::uint64_t expected);

    // False on a mismatch or on bytes beyond the expected count.
    bool Take(const std::uint8_t* bytes, std::size_t count);

    std::uint64_t Received() const { return received_; }
    std::uint64_t Expected() const { return expected_; }
    bool Complete() const { return fault_.empty() && received_ == expected_; }
    bool Failed() const { return !fault_.empty(); }
    // What went wrong first; empty while nothing has.
    const std::string& Fault() const { return fault_; }

  private:
    const ByteStream& stream_;
    std::uint64_t expected_;
    std::uint64_t received_ = 0;
    std::string fault_;
};

// The median of `values` (the mean of the middle two for an even count); 0
// for none.
double Median(std::vector<double> values);

}  // namespace qx17::bench
