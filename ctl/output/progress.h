// What qx17ctl tells its user while it works. On a terminal, one progress
// line on stdout, redrawn in place with the step of every port ("COM3:
// write-all frame 2 of 4"); otherwise each step as a plain line on stderr,
// so stdout keeps only the results. Messages always go to stderr.
//
// Every member function may be called from any thread.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace qx17::ctl {

class Progress {
  public:
    // Where the lines for stderr go (the tests keep them).
    using LineSink = std::function<void(const std::string& line)>;
    static void ToStderr(const std::string& line);

    // `terminal`: stdout is a terminal.
    explicit Progress(bool terminal, LineSink lines = ToStderr);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // What `port` is doing now.
    void Step(const std::string& port, const std::string& text);
    // `port` is idle again: its part of the progress line goes.
    void Clear(const std::string& port);
    // A line on stderr (the progress line is cleared for it and drawn again).
    void Message(const std::string& text);

    // The progress line is cleared before results go to stdout.
    void Finish();

  private:
    void EraseLine();
    void DrawLine();

    const bool terminal_;
    const LineSink lines_;
    std::mutex mutex_;
    std::map<std::string, std::string> steps_;
    bool drawn_ = false;
};

// True when stdout is a terminal.
bool StdoutIsTerminal();

}  // namespace qx17::ctl
