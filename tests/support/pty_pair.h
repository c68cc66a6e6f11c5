// Test helper: a pseudo-terminal pair in raw mode, as a user's serial device
// is seen through the kernel's tty layer. The test plays the device on the
// master side; the code under test opens SlavePath().
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qx17::test {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
  public:
    PtyPair();  // aborts the test program when no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slave_path_; }
    int Master() const { return master_; }

    void Write(const Bytes& bytes);
    // Reads until `count` bytes have come or `timeout` has passed.
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives until the line has been quiet for `quiet`.
    Bytes ReadUntilQuiet(std::chrono::milliseconds quiet);

    // Closes the master side: the slave side sees a hang-up.
    void CloseMaster();

  private:
    int master_ = -1;
    int slave_ = -1;  // held open so the master never sees a hang-up early
    std::string slave_path_;
};

// `count` bytes of a repeating, recognisable pattern.
Bytes Pattern(std::size_t count, std::uint8_t seed = 0);

}  // namespace qx17::test
