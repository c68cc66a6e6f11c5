// What makes a tracker on a scripted line done, and the id of the next one.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/tracker_sim/factory_memory.h"
#include "tools/tracker_sim/line_cycle.h"

namespace qx17::sim {
namespace {

TEST(NextTrackerId, IsOneMoreInAsManyDigits) {
    const struct {
        const char* id;
        std::optional<std::string> next;
    } cases[] = {
        {"0", "1"},         {"0099", "0100"},     {"35712001234567", "35712001234568"},
        {"19", "20"},       {"9", std::nullopt},  {"99999999999999", std::nullopt},
        {"", std::nullopt}, {"1x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NextTrackerId(c.id), c.next) << c.id;
    }
}

// Writes stored and acknowledged (a negative count overwrites, as a flipped
// write), then a read: does it read a complete write-all back?
TEST(LineCycle, ReadBackNeedsEveryWriteAllByteStoredFirst) {
    struct Write {
        std::size_t address;
        long count;  // < 0: overwritten by a write that does not count
    };
    const std::vector<Write> all = {{2, 4}, {16, 136}, {168, 22}, {212, 36}};
    const struct {
        const char* name;
        std::vector<Write> writes;
        std::size_t read_address, read_count;
        bool read_back;
    } cases[] = {
        {"the four frames, read-all", all, 0, 256, true},
        {"read of exactly 0..247", all, 0, 248, true},
        {"read stops at 246", all, 0, 247, false},
        {"read from 2", all, 2, 300, false},
        {"one write of 0..247", {{0, 248}}, 0, 256, true},
        {"last byte missing", {{2, 4}, {16, 136}, {168, 22}, {212, 35}}, 0, 256, false},
        {"password missing", {{16, 136}, {168, 22}, {212, 36}}, 0, 256, false},
        {"gaps are not needed", {{2, 4}, {16, 136}, {168, 22}, {212, 36}, {6, -10}}, 0, 256, true},
        {"a flipped write", {{2, 4}, {16, 136}, {168, 22}, {212, 36}, {16, -136}}, 0, 256, false},
        {"flipped, then written again",
         {{16, -136}, {2, 4}, {16, 136}, {168, 22}, {212, 36}},
         0,
         256,
         true},
        {"nothing written", {}, 0, 256, false},
    };
    for (const auto& c : cases) {
        LineCycle cycle;
        for (const Write& w : c.writes) {
            if (w.count >= 0) {
                cycle.Stored(w.address, static_cast<std::size_t>(w.count));
            } else {
                cycle.Overwritten(w.address, static_cast<std::size_t>(-w.count));
            }
        }
        EXPECT_EQ(cycle.ReadBack(c.read_address, c.read_count), c.read_back) << c.name;
        cycle.Forget();  // "Default"
        EXPECT_FALSE(cycle.ReadBack(c.read_address, c.read_count)) << c.name;
    }
}

}  // namespace
}  // namespace qx17::sim
