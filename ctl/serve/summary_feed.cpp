#include "ctl/serve/summary_feed.h"

#include "ctl/line/line_log.h"
#include "ctl/record/odbc.h"

namespace qx17::ctl {

SummaryFeed::SummaryFeed(FeedOptions options) : options_(std::move(options)) {
    Round();
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

SummaryFeed::~SummaryFeed() {
    Stop();
}

void SummaryFeed::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    thread_.request_stop();
    changed_.notify_all();
}

bool SummaryFeed::Stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
}

std::shared_ptr<const Snapshot> SummaryFeed::Latest() {
    std::lock_guard lock(mutex_);
    return latest_;
}

std::shared_ptr<const Snapshot> SummaryFeed::Newer(std::uint64_t id,
                                                   std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return stopped_ || (latest_ && latest_->id > id); });
    return latest_;
}

void SummaryFeed::Run(std::stop_token stop) {
    std::mutex sleeping;
    std::condition_variable_any wake;
    while (!stop.stop_requested()) {
        std::unique_lock lock(sleeping);
        wake.wait_for(lock, stop, options_.interval, [] { return false; });
        if (!stop.stop_requested()) {
            Round();
        }
    }
}

void SummaryFeed::Round() {
    const auto now = std::chrono::system_clock::now();
    const bool was_up = record_.up;
    const bool first = record_.since.empty();
    try {
        if (!db_) {
            db_ =
                std::make_unique<odbc::Connection>(WithTimes(options_.connection, options_.times));
            UseSnapshots(*db_);
        }
        const auto day_start = DayStart(now, options_.day_hour, options_.day_minute);
        record_.no_tables = !RecordHasTables(*db_);
        if (record_.no_tables) {
            last_summary_ = {};
            last_summary_.day_start = day_start;
        } else {
            last_summary_ = reader_.Read(*db_, day_start, now);
        }
        if (!was_up) {
            record_ = {true, record_.no_tables, UtcTimestamp(now), ""};
            if (!first && options_.say) {
                options_.say("the record answers again");
            }
        }
    } catch (const std::exception& e) {
        // The driver's reason on one line, as the page and the metrics show it.
        std::string why = e.what();
        for (char& c : why) {
            c = c == '\n' || c == '\t' || c == '\r' ? ' ' : c;
        }
        if (db_) {
            db_->Rollback();
        }
        db_.reset();
        if (was_up || first) {
            record_ = {false, false, UtcTimestamp(now), why};
            if (options_.say) {
                options_.say("the record cannot be reached (" + why +
                             "): trying again every interval");
            }
        } else {
            record_.why = why;
        }
    }
    auto snapshot = std::make_shared<Snapshot>();
    SummaryContext context;
    context.record = record_;
    context.plan_per_hour = options_.plan_per_hour;
    context.now = now;
    snapshot->json = SummaryJson(last_summary_, context);
    snapshot->metrics = MetricsText(last_summary_, record_, options_.version);
    snapshot->record = record_;
    snapshot->summary = last_summary_;
    {
        std::lock_guard lock(mutex_);
        snapshot->id = latest_ ? latest_->id + 1 : 1;
        latest_ = std::move(snapshot);
    }
    changed_.notify_all();
}

}  // namespace qx17::ctl
