#include <sys/resource.h>

#include "tools/bench/bench_link.h"

namespace qx17::bench {

namespace {

double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

}  // namespace

void Meter::Start() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    user_started_ = Seconds(usage.ru_utime);
    system_started_ = Seconds(usage.ru_stime);
    switches_started_ = usage.ru_nvcsw + usage.ru_nivcsw;
    started_ = Clock::now();
}

void Meter::Stop() {
    const Clock::time_point stopped = Clock::now();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    wall_ = std::chrono::duration<double>(stopped - started_).count();
    user_ = Seconds(usage.ru_utime) - user_started_;
    system_ = Seconds(usage.ru_stime) - system_started_;
    switches_ = usage.ru_nvcsw + usage.ru_nivcsw - switches_started_;
}

}  // namespace qx17::bench
