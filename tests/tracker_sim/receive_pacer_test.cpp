// The receiving pace, on a clock of its own: when each byte read arrives.
#include <gtest/gtest.h>

#include <vector>

#include "tools/tracker_sim/receive_pacer.h"

namespace qx17::sim {
namespace {

using Clock = ReceivePacer::Clock;

TEST(ReceivePacer, GivesEachByteOutWhenTheLineWouldHaveDeliveredIt) {
    struct Chunk {
        long read_at;  // byte times after t0
        std::size_t length;
        bool paced;
    };
    const struct {
        const char* name;
        std::vector<Chunk> chunks;
        long at;  // byte times after t0
        std::size_t arrived;
    } cases[] = {
        {"none of a chunk before its first byte time", {{0, 10, true}}, 0, 0},
        {"one a byte time", {{0, 10, true}}, 4, 4},
        {"a chunk read while the line is idle starts then", {{0, 2, true}, {5, 3, true}}, 7, 4},
        {"a chunk read while the line is busy waits", {{0, 10, true}, {1, 3, true}}, 12, 12},
        {"unpaced: at once", {{0, 10, false}}, 0, 10},
        {"unpaced behind paced bytes waits for them", {{0, 4, true}, {1, 6, false}}, 3, 3},
        {"... and comes with the last of them", {{0, 4, true}, {1, 6, false}}, 4, 10},
    };
    const Clock::time_point t0 = Clock::now();
    const auto at = [t0](long byte_times) { return t0 + kByteTime * byte_times; };
    const std::uint8_t bytes[16] = {};
    for (const auto& c : cases) {
        ReceivePacer pacer;
        std::size_t held = 0;
        for (const Chunk& chunk : c.chunks) {
            pacer.Add(bytes, chunk.length, at(chunk.read_at), chunk.paced);
            held += chunk.length;
        }
        ASSERT_EQ(pacer.ArrivalOf(held), pacer.ArrivalOf(held + 5)) << c.name;  // the last one
        EXPECT_EQ(pacer.TakeArrived(at(c.at)).size(), c.arrived) << c.name;
        EXPECT_EQ(pacer.Reset().size(), held - c.arrived) << c.name;
        EXPECT_TRUE(pacer.Empty()) << c.name;
    }
}

TEST(ReceivePacer, TellsWhenTheNthByteArrives) {
    ReceivePacer pacer;
    const Clock::time_point t0 = Clock::now();
    const std::uint8_t bytes[8] = {};
    EXPECT_FALSE(pacer.ArrivalOf(1));
    pacer.Add(bytes, 3, t0, true);
    pacer.Add(bytes, 5, t0, true);  // behind the first three
    EXPECT_EQ(pacer.ArrivalOf(1), t0 + kByteTime);
    EXPECT_EQ(pacer.ArrivalOf(6), t0 + kByteTime * 6);
    pacer.TakeArrived(t0 + kByteTime * 4);
    EXPECT_EQ(pacer.ArrivalOf(1), t0 + kByteTime * 5);
    EXPECT_EQ(pacer.ArrivalOf(100), t0 + kByteTime * 8);
}

}  // namespace
}  // namespace qx17::sim
