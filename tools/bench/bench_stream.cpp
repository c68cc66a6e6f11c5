#include "tools/bench/bench_stream.h"

#include <algorithm>
#include <cstring>

namespace qx17::bench {

ByteStream::ByteStream() : table_(kPeriod + kMaxRun) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < kPeriod; ++i) {
        // xorshift64*: no short cycles, every byte value occurs.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        table_[i] = static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1Du) >> 56);
    }
    std::copy_n(table_.begin(), kMaxRun, table_.begin() + kPeriod);
}

StreamChecker::StreamChecker(const ByteStream& stream, std::uint64_t expected)
    : stream_(stream), expected_(expected) {}

bool StreamChecker::Take(const std::uint8_t* bytes, std::size_t count) {
    if (!fault_.empty()) {
        return false;
    }
    if (count > expected_ - received_) {
        fault_ = std::to_string(received_ + count - expected_) + " byte(s) beyond the " +
                 std::to_string(expected_) + " expected";
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const std::size_t run = std::min(count - done, ByteStream::kMaxRun);
        const std::uint8_t* want = stream_.At(received_);
        if (std::memcmp(bytes + done, want, run) != 0) {
            const auto at = std::mismatch(bytes + done, bytes + done + run, want).first;
            const auto offset = static_cast<std::uint64_t>(at - (bytes + done));
            fault_ = "byte " + std::to_string(received_ + offset) + " differs from the stream";
            return false;
        }
        done += run;
        received_ += run;
    }
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

}  // namespace qx17::bench
