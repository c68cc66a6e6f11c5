// The tracker-sim program: its first line, its commands and its switches.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tracker_sim/slave_line.h"
#include "tools/tracker_sim/virtual_tracker.h"

extern char** environ;

namespace qx17::sim {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::kPatience;
using test::SlaveLine;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const Bytes kAnnouncement = Hex("AB AB 00 02 AA 99 64 44");
const Bytes kHandshake = Hex("AB AB 00 03 99 AA 55 D8 F5");
const Bytes kReadAll = Hex("AB AB 00 05 95 00 00 01 00 21 2C");

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/tracker-sim-program-XXXXXX";
        if (mkdtemp(name) != nullptr)
            path_ = name;
    }
    ~TempDir() {
        std::error_code e;
        fs::remove_all(path_, e);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// tracker-sim as a child process with pipes on its stdin and stdout.
class Program {
  public:
    ~Program() {
        CloseInput();
        if (out_ >= 0)
            close(out_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts the program; its stderr goes to `err_file`.
    bool Start(const std::vector<std::string>& args, const std::string& err_file) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all = {TRACKER_SIM_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int error =
            posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
        if (error != 0)
            pid_ = -1;
        return error == 0;
    }

    void Send(const std::string& text) {
        ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void CloseInput() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }

    // The next line of its stdout, without the newline; nullopt on time-out or end.
    std::optional<std::string> Line(std::chrono::milliseconds timeout = kPatience) {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            if (const std::size_t end = pending_.find('\n'); end != pending_.npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            char chunk[512];
            ssize_t n = 0;
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
                (n = read(out_, chunk, sizeof chunk)) <= 0)
                return std::nullopt;
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Waits for the exit: the exit code, or -1 when it did not exit in time.
    int Wait(std::chrono::milliseconds timeout = kPatience) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
};

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The next frame of the given command, skipping announcements.
std::optional<Bytes> NextFrameOf(SlaveLine& line, std::uint8_t command) {
    for (;;) {
        std::optional<Bytes> frame = line.ReadFrame();
        if (!frame || (frame->size() > 4 && (*frame)[4] == command))
            return frame;
    }
}

// The tool's side of a production line over the slave, frame by frame.
class ScriptedTool {
  public:
    explicit ScriptedTool(const std::string& slave) : line_(slave) {}

    // Answers the next tracker's announcement and reads it whole; false when
    // no tracker announced itself.
    bool TakeTracker() {
        if (line_.ReadFrame() != kAnnouncement)
            return false;
        line_.Write(kHandshake);
        const std::optional<Bytes> reply = ReadAll();
        if (reply)
            image_ = *reply;
        return reply.has_value();
    }

    // The tracker's id field as read, e.g. "12 3F FF FF FF FF FF".
    std::string Id() const { return ToHex(Bytes(image_.begin() + 108, image_.begin() + 115)); }

    // Writes the four write-all ranges (a new password in the first); the
    // acknowledgements' status bytes, 0xFF for a missing one.
    Bytes WriteAll(std::size_t from_frame = 0) {
        static const std::size_t ranges[4][2] = {{2, 4}, {16, 136}, {168, 22}, {212, 36}};
        Bytes statuses;
        for (std::size_t i = from_frame; i < 4; ++i) {
            const auto [address, count] = ranges[i];
            Bytes payload(3 + count, '7');  // the password becomes 7777
            payload[0] = 0x94;
            payload[1] = 0x00;
            payload[2] = static_cast<std::uint8_t>(address);
            if (i > 0)  // the rest as read, at memory byte a + 1 of the reply
                std::copy_n(image_.begin() + static_cast<long>(address + 1), count,
                            payload.begin() + 3);
            line_.Write(EncodeFrame(payload));
            const std::optional<Bytes> ack = line_.ReadFrame();
            statuses.push_back(ack && ack->size() == 8 ? (*ack)[5] : 0xFF);
        }
        return statuses;
    }

    std::optional<Bytes> ReadAll() {
        line_.Write(kReadAll);
        const std::optional<Bytes> reply = line_.ReadFrame();
        if (!reply || reply->size() != 263)
            return std::nullopt;
        return PayloadOf(*reply);  // 95, then memory from address 0 at [1]
    }

    SlaveLine& Line() { return line_; }

  private:
    SlaveLine line_;
    Bytes image_;  // as the payload of the read reply: memory byte a at [a + 1]
};

TEST(TrackerSimProgram, LineOfTrackersReplugsAfterEachReadBackAndEndsAfterTheLast) {
    TempDir dir;
    Program program;
    ASSERT_TRUE(
        program.Start({"--line", "3", "--id", "0998", "--announce-ms", "60000"}, dir / "err"));
    const std::optional<std::string> slave = program.Line();
    ASSERT_TRUE(slave);
    ScriptedTool tool(*slave);
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tool.TakeTracker()) << i << FileText(dir / "err");
        ids.push_back(tool.Id());
        EXPECT_EQ(tool.WriteAll(), Hex("01 01 01 01")) << i;
        const std::optional<Bytes> read_back = tool.ReadAll();
        ASSERT_TRUE(read_back) << i;
        EXPECT_EQ(ToHex(Bytes(read_back->begin() + 3, read_back->begin() + 7)), "37 37 37 37");
    }
    EXPECT_EQ(program.Wait(), 0) << FileText(dir / "err");
    EXPECT_EQ(ids, (std::vector<std::string>{"09 98 FF FF FF FF FF", "09 99 FF FF FF FF FF",
                                             "10 00 FF FF FF FF FF"}));
    const std::string log = FileText(dir / "err");
    EXPECT_NE(log.find(" -- replug 0999\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" -- line done: 3 trackers\n"), std::string::npos) << log;
}

TEST(TrackerSimProgram, ARefusedWriteLeavesTheTrackerOnTheLine) {
    TempDir dir;
    Program program;
    ASSERT_TRUE(program.Start({"--line", "1", "--announce-ms", "60000"}, dir / "err"));
    const std::optional<std::string> slave = program.Line();
    ASSERT_TRUE(slave);
    ScriptedTool tool(*slave);
    ASSERT_TRUE(tool.TakeTracker());
    program.Send("nack\n");
    ASSERT_EQ(program.Line(), "ok");
    EXPECT_EQ(tool.WriteAll(), Hex("00 01 01 01"));
    ASSERT_TRUE(tool.ReadAll());
    EXPECT_TRUE(tool.Line().ReadFor(300ms).empty()) << "no next tracker announced";
    EXPECT_EQ(program.Wait(100ms), -1) << "still running";

    EXPECT_EQ(tool.WriteAll(3), Hex("01"));  // the last frame again: the first still missing
    ASSERT_TRUE(tool.ReadAll());
    EXPECT_EQ(program.Wait(300ms), -1);
    EXPECT_EQ(tool.WriteAll(), Hex("01 01 01 01"));
    ASSERT_TRUE(tool.ReadAll());
    EXPECT_EQ(program.Wait(), 0);
}

TEST(TrackerSimProgram, ServesTheLineAndAnswersCommands) {
    TempDir dir;
    Program program;
    ASSERT_TRUE(program.Start({"--announce-ms", "50", "--id=123", "--link", "4", "--link-dir",
                               dir / "ports", "--log", dir / "log"},
                              dir / "err"));
    const std::optional<std::string> slave = program.Line();
    ASSERT_TRUE(slave) << FileText(dir / "err");
    EXPECT_TRUE(std::regex_match(*slave, std::regex("/dev/pts/[0-9]+"))) << *slave;
    EXPECT_EQ(fs::read_symlink(dir / "ports/com4").string(), *slave);

    SlaveLine line(*slave);
    ASSERT_TRUE(line.IsOpen());
    EXPECT_EQ(line.ReadFrame(), kAnnouncement);
    line.Write(kHandshake);
    line.Write(kReadAll);
    std::optional<Bytes> reply = NextFrameOf(line, 0x95);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 263u);
    EXPECT_EQ(*reply, EncodeFrame(PayloadOf(*reply)));
    EXPECT_EQ(sim::ToHex(Bytes(reply->begin() + 5 + 107, reply->begin() + 5 + 114)),
              "12 3F FF FF FF FF FF");

    program.Send("corrupt\n");
    EXPECT_EQ(program.Line(), "ok");
    line.Write(kReadAll);
    reply = NextFrameOf(line, 0x95);
    ASSERT_TRUE(reply);
    EXPECT_NE(*reply, EncodeFrame(PayloadOf(*reply)));

    program.Send("dump 0x2 4\n");
    EXPECT_EQ(program.Line(), "0002: 30 30 30 30");
    EXPECT_EQ(program.Line(), "ok");
    for (const char* bad : {"frobnicate\n", "noise AB 01\n", "dump 4097 1\n", "split x\n"}) {
        const std::optional<std::string> answer = (program.Send(bad), program.Line());
        ASSERT_TRUE(answer) << bad;
        EXPECT_EQ(answer->rfind("error: ", 0), 0u) << bad << *answer;
    }

    program.Send("quit\n");
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ports/com4")));
    EXPECT_NE(FileText(dir / "log").find(" tx AB AB 00 02 AA 99 64 44 announce (last byte "),
              std::string::npos);
}

TEST(TrackerSimProgram, BadSwitchesGiveAMessageAndExitCode2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--link"},
        {"--link", "0"},
        {"--link", "33"},
        {"--link", "4x"},
        {"--id", "123456789012345"},
        {"--noise", "AB"},
        {"--noise", "0"},
        {"--announce-ms", "0"},
        {"--reply-delay=-5"},
        {"--quiet=yes"},
        {"--link-dir", "/tmp"},
        {"--line", "0"},
        {"--id", "98", "--line", "3"},  // 100 needs a third digit
    };
    TempDir dir;
    for (const auto& args : cases) {
        Program program;
        ASSERT_TRUE(program.Start(args, dir / "err"));
        EXPECT_EQ(program.Wait(), 2) << args[0];
        EXPECT_NE(FileText(dir / "err").find("tracker-sim: "), std::string::npos) << args[0];
    }
    Program help;
    ASSERT_TRUE(help.Start({"--help"}, dir / "err"));
    EXPECT_EQ(help.Line(), "Usage: tracker-sim [OPTION]...");
    EXPECT_EQ(help.Wait(), 0);
    Program version;
    ASSERT_TRUE(version.Start({"--version"}, dir / "err"));
    EXPECT_EQ(version.Line(), std::string("tracker-sim ") + QX17_VERSION);
    EXPECT_EQ(version.Wait(), 0);
}

TEST(TrackerSimProgram, EndsOnSigtermAndOnEndOfInput) {
    TempDir dir;
    Program by_signal;
    ASSERT_TRUE(by_signal.Start({"--quiet", "--no-stdin"}, dir / "err"));
    ASSERT_TRUE(by_signal.Line());
    kill(by_signal.pid(), SIGTERM);
    EXPECT_EQ(by_signal.Wait(), 0);

    Program by_eof;
    ASSERT_TRUE(by_eof.Start({"--quiet"}, dir / "err"));
    ASSERT_TRUE(by_eof.Line());
    by_eof.CloseInput();
    EXPECT_EQ(by_eof.Wait(), 0);
}

}  // namespace
}  // namespace qx17::sim
