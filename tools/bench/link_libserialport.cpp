// libserialport, used through its blocking calls as a plain C program on a
// thread of its own would: sp_blocking_read_next into the application's
// buffer, sp_blocking_write of each block.
#include <libserialport.h>

#include <array>
#include <cstring>

#include "tools/bench/bench_link.h"
#include "tools/bench/libserialport_on_pty.h"

namespace qx17::bench {

namespace {

constexpr unsigned kTimeoutMs =
    static_cast<unsigned>(std::chrono::milliseconds(kIdleLimit).count());

std::string Why(const char* call, int result) {
    std::string text = std::string(call) + " returned " + std::to_string(result);
    if (result == SP_ERR_FAIL) {
        char* message = sp_last_error_message();
        text += std::string(": ") + (message ? message : "?");
        sp_free_error_message(message);
    }
    return text;
}

class LibserialportLink final : public LinkUnderTest {
  public:
    ~LibserialportLink() override { Close(); }

    std::string Name() const override {
        return "libserialport " + std::string(sp_get_package_version_string());
    }
    std::string DelayMeaning() const override {
        return "write -> sp_blocking_read_next (no interval)";
    }

    bool Open(const std::string& slave_path, std::string& problem) override {
        if (!alias_.Bind(slave_path, problem)) {
            return false;
        }
        int result = sp_get_port_by_name(PortAlias::kName, &port_);
        if (result != SP_OK) {
            problem = Why("sp_get_port_by_name", result);
            port_ = nullptr;
            Close();
            return false;
        }
        result = sp_open(port_, SP_MODE_READ_WRITE);
        if (result != SP_OK) {
            problem = Why("sp_open", result);
            Close();
            return false;
        }
        open_ = true;
        const struct {
            const char* call;
            int result;
        } settings[] = {
            {"sp_set_baudrate", sp_set_baudrate(port_, 9600)},
            {"sp_set_bits", sp_set_bits(port_, 8)},
            {"sp_set_parity", sp_set_parity(port_, SP_PARITY_NONE)},
            {"sp_set_stopbits", sp_set_stopbits(port_, 1)},
            {"sp_set_flowcontrol", sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE)},
        };
        for (const auto& setting : settings) {
            if (setting.result != SP_OK) {
                problem = Why(setting.call, setting.result);
                Close();
                return false;
            }
        }
        return true;
    }

    void Close() override {
        if (port_) {
            if (open_) {
                sp_close(port_);
            }
            sp_free_port(port_);
            port_ = nullptr;
        }
        open_ = false;
        alias_.Unbind();
    }

    bool Receive(DeviceProcess& device, StreamChecker& checker, Meter& meter,
                 std::string& problem) override {
        std::array<std::uint8_t, kAppBlock> buffer;
        meter.Start();
        device.StartFeed(checker.Expected());
        bool ok = true;
        while (ok && !checker.Complete()) {
            const int n = sp_blocking_read_next(port_, buffer.data(), buffer.size(), kTimeoutMs);
            if (n <= 0) {
                problem = n == 0 ? "no byte for " + std::to_string(kIdleLimit.count()) + " s"
                                 : Why("sp_blocking_read_next", n);
                ok = false;
            } else if (!checker.Take(buffer.data(), static_cast<std::size_t>(n))) {
                problem = "received stream: " + checker.Fault();
                ok = false;
            }
        }
        meter.Stop();
        std::string device_problem;
        const bool fed = device.FinishFeed(device_problem);
        if (ok && !fed) {
            problem = device_problem;
        }
        return ok && fed;
    }

    bool Send(DeviceProcess& device, const ByteStream& stream, std::uint64_t count, Meter& meter,
              std::string& problem) override {
        meter.Start();
        device.StartDrain(count);
        bool ok = true;
        for (std::uint64_t sent = 0; ok && sent < count;) {
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(kAppBlock, count - sent));
            const int n = sp_blocking_write(port_, stream.At(sent), length, kTimeoutMs);
            if (n < 0 || static_cast<std::size_t>(n) != length) {
                problem = n < 0 ? Why("sp_blocking_write", n) : "sp_blocking_write timed out";
                ok = false;
            }
            sent += length;
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
        std::array<std::uint8_t, kAppBlock> buffer;
        std::vector<std::uint8_t> got;
        device.StartFrame(frame);
        while (got.size() < frame.size()) {
            const int n = sp_blocking_read_next(port_, buffer.data(), buffer.size(), kTimeoutMs);
            if (n <= 0) {
                problem = n == 0 ? "no frame for " + std::to_string(kIdleLimit.count()) + " s"
                                 : Why("sp_blocking_read_next", n);
                return std::nullopt;
            }
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
        const Clock::time_point arrived = Clock::now();
        if (got != frame) {
            problem = "the frame arrived altered";
            return std::nullopt;
        }
        return arrived;
    }

  private:
    PortAlias alias_;
    sp_port* port_ = nullptr;
    bool open_ = false;
};

}  // namespace

std::unique_ptr<LinkUnderTest> MakeLibserialportLink() {
    return std::make_unique<LibserialportLink>();
}

}  // namespace qx17::bench
