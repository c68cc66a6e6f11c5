#include "ctl/record/record_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "ctl/line/stop_request.h"
#include "ctl/record/outbox.h"

namespace qx17::ctl {

namespace {

using namespace std::chrono_literals;

std::atomic<int> threads_left{0};

constexpr const char* kStopped = "the line was stopped before the record answered";

bool StoppedNow() {
    return CurrentStopLevel() == StopLevel::kNow;
}

// Where the record's notices go while someone listens.
class Notices {
  public:
    explicit Notices(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
    void Say(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (sink_) {
            sink_(text);
        }
    }
    void Mute() {
        std::lock_guard lock(mutex_);
        sink_ = nullptr;
    }

  private:
    std::mutex mutex_;
    std::function<void(const std::string&)> sink_;
};

}  // namespace

struct RecordWorker::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void(SharedRecord&)>> calls;
    bool closing = false;
    bool ended = false;
    bool abandoned = false;                // left to end by itself: nobody joins it
    std::unique_ptr<SharedRecord> record;  // made and used on the thread
    std::shared_ptr<Notices> notices;

    // Runs the calls until closed.
    static void Run(const std::shared_ptr<State>& state, const RecordOptions& options,
                    const std::shared_ptr<std::promise<std::string>>& opened,
                    const std::shared_ptr<RecordFailure>& failure) {
        RecordOptions mine = options;
        mine.notice = [notices = state->notices](const std::string& text) { notices->Say(text); };
        std::string error;
        std::unique_ptr<SharedRecord> record = SharedRecord::Open(mine, error, *failure);
        {
            std::lock_guard lock(state->mutex);
            state->record = std::move(record);
        }
        opened->set_value(error);
        for (;;) {
            std::function<void(SharedRecord&)> call;
            {
                std::unique_lock lock(state->mutex);
                state->wake.wait(lock, [&] { return state->closing || !state->calls.empty(); });
                if (state->calls.empty()) {
                    break;
                }
                call = std::move(state->calls.front());
                state->calls.pop_front();
            }
            if (state->record) {
                call(*state->record);
            }
        }
        std::unique_ptr<SharedRecord> done;
        {
            std::lock_guard lock(state->mutex);
            done = std::move(state->record);
        }
        done.reset();  // the connection ends here, on the thread that used it
        std::lock_guard lock(state->mutex);
        state->ended = true;
        if (state->abandoned) {
            --threads_left;
        }
        state->wake.notify_all();
    }

    // `work` on the thread; nothing when the line was stopped at once before
    // it answered.
    template <typename Result>
    std::optional<Result> Call(std::function<Result(SharedRecord&)> work) {
        auto promise = std::make_shared<std::promise<Result>>();
        std::future<Result> future = promise->get_future();
        {
            std::lock_guard lock(mutex);
            calls.push_back([promise, work = std::move(work)](SharedRecord& on) {
                try {
                    promise->set_value(work(on));
                } catch (...) {
                    promise->set_exception(std::current_exception());
                }
            });
        }
        wake.notify_all();
        while (future.wait_for(100ms) != std::future_status::ready) {
            if (StoppedNow()) {
                return std::nullopt;
            }
        }
        return future.get();
    }
};

int RecordThreadsLeft() {
    return threads_left.load();
}

RecordWorker::RecordWorker(std::shared_ptr<State> state, std::thread thread)
    : state_(std::move(state)), thread_(std::move(thread)) {}

std::unique_ptr<RecordWorker> RecordWorker::Open(const RecordOptions& options, std::string& error,
                                                 RecordFailure& failure) {
    auto state = std::make_shared<State>();
    state->notices = std::make_shared<Notices>(options.notice);
    auto opened = std::make_shared<std::promise<std::string>>();
    auto kind = std::make_shared<RecordFailure>(RecordFailure::kUnreachable);
    std::future<std::string> result = opened->get_future();
    // The destructor closes the thread and joins it, unless the line was
    // stopped at once while a call held it.
    std::unique_ptr<RecordWorker> worker(new RecordWorker(
        state,
        std::thread([state, options, opened, kind] { State::Run(state, options, opened, kind); })));
    while (result.wait_for(100ms) != std::future_status::ready) {
        if (StoppedNow()) {
            error = kStopped;
            failure = RecordFailure::kUnreachable;
            return nullptr;
        }
    }
    error = result.get();
    if (!error.empty()) {
        failure = *kind;
        return nullptr;
    }
    return worker;
}

RecordWorker::~RecordWorker() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    state.closing = true;
    state.wake.notify_all();
    const auto since = std::chrono::steady_clock::now();
    while (!state.wake.wait_for(lock, 100ms, [&] { return state.ended; })) {
        if (StoppedNow() && std::chrono::steady_clock::now() - since > 200ms) {
            // A call still holds the thread: it ends by itself when the
            // call does, and tells no one.
            state.notices->Mute();
            state.abandoned = true;
            ++threads_left;
            lock.unlock();
            thread_.detach();
            return;
        }
    }
    lock.unlock();
    thread_.join();  // its last clean-up (the driver's) done before anything goes on
}

