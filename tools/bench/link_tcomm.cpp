// The editor's own serial component, used as the window will use it: the
// form's property values, the five events, and a main thread that sleeps
// until a notice is queued and then dispatches every queued notice.
#include <functional>
#include <utility>

#include "serial/comms_error.h"
#include "serial/tcomm.h"
#include "tools/bench/bench_link.h"

namespace qx17::bench {

namespace {

class TCommLink final : public LinkUnderTest {
  public:
    std::string Name() const override { return "TComm (qx17_serial)"; }
    std::string DelayMeaning() const override {
        return "write -> OnReceiveData, minus the 100 ms interval";
    }
    double ReadIntervalMs() const override {
        return comm_ ? static_cast<double>(comm_->ReadIntervalTimeout()) : 100.0;
    }

    bool Open(const std::string& slave_path, std::string& problem) override {
        comm_ = std::make_unique<TComm>(nullptr);
        ApplyComm1FormValues(*comm_);
        comm_->SetCommName(slave_path);
        hung_up_ = false;
        line_errors_ = 0;
        send_empty_ = 0;
        comm_->OnReceiveData = [this](TComm*, const std::uint8_t* buffer, std::uint16_t length) {
            if (on_data_) {
                on_data_(buffer, length);
            }
        };
        comm_->OnRequestHangup = [this](TComm*) { hung_up_ = true; };
        comm_->OnReceiveError = [this](TComm*, std::uint32_t errors) { line_errors_ |= errors; };
        comm_->OnSendDataEmpty = [this](TComm*) { ++send_empty_; };
        try {
            comm_->OpenPort();
        } catch (const ECommsError& e) {
            problem = std::string("OpenPort: ") + e.what();
            comm_.reset();
            return false;
        }
        // The writer reports its empty queue once it runs.
        return Pump([this] { return send_empty_ > 0; }, [this] { return send_empty_; }, problem);
    }

    void Close() override {
        on_data_ = nullptr;
        comm_.reset();  // closes the port and ends both threads
    }

    bool Receive(DeviceProcess& device, StreamChecker& checker, Meter& meter,
                 std::string& problem) override {
        on_data_ = [&checker](const std::uint8_t* buffer, std::uint16_t length) {
            checker.Take(buffer, length);
        };
        meter.Start();
        device.StartFeed(checker.Expected());
        const bool pumped = Pump([&checker] { return checker.Complete() || checker.Failed(); },
                                 [&checker] { return checker.Received(); }, problem);
        meter.Stop();
        on_data_ = nullptr;
        std::string device_problem;
        const bool fed = device.FinishFeed(device_problem);
        if (checker.Failed()) {
            problem = "received stream: " + checker.Fault();
            return false;
        }
        if (!fed && pumped) {
            problem = device_problem;
        }
        return pumped && fed;
    }

    bool Send(DeviceProcess& device, const ByteStream& stream, std::uint64_t count, Meter& meter,
              std::string& problem) override {
        meter.Start();
        device.StartDrain(count);
        std::uint64_t queued = 0;
        bool ok = true;
        while (ok && queued < count) {
            // A window's worth of blocks, then on when the writer has run dry.
            // An empty notice may come while the window is being queued, so at
            // most two windows are ever outstanding.
            const int empty_before = send_empty_;
            const std::uint64_t window_end = std::min(count, queued + kSendWindow);
            while (queued < window_end) {
                const auto length =
                    static_cast<std::uint16_t>(std::min<std::uint64_t>(kAppBlock, count - queued));
                if (!comm_->SendData(stream.At(queued), length)) {
                    problem = "SendData refused a block";
                    ok = false;
                    break;
                }
                queued += length;
            }
            ok = ok && Pump([&] { return send_empty_ != empty_before; },
                            [this] { return send_empty_; }, problem);
        }
        std::string device_problem;
        const bool drained = device.FinishDrain(device_problem);
        meter.Stop();
        if (ok && !drained) {
            problem = device_problem;
        }
        return ok && drained;
    }

    std::optional<Clock::time_point> ReceiveFrame(DeviceProcess& device,
                                                  const std::vector<std::uint8_t>& frame,
                                                  std::string& problem) override {
        std::vector<std::uint8_t> got;
        std::optional<Clock::time_point> arrived;
        on_data_ = [&](const std::uint8_t* buffer, std::uint16_t length) {
            got.insert(got.end(), buffer, buffer + length);
            if (!arrived && got.size() >= frame.size()) {
                arrived = Clock::now();
            }
        };
        device.StartFrame(frame);
        const bool pumped =
            Pump([&] { return arrived.has_value(); }, [&] { return got.size(); }, problem);
        on_data_ = nullptr;
        if (!pumped) {
            return std::nullopt;
        }
        if (got != frame) {
            problem = "the frame arrived altered";
            return std::nullopt;
        }
        return arrived;
    }

  private:
    // Dispatches notices until `done` holds. Fails on a hang-up, a line error,
    // or when `progress` has not changed for kIdleLimit.
    template <typename Done, typename Progress>
    bool Pump(Done done, Progress progress, std::string& problem) {
        auto last = progress();
        Clock::time_point last_change = Clock::now();
        while (!done()) {
            if (hung_up_) {
                problem = "the component asked to hang up";
                return false;
            }
            if (line_errors_ != 0) {
                problem = "the component reported line errors " + std::to_string(line_errors_);
                return false;
            }
            if (comm_->Notices().WaitNonEmpty(std::chrono::milliseconds(100))) {
                comm_->DispatchNotices();
            }
            const auto now_progress = progress();
            const Clock::time_point now = Clock::now();
            if (now_progress != last) {
                last = now_progress;
                last_change = now;
            } else if (now - last_change > kIdleLimit) {
                problem = "no progress for " + std::to_string(kIdleLimit.count()) + " s";
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<TComm> comm_;
    std::function<void(const std::uint8_t*, std::uint16_t)> on_data_;
    bool hung_up_ = false;
    std::uint32_t line_errors_ = 0;
    int send_empty_ = 0;
};

}  // namespace

std::unique_ptr<LinkUnderTest> MakeTCommLink() {
    return std::make_unique<TCommLink>();
}

}  // namespace qx17::bench
