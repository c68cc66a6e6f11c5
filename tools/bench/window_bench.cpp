// window_bench: the editor's window against a minimal Qt window, in one run:
// time from process start to the window shown, peak resident memory, and the
// CPU used over an idle spell (for the editor: with its port open on a quiet
// pseudo-terminal, its two 20 ms timers ticking).
//
// The parent spawns this same program as a child for every sample, so each
// sample is a fresh process: exec, dynamic loading, Qt start-up and all. Both
// children run on Qt's offscreen platform, so no display is needed and
// neither pays for a window system the other does not.
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ui/form_settings.h"
#include "ui/qt_program.h"
#include "ui/tform1.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

double Monotonic() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// What a child reports through its pipe: when its window was shown, and the
// CPU seconds of its idle spell.
struct Report {
    double shown = 0;
    double idle_cpu = 0;
    double idle_seconds = 0;
    bool port_open = false;
};

void WriteReport(int fd, const Report& report) {
    if (::write(fd, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) {
        std::_Exit(3);
    }
}

// After the window is shown and the events of showing it have run: note the
// time, then sit idle for `idle_ms` and note the CPU spent.
void AfterShown(int fd, int idle_ms, bool port_open) {
    QTimer::singleShot(0, [fd, idle_ms, port_open] {
        Report report;
        report.shown = Monotonic();
        report.port_open = port_open;
        const double cpu = CpuSeconds();
        QTimer::singleShot(idle_ms, [fd, report, cpu, start = Monotonic()]() mutable {
            report.idle_cpu = CpuSeconds() - cpu;
            report.idle_seconds = Monotonic() - start;
            WriteReport(fd, report);
            QApplication::quit();
        });
    });
}

// The minimal window: empty, or with one line of text, which is what brings
// the font machinery (fontconfig, FreeType, the font cache) into play.
int RunMinimalChild(int argc, char** argv, int fd, int idle_ms, bool with_label) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("minimal");
    window.resize(556, 389);
    if (with_label) {
        auto* label = new QLabel("QX17", &window);
        label->move(8, 8);
    }
    window.show();
    AfterShown(fd, idle_ms, false);
    return app.exec();
}

int RunEditorChild(int argc, char** argv, int fd, int idle_ms) {
    qx17::ProgramHooks hooks;
    hooks.on_shown = [fd, idle_ms](qx17::TForm1& form) {
        // Press Start: COM1 is linked to the parent's quiet pseudo-terminal.
        form.BitBtn1->OnClick();
        AfterShown(fd, idle_ms, form.PortOpen);
    };
    return qx17::RunQtProgram(argc, argv, qx17::DefaultFormSettings(), hooks);
}

struct Sample {
    double startup_ms = 0;
    double peak_rss_mb = 0;
    double idle_cpu_percent = 0;
    bool port_open = false;
    bool ok = false;
};

Sample Spawn(const std::string& self, const char* mode, int idle_ms) {
    Sample sample;
    int fds[2];
    if (::pipe(fds) != 0) {
        return sample;
    }
    const std::string fd_text = std::to_string(fds[1]);
    const std::string idle_text = std::to_string(idle_ms);
    std::vector<const char*> args = {self.c_str(),    "--child",         mode,
                                     fd_text.c_str(), idle_text.c_str(), nullptr};
    const double start = Monotonic();
    pid_t pid = 0;
    if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, const_cast<char**>(args.data()),
                      environ) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return sample;
    }
    ::close(fds[1]);
    Report report;
    const ssize_t got = ::read(fds[0], &report, sizeof report);
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (got != static_cast<ssize_t>(sizeof report) || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return sample;
    }
    sample.startup_ms = (report.shown - start) * 1000.0;
    sample.peak_rss_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    sample.idle_cpu_percent =
        report.idle_seconds > 0 ? 100.0 * report.idle_cpu / report.idle_seconds : 0;
    sample.port_open = report.port_open;
    sample.ok = true;
    return sample;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Figures {
    double startup_ms, peak_rss_mb, idle_cpu_percent;
};

