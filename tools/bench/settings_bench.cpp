// settings_bench: how long saving and loading the 21 settings take with the
// settings file of systems without a registry. Every accepted field exit
// saves all of them, so a save must never be felt.
#include <stdlib.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fake_serial_platform.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
    double median_ms, p99_ms, worst_ms;
};

Stats Summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back()};
}

template <typename F>
Stats Time(int runs, F&& action) {
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        action(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return Summarise(std::move(ms));
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 500;
    CLI::App app{"Saving and loading the 21 saved settings with the settings file.",
                 "settings_bench"};
    app.set_version_flag("--version", std::string("settings_bench ") + QX17_VERSION);
    app.add_option("--runs", runs, "saves and loads timed")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    char pattern[] = "/tmp/qx17-settings-bench-XXXXXX";
    const std::filesystem::path config = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const std::filesystem::path file = config / "Kestrowind/QX17EEP/settings.reg";

    qx17::HeadlessToolkit ui;
    qx17::test::FakeSerialPlatform platform;
    qx17::FormSettings& settings = qx17::DefaultFormSettings();
    qx17::TForm1 form(ui, settings, "Qx17eep", platform);
    form.IN_APN->SetText("internet.example");
    form.IN_ID->SetText("12345678901234");

    const Stats save = Time(runs, [&](int i) {
        form.IN_ATEL->SetText("+4412345" + std::to_string(i));  // a changed value each time
        form.SaveSettings();
    });
    const Stats load = Time(runs, [&](int) { settings.LoadSettings(form); });
    // A load right after another process saved: the file is read and parsed
    // anew, not taken from the cache.
    const Stats reload = Time(runs, [&](int i) {
        std::filesystem::last_write_time(
            file, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(i + 1));
        settings.LoadSettings(form);
    });
    const bool errors = !ui.Boxes().empty();
    std::filesystem::remove_all(config);

    std::printf("settings_bench: the 21 saved values in %s, %d runs each\n\n",
                "$XDG_CONFIG_HOME/Kestrowind/QX17EEP/settings.reg", runs);
    std::printf("%-36s %10s %10s %10s\n", "operation", "median ms", "p99 ms", "worst ms");
    std::printf("%-36s %10.3f %10.3f %10.3f\n", "SaveSettings (write, flush, rename)",
                save.median_ms, save.p99_ms, save.worst_ms);
    std::printf("%-36s %10.3f %10.3f %10.3f\n", "LoadSettings (file unchanged)", load.median_ms,
                load.p99_ms, load.worst_ms);
    std::printf("%-36s %10.3f %10.3f %10.3f\n", "LoadSettings (file changed)", reload.median_ms,
                reload.p99_ms, reload.worst_ms);
    std::printf("\nAim (reported, not enforced): a save under 5 ms: median %s, worst %s\n",
                save.median_ms < 5 ? "met" : "NOT MET", save.worst_ms < 5 ? "met" : "NOT MET");
    if (errors) {
        std::printf("an error box was shown during the runs\n");
        return 1;
    }
    return 0;
}
