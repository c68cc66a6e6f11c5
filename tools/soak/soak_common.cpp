#include "tools/soak/soak_common.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>

#include "tools/tracker_sim/factory_memory.h"

namespace qx17::soak {

void Print(const Report& report) {
    std::printf("%-26s | %-44s | %-58s | %s\n", report.part.c_str(), report.tried.c_str(),
                report.saw.c_str(), report.passed ? "pass" : "FAIL");
    std::fflush(stdout);
}

long ResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

ConfigFolder::ConfigFolder() {
    char pattern[] = "/tmp/qx17-soak-XXXXXX";
    path_ = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
}

ConfigFolder::~ConfigFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::unique_ptr<sim::VirtualTracker> PlugTracker(const ConfigFolder& config, int com,
                                                 const std::string& id) {
    sim::Options options;
    options.tracker_id = id;
    options.announce = false;
    options.link_port = com;
    options.link_dir = config.Ports();
    return std::make_unique<sim::VirtualTracker>(options);
}

FieldValues SoakProfile() {
    FieldValues v;
    v.APN = "soak.apn";
    v.APN_NAME = "user";
    v.APN_PW = "secret";
    v.DNS = "9.9.9.9";
    v.GPRS_TM = "60";
    v.ID = "11112222333344";
    v.IP = "198.51.100.9";
    v.Port = "7000";
    v.GPRS_EN = true;
    v.GPRS_TYPE = 1;
    v.SMS_OBJ = "+4915100000";
    v.SMS_INT = "30";
    v.PW = "4321";
    v.Listen = "5550100";
    v.SOS_NO = "+112";
    v.LOG_INT = "120";
    v.TimeZone = "-60";
    v.SleepMode = "15";
    v.CallReply = 1;
    return v;
}

const char* Name(Fault fault) {
    static const char* const names[] = {"none",  "drop",  "corrupt", "split",  "nack",
                                        "noise", "delay", "flip",    "hang-up"};
    return names[static_cast<int>(fault)];
}

void Arm(sim::VirtualTracker& tracker, Fault fault) {
    using std::chrono::milliseconds;
    tracker.SetReplyDelay(milliseconds(0));
    switch (fault) {
        case Fault::kDrop:
            tracker.DropNextReply();
            break;
        case Fault::kCorrupt:
            tracker.CorruptNextReply();
            break;
        case Fault::kSplit:
            tracker.SplitNextReply(milliseconds(150));
            break;
        case Fault::kNack:
            tracker.NackNextWrite();
            break;
        case Fault::kNoise:
            tracker.NoiseBeforeNextReply({0x00, 0x13, 0x7F});
            break;
        case Fault::kDelay:
            tracker.SetReplyDelay(milliseconds(150));
            break;
        case Fault::kFlip:
            tracker.FlipNextWrite();
            break;
        case Fault::kHangUp:
            tracker.SetReplyDelay(milliseconds(100));
            break;
        default:
            break;
    }
}

std::string FaultCounts::Text(bool with_flip) const {
    std::string text;
    for (std::size_t f = 0; f < static_cast<std::size_t>(Fault::kCount); ++f) {
        if (!with_flip && static_cast<Fault>(f) == Fault::kFlip) {
            continue;
        }
        text += std::string(text.empty() ? "" : " ") + Name(static_cast<Fault>(f)) + ":" +
                std::to_string(counts_[f]);
    }
    return text;
}

void AnnounceNext(SoakPort& port, const std::string& id, std::mt19937& random, FaultCounts& tried) {
    sim::VirtualTracker& tracker = *port.tracker;
    tracker.WriteMemory(0, sim::FactoryMemory(id));
    port.fault = static_cast<Fault>(random() % static_cast<unsigned>(Fault::kCount));
    tried.Add(port.fault);
    Arm(tracker, port.fault);
    port.log_start = tracker.LogSize();
    port.waiting = true;
    tracker.Announce();
}

void PullIfDue(SoakPort& port) {
    if (port.waiting && port.fault == Fault::kHangUp && !port.pulled &&
        port.tracker->Count(sim::Is(sim::Event::kWrite), port.log_start) >= 1) {
        port.tracker->HangUp();
        port.pulled = true;
    }
}

}  // namespace qx17::soak