bool RecordWorker::GiveIds(const std::string& start, bool new_series, std::string& error) {
    // The record's refusal crosses as data, and is thrown again here.
    struct Given {
        bool ok = false;
        std::string why;
        std::optional<RecordFailure> unavailable;
    };
    const auto given = state_->Call<Given>([=](SharedRecord& record) {
        Given g;
        try {
            g.ok = record.GiveIds(start, new_series, g.why);
        } catch (const RecordUnavailable& e) {
            g.why = e.what();
            g.unavailable = e.Failure();
        }
        return g;
    });
    if (!given) {
        throw RecordUnavailable(kStopped, RecordFailure::kUnreachable);
    }
    if (given->unavailable) {
        throw RecordUnavailable(given->why, *given->unavailable);
    }
    error = given->why;
    return given->ok;
}

bool RecordWorker::HasFreeIds(std::size_t n) {
    return state_->Call<bool>([n](SharedRecord& record) { return record.HasFreeIds(n); })
        .value_or(true);
}

LineRecord::ClaimResult RecordWorker::Claim(LogRow& row, std::string& claim, std::string& error) {
    struct Claimed {
        ClaimResult result;
        LogRow row;
        std::string claim, error;
    };
    const auto claimed = state_->Call<Claimed>([row](SharedRecord& record) {
        Claimed c{ClaimResult::kFailed, row, "", ""};
        c.result = record.Claim(c.row, c.claim, c.error);
        return c;
    });
    if (!claimed) {
        error = kStopped;
        return ClaimResult::kUnavailable;
    }
    row = claimed->row;
    claim = claimed->claim;
    error = claimed->error;
    return claimed->result;
}

bool RecordWorker::Append(const LogRow& row, const std::string& claim, std::string& error) {
    // One key for the row, whichever way it reaches the record.
    LogRow keyed = row;
    if (keyed.key.empty()) {
        keyed.key = NewRowKey();
    }
    const auto appended =
        state_->Call<std::pair<bool, std::string>>([keyed, claim](SharedRecord& record) {
            std::string why;
            const bool ok = record.Append(keyed, claim, why);
            return std::make_pair(ok, why);
        });
    if (appended) {
        error = appended->second;
        return appended->first;
    }
    // The record's thread is held by a call: the row waits on the disk (the
    // outbox's own lock, no network), and should the held call send it
    // after all, its key keeps it once.
    return state_->record->KeepForLater(keyed, claim, error);
}

bool RecordWorker::Reachable(std::string& why) {
    const auto reachable = state_->Call<std::pair<bool, std::string>>([](SharedRecord& record) {
        std::string text;
        const bool ok = record.Reachable(text);
        return std::make_pair(ok, text);
    });
    if (!reachable) {
        why = kStopped;
        return false;
    }
    why = reachable->second;
    return reachable->first;
}

long RecordWorker::RowsWaiting() {
    // Not a call on the thread: the outbox counts its rows itself.
    std::lock_guard lock(state_->mutex);
    return state_->record ? state_->record->RowsWaiting() : 0;
}

bool RecordWorker::Finish(std::string& error) {
    const auto finished = state_->Call<std::pair<bool, std::string>>([](SharedRecord& record) {
        std::string why;
        const bool ok = record.Finish(why);
        return std::make_pair(ok, why);
    });
    if (finished) {
        error = finished->second;
        return finished->first;
    }
    const std::string waiting = state_->record->WaitingOnDisk();
    error = waiting + (waiting.empty() ? "" : " for the record, which did not answer; ") +
            "the next qx17ctl line of this station sends them";
    return waiting.empty();
}

}  // namespace qx17::ctl
