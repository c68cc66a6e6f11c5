#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ctl/board/done_hook.h"

extern char** environ;

namespace qx17::ctl {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The inherited environment without the record's password, with `added`.
std::vector<std::string> Environment(const HookRun& run) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const std::string_view name = variable.substr(0, variable.find('='));
        bool replaced = name == "PGPASSWORD";
        for (const auto& [key, value] : run.environment) {
            replaced = replaced || name == key;
        }
        if (!replaced) {
            variables.emplace_back(variable);
        }
    }
    for (const auto& [key, value] : run.environment) {
        variables.push_back(key + "=" + value);
    }
    return variables;
}

}  // namespace

std::string RunHook(const HookRun& run) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return std::string("cannot be started: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&files, out[1], STDERR_FILENO);
    posix_spawnattr_init(&attributes);
    // A group of its own, so that stopping it stops what it started; the
    // line's ignored and blocked signals are not its.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> variables = Environment(run);
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dash_c = "-c";
    std::string command = run.command;
    char* argv[] = {shell.data(), dash_c.data(), command.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, shell.c_str(), &files, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return std::string("cannot be started: ") + std::strerror(spawned);
    }

    // What it prints is read until the pipe closes: then it, and everything
    // it started, are done. At its time (or a second Ctrl-C) its group is
    // killed; the shell's own status is its result.
    const Clock::time_point deadline = Clock::now() + run.timeout;
    std::string text;
    std::string stopped;
    bool open = true;
    bool exited = false;
    int status = 0;
    while (open || !exited) {
        const bool late = Clock::now() >= deadline;
        if (late || (run.stop_now && run.stop_now())) {
            if (!exited) {
                stopped = StoppedBecause(run, late);
            }
            ::kill(-pid, SIGKILL);
            if (!exited) {
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
            break;
        }
        if (open) {
            pollfd wait{out[0], POLLIN, 0};
            if (::poll(&wait, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(out[0], buffer, sizeof buffer);
                if (n > 0) {
                    text.append(buffer, static_cast<std::size_t>(n));
                    HandOnLines(text, run, false);
                } else if (n == 0 || errno != EINTR) {
                    open = false;
                }
            }
        } else {
            ::usleep(20000);
        }
        if (!exited) {
            const pid_t waited = ::waitpid(pid, &status, WNOHANG);
            exited = waited == pid || (waited < 0 && errno != EINTR);
        }
    }
    ::close(out[0]);
    HandOnLines(text, run, true);
    if (!stopped.empty()) {
        return stopped;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) == 0 ? "" : "ended with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "ended abnormally";
}

}  // namespace qx17::ctl
