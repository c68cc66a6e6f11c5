// Test helpers: the tool's end of a virtual tracker's line, driven with plain
// POSIX calls, and byte strings written as hexadecimal text.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::sim::test {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

inline constexpr milliseconds kPatience{5000};  // generous: the machine is shared

// "AB AB 00 02"; aborts on malformed text, which is a fault of the test.
Bytes Hex(std::string_view text);

// Opens a slave path as the tool would (read/write, no controlling tty).
class SlaveLine {
  public:
    explicit SlaveLine(const std::string& path);
    ~SlaveLine();
    SlaveLine(const SlaveLine&) = delete;
    SlaveLine& operator=(const SlaveLine&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void Write(const Bytes& bytes);

    // Reads until `count` bytes have arrived or `timeout` has passed.
    Bytes Read(std::size_t count, milliseconds timeout = kPatience);

    // Reads one frame, from its start pair through its CRC, by its length
    // field. Bytes before the start pair go to `before`. nullopt on time-out.
    std::optional<Bytes> ReadFrame(milliseconds timeout = kPatience, Bytes* before = nullptr);

    // Everything that arrives within `window`: for checking that the line stays quiet.
    Bytes ReadFor(milliseconds window);

  private:
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    Bytes held_;
};

}  // namespace qx17::sim::test