bool Measure(const std::string& self, const char* mode, int runs, int idle_ms, Figures& out,
             bool& port_open) {
    std::vector<double> startup, rss, cpu;
    port_open = true;
    for (int i = 0; i < runs; ++i) {
        // Only the last run idles for the whole spell; the others measure
        // start-up and memory.
        const Sample s = Spawn(self, mode, i + 1 == runs ? idle_ms : 300);
        if (!s.ok) {
            std::fprintf(stderr, "window_bench: the %s child failed\n", mode);
            return false;
        }
        startup.push_back(s.startup_ms);
        rss.push_back(s.peak_rss_mb);
        if (i + 1 == runs) {
            cpu.push_back(s.idle_cpu_percent);
        }
        port_open = port_open && (std::string(mode) != "qx17" || s.port_open);
    }
    out = {Median(startup), Median(rss), Median(cpu)};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) {
        const int fd = std::atoi(argv[3]);
        const int idle_ms = std::atoi(argv[4]);
        int qt_argc = 1;
        if (std::strcmp(argv[2], "minimal") == 0 || std::strcmp(argv[2], "label") == 0) {
            return RunMinimalChild(qt_argc, argv, fd, idle_ms, std::strcmp(argv[2], "label") == 0);
        }
        return RunEditorChild(qt_argc, argv, fd, idle_ms);
    }

    int runs = 7;
    int idle_ms = 10000;
    CLI::App app{"The editor's window against a minimal Qt window: start-up, memory and idle CPU.",
                 "window_bench"};
    app.set_version_flag("--version", std::string("window_bench ") + QX17_VERSION);
    app.add_option("--runs", runs, "starts of each window")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--idle-ms", idle_ms, "how long each window idles for the CPU figure")
        ->capture_default_str()
        ->check(CLI::Range(100, 3'600'000));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    // A quiet port for the editor: a pseudo-terminal linked as COM1 in a
    // configuration folder of this run only.
    int master = -1;
    int slave = -1;
    char slave_path[128];
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master, &slave, slave_path, &raw, nullptr) != 0) {
        std::perror("window_bench: openpty");
        return 1;
    }
    char config_template[] = "/tmp/qx17-window-bench-XXXXXX";
    const fs::path config = ::mkdtemp(config_template);
    const fs::path ports = config / "Kestrowind/QX17EEP/ports";
    fs::create_directories(ports);
    fs::create_symlink(slave_path, ports / "com1");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const std::string self = fs::canonical("/proc/self/exe").string();
    Figures minimal{}, label{}, editor{};
    bool port_open = false, unused = false;
    const bool ok = Measure(self, "minimal", runs, idle_ms, minimal, unused) &&
                    Measure(self, "label", runs, idle_ms, label, unused) &&
                    Measure(self, "qx17", runs, idle_ms, editor, port_open);
    fs::remove_all(config);
    ::close(master);
    ::close(slave);
    if (!ok) {
        return 1;
    }

    std::printf(
        "window_bench: %d fresh processes per program (medians), Qt offscreen platform;\n"
        "idle CPU over %.1f s after the window was shown%s.\n\n",
        runs, idle_ms / 1000.0,
        port_open ? ", the editor with COM1 open on a quiet pty" : " (PORT NOT OPEN)");
    std::printf("%-28s %14s %14s %16s\n", "program", "start-up ms", "peak RSS MB",
                "idle CPU % core");
    std::printf("%-28s %14.1f %14.1f %16.3f\n", "minimal Qt window", minimal.startup_ms,
                minimal.peak_rss_mb, minimal.idle_cpu_percent);
    std::printf("%-28s %14.1f %14.1f %16.3f\n", "minimal window, one label", label.startup_ms,
                label.peak_rss_mb, label.idle_cpu_percent);
    std::printf("%-28s %14.1f %14.1f %16.3f\n", "qx17eep (TForm1 on Qt)", editor.startup_ms,
                editor.peak_rss_mb, editor.idle_cpu_percent);
    const double startup_ratio = editor.startup_ms / minimal.startup_ms;
    const double rss_ratio = editor.peak_rss_mb / minimal.peak_rss_mb;
    std::printf("\nAims (reported, not enforced), against the empty minimal window:\n");
    std::printf("  start-up  %.2fx the minimal window's (within 1.5x: %s)\n", startup_ratio,
                startup_ratio <= 1.5 ? "met" : "NOT MET");
    std::printf("  memory    %.2fx the minimal window's (within 1.5x: %s)\n", rss_ratio,
                rss_ratio <= 1.5 ? "met" : "NOT MET");
    std::printf("  idle CPU  %.3f %% of a core (under 0.5 %%: %s)\n", editor.idle_cpu_percent,
                editor.idle_cpu_percent < 0.5 ? "met" : "NOT MET");
    std::printf("  (against the window with one label: start-up %.2fx, memory %.2fx)\n",
                editor.startup_ms / label.startup_ms, editor.peak_rss_mb / label.peak_rss_mb);
    return port_open ? 0 : 1;
}
