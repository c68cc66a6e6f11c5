// One query round of the record per interval, whatever the number of
// viewers: its figures as JSON and as metrics, kept as the latest snapshot,
// which every request and every stream reads. When the record cannot be
// reached the last figures stay, told as away since then; the feed tries
// again every interval and recovers by itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ctl/record/record_summary.h"
#include "ctl/record/shared_record.h"
#include "ctl/serve/summary_text.h"

namespace qx17::ctl {

struct FeedOptions {
    std::string connection;  // the ODBC connection string
    RecordTimes times;
    std::chrono::milliseconds interval{1000};
    std::optional<long> plan_per_hour;
    int day_hour = 0;  // where a day begins, in this computer's time zone
    int day_minute = 0;
    std::string version;
    // Told when the record goes away or comes back, in words.
    std::function<void(const std::string&)> say;
};

struct Snapshot {
    std::uint64_t id = 0;  // counts up, one a round
    std::string json;
    std::string metrics;
    RecordState record;
    RecordSummary summary;
};

class SummaryFeed {
  public:
    // Starts the rounds; the first one is done before it returns.
    explicit SummaryFeed(FeedOptions options);
    ~SummaryFeed();  // stops them

    std::shared_ptr<const Snapshot> Latest();
    // The first snapshot newer than `id`, or the latest when `wait` passes
    // or the feed stops first.
    std::shared_ptr<const Snapshot> Newer(std::uint64_t id, std::chrono::milliseconds wait);
    // Ends the rounds and wakes everyone who waits.
    void Stop();
    bool Stopped();

  private:
    void Round();
    void Run(std::stop_token stop);

    const FeedOptions options_;
    std::unique_ptr<odbc::Connection> db_;  // on the feed's thread
    SummaryReader reader_;
    RecordSummary last_summary_;
    RecordState record_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::shared_ptr<const Snapshot> latest_;
    bool stopped_ = false;
    std::jthread thread_;
};

}  // namespace qx17::ctl
