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

using Clock = std::chrono::steady_clock;

}  // namespace qx17::soak
