// Shared pieces of the soak: a random source, the process's resident memory,
// a temporary configuration folder, trackers linked as COM ports in it, and
// the row each part reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "params/field_values.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17::soak {

// One line of the soak's table.
struct Report {
    std::string part;
    std::string tried;
    std::string saw;
    bool passed = false;
};
void Print(const Report& report);

// Resident memory now, in KiB.
long ResidentKib();

// A configuration folder of its own (XDG_CONFIG_HOME points there), removed
// at the end.
class ConfigFolder {
  public:
    ConfigFolder();
    ~ConfigFolder();
    const std::filesystem::path& Path() const { return path_; }
    std::string Ports() const { return (path_ / "Kestrowind/QX17EEP/ports").string(); }

  private:
    std::filesystem::path path_;
};

// A virtual tracker linked as COMn; a new one takes the link over, as a
// tracker plugged in where another was pulled.
std::unique_ptr<sim::VirtualTracker> PlugTracker(const ConfigFolder& config, int com,
                                                 const std::string& id);

// The profile the soak writes.
FieldValues SoakProfile();

// The faults a tracker is given, one at a time.
enum class Fault { kNone, kDrop, kCorrupt, kSplit, kNack, kNoise, kDelay, kFlip, kHangUp, kCount };
const char* Name(Fault fault);

// Arms `fault` on the tracker for its next exchange; the persistent ones
// (the reply delay) are set afresh. A hang-up is the caller's to do, at the
// moment it chooses; its replies are slowed so that the moment falls inside.
void Arm(sim::VirtualTracker& tracker, Fault fault);

// How often each fault was tried: "none:12 drop:9 ...", `last` excluded.
class FaultCounts {
  public:
    void Add(Fault fault) { ++counts_[static_cast<std::size_t>(fault)]; }
    std::string Text(bool with_flip) const;

  private:
    std::size_t counts_[static_cast<std::size_t>(Fault::kCount)] = {};
};

// One port of a line under soak: its tracker (replaced when pulled out),
// the fault it was given, and how far its rows and log have been looked at.
struct SoakPort {
    int com = 0;
    std::unique_ptr<sim::VirtualTracker> tracker;
    Fault fault = Fault::kNone;
    std::size_t rows_seen = 0;
    bool waiting = false;  // a tracker announced, its row not yet seen
    std::size_t log_start = 0;
    bool pulled = false;
};

// The port's next tracker: factory memory with `id`, a fault drawn from
// `random` (counted in `tried`) armed, and announced.
void AnnounceNext(SoakPort& port, const std::string& id, std::mt19937& random, FaultCounts& tried);

// A tracker given the hang-up fault is pulled out once the first write of
// its exchange has reached it.
void PullIfDue(SoakPort& port);

using Clock = std::chrono::steady_clock;

// The round after which resident memory is taken as the baseline: the 100th,
// or the first tenth of a shorter run.
constexpr int BaselineRound(int rounds) {
    return rounds >= 1000 ? 100 : rounds / 10;
}

}  // namespace qx17::soak
