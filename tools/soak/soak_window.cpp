// The window on the headless toolkit against virtual trackers on COM1, at
// real time (the port's 100 ms read interval is real), with the toolkit's
// clock jumped ahead where the window would only wait: the 200 ms before an
// automatic write, and a time-out that a withheld reply has made certain.
#include "tools/soak/soak_window.h"

#include <array>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "protocol/link_commands.h"
#include "tools/soak/soak_common.h"
#include "ui/form_mapping.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17::soak {

namespace {

using sim::Event;
using sim::Is;
using std::chrono::milliseconds;

constexpr const char* kTimeOut = "COM Operate OverTimer!";

class Window {
  public:
    Window() : tracker_(PlugTracker(config_, 1, "35712001234567")) {
        ParamImage.fill(0);
        form_ = std::make_unique<TForm1>(ui_, DefaultFormSettings(), "Qx17eep");
        form_->Show();
        ui_.Click("BitBtn1");  // Start on COM1
    }
    bool Open() const { return form_->PortOpen; }

    // The fields hold the profile, saved; "Auto" ticked.
    void Prepare() {
        form_->SaveEnabled = false;
        ShowFieldValues(*form_, SoakProfile());
        form_->SaveEnabled = true;
        form_->SaveSettings();
        ui_.Click("CheckBox1");
    }

    // Lets chunks in and the clock follow real time until `done`; when the
    // tracker has been quiet for `quiet` the clock jumps 21 s, so a time-out
    // that must come comes now. False after `limit` of real time.
    bool Run(const std::function<bool()>& done, milliseconds limit = milliseconds(30000),
             milliseconds quiet = milliseconds(400)) {
        const Clock::time_point start = Clock::now();
        Clock::time_point last = start, last_change = start;
        std::size_t seen = tracker_->LogSize();
        for (;;) {
            ui_.PumpNotices(done, milliseconds(5));
            const Clock::time_point now = Clock::now();
            ui_.AdvanceTime(std::chrono::duration_cast<milliseconds>(now - last));
            last = now;
            if (done()) {
                return true;
            }
            if (tracker_->LogSize() != seen) {
                seen = tracker_->LogSize();
                last_change = now;
            } else if (now - last_change > quiet) {
                ui_.AdvanceTime(milliseconds(21000));
                last_change = now;
            }
            if (now - start > limit) {
                return false;
            }
        }
    }

    std::size_t Boxes(const std::string& text) const {
        std::size_t count = 0;
        for (const BoxRecord& box : ui_.Boxes()) {
            count += box.text == text ? 1u : 0u;
        }
        return count;
    }
    std::string Status() const { return form_->StatusBar1->PanelText(0); }
    void ClearStatus() { form_->StatusBar1->SetPanelText(0, ""); }
    void SkipAutoDelay() { ui_.AdvanceTime(milliseconds(220)); }

    // What the user does after a failure: Close and Start again.
    void Restart() {
        ui_.Click("BitBtn1");
        ui_.Click("BitBtn1");
    }
    // The tracker pulled out and another plugged in, then Close and Start.
    void Replug(const std::string& id) {
        ui_.Click("BitBtn1");
        tracker_.reset();
        tracker_ = PlugTracker(config_, 1, id);
        ui_.Click("BitBtn1");
    }

    // The tracker holds what the window's image holds, in every range the
    // write-all covers.
    bool TrackerHoldsTheImage() const {
        for (const ImageRange& range : kWriteAllFrames) {
            const sim::Bytes held = tracker_->ReadMemory(range.first, range.count);
            if (!std::equal(held.begin(), held.end(),
                            ParamImage.begin() + static_cast<long>(range.first))) {
                return false;
            }
        }
        return true;
    }

    sim::VirtualTracker& Tracker() { return *tracker_; }
    HeadlessToolkit& Ui() { return ui_; }

  private:
    ConfigFolder config_;
    HeadlessToolkit ui_;
    std::unique_ptr<sim::VirtualTracker> tracker_;
    std::unique_ptr<TForm1> form_;
};

// Every fault but a flipped bit, which only a read-back finds.
constexpr Fault kWindowFaults[] = {Fault::kNone, Fault::kDrop,  Fault::kCorrupt, Fault::kSplit,
                                   Fault::kNack, Fault::kNoise, Fault::kDelay,   Fault::kHangUp};

}  // namespace

