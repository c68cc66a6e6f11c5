#include "tests/ctl/program_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "params/profile.h"

extern char** environ;

namespace qx17::ctl::test {

namespace fs = std::filesystem;

namespace {

// The program: beside the test when it was copied there (the run as an
// ordinary user), else where the build put it.
std::string Program() {
    if (const char* dir = std::getenv("QX17_WITH_DIR"); dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/qx17ctl";
    }
    return QX17CTL_PROGRAM;
}

}  // namespace

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ProgramTest::ProgramTest() {
    ::setenv("XDG_CONFIG_HOME", folder_.Path().c_str(), 1);
    // What the program keeps between runs (a station's outbox) stays in the
    // test's folder too.
    ::setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
}

ProgramTest::~ProgramTest() {
    // A test that stopped early leaves no program behind to hold its ports.
    for (const pid_t pid : running_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_STATE_HOME");
}

pid_t ProgramTest::Spawn(const std::vector<std::string>& args, const SpawnOptions& how) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (folder_ / "out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (how.err_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, how.err_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, (folder_ / "err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<std::string> all = how.before;
    all.push_back(Program());
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // The program meets the signals as a user's shell hands them on, even
    // when the tests themselves were started with some ignored (nohup, CI).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t to_default;
    sigemptyset(&to_default);
    for (const int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) {
        sigaddset(&to_default, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &to_default);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    running_.insert(pid);
    return pid;
}

Outcome ProgramTest::Wait(pid_t pid, std::chrono::seconds patience) {
    Outcome run;
    int status = 0;
    const auto give_up = std::chrono::steady_clock::now() + patience;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended == 0) {
        ADD_FAILURE() << "still running after " << patience.count() << " s: killed";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (ended == pid && WIFEXITED(status)) {
        run.exit_code = WEXITSTATUS(status);
    }
    running_.erase(pid);
    run.out = Slurp(folder_ / "out");
    run.err = Slurp(folder_ / "err");
    return run;
}

fs::path ProgramTest::Profile(const FieldValues& values, const std::string& name) {
    std::ofstream(folder_ / name, std::ios::binary) << SerializeProfile(values);
    return folder_ / name;
}

bool ProgramTest::Until(const std::function<bool()>& reached) {
    for (int i = 0; i < 2000; ++i) {
        if (reached()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace qx17::ctl::test