Report SoakWindow(int announcements, unsigned seed) {
    Window window;
    Report report{"window, Auto", "", "", false};
    if (!window.Open()) {
        report.saw = "COM1 did not open";
        return report;
    }
    window.Prepare();
    std::mt19937 random(seed);
    FaultCounts tried;
    int written = 0, shown = 0, wrong = 0, stuck = 0;
    long resident_baseline = 0;
    for (int i = 0; i < announcements; ++i) {
        if (i == BaselineRound(announcements)) {
            resident_baseline = ResidentKib();
        }
        const Fault fault = kWindowFaults[random() % std::size(kWindowFaults)];
        tried.Add(fault);
        sim::VirtualTracker& tracker = window.Tracker();
        tracker.RestoreFactoryMemory();  // a new tracker on the line
        Arm(tracker, fault);
        const std::size_t timeouts = window.Boxes(kTimeOut);
        window.ClearStatus();
        const std::size_t log_start = tracker.LogSize();
        tracker.Announce();
        if (!window.Run([&] { return window.Status() == "Auto Write Start..."; })) {
            ++stuck;
            continue;
        }
        window.SkipAutoDelay();
        if (fault == Fault::kHangUp) {
            window.Run([&] { return tracker.Count(Is(Event::kWrite), log_start) >= 2; });
            tracker.HangUp();
        }
        const bool ended = window.Run([&] {
            return window.Status() == "Auto Write Ok!" || window.Boxes(kTimeOut) > timeouts;
        });
        if (!ended) {
            ++stuck;
        } else if (window.Boxes(kTimeOut) > timeouts) {
            ++shown;  // the failure was shown; the user restarts the port
            if (fault == Fault::kHangUp) {
                window.Replug("3571200" + std::to_string(1000000 + i));
            } else {
                window.Restart();
            }
        } else if (window.TrackerHoldsTheImage()) {
            ++written;
        } else {
            ++wrong;
        }
    }
    const long resident_end = ResidentKib();
    report.tried = std::to_string(announcements) + " announcements (" + tried.Text(false) + ")";
    const long growth = resident_end - resident_baseline;
    report.saw = std::to_string(written) + " written and held, " + std::to_string(shown) +
                 " time-outs shown, " + std::to_string(wrong) + " wrong, " + std::to_string(stuck) +
                 " stuck; RSS " + std::to_string(resident_baseline) + " -> " +
                 std::to_string(resident_end) + " KiB";
    report.passed = wrong == 0 && stuck == 0 && written + shown == announcements && growth <= 1024;
    return report;
}

Report SoakHangups(int rounds) {
    Window window;
    Report report{"hang-ups mid-exchange", std::to_string(rounds) + " hang-ups during a read", "",
                  false};
    int usable = 0, shown = 0;
    for (int i = 0; i < rounds; ++i) {
        sim::VirtualTracker& tracker = window.Tracker();
        const std::size_t log_start = tracker.LogSize();
        const std::size_t timeouts = window.Boxes(kTimeOut);
        tracker.SetReplyDelay(milliseconds(200));
        window.Ui().Click("BitBtn4");  // Read
        window.Run([&] { return tracker.Count(Is(Event::kRead), log_start) >= 1; });
        tracker.HangUp();
        if (window.Run([&] { return window.Boxes(kTimeOut) > timeouts; })) {
            ++shown;
        }
        window.Replug("35712" + std::to_string(100000000 + i));
        const std::size_t reads = window.Boxes("Read Completed!");
        window.Ui().Click("BitBtn4");
        if (window.Run([&] { return window.Boxes("Read Completed!") > reads; })) {
            ++usable;
        }
    }
    report.saw = std::to_string(shown) + " time-outs shown, port usable again " +
                 std::to_string(usable) + " times";
    report.passed = shown == rounds && usable == rounds;
    return report;
}

}  // namespace qx17::soak
