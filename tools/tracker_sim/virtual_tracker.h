// A virtual QX17 tracker on a pseudo-terminal: the test peer that stands in
// for a real tracker on a serial line. The tool under test opens the slave
// side (SlavePath(), or a comN link to it); the tracker answers on the master
// side from a worker thread. POSIX / Linux only.
//
// Every member function may be called from any thread while the worker runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tracker_sim/factory_memory.h"
#include "tools/tracker_sim/sim_frame.h"

namespace qx17::sim {

using Milliseconds = std::chrono::milliseconds;

// Where the tool looks up its "COMn" links:
// $XDG_CONFIG_HOME/Kestrowind/QX17EEP/ports, or $HOME/.config/Kestrowind/QX17EEP/ports
// when XDG_CONFIG_HOME is unset or empty; empty when HOME is unset too.
std::string DefaultPortFolder();

enum class Direction { kRx, kTx, kNone };  // kNone: an event with nothing on the line

enum class Event {
    kAnnounce,   // tx: the announcement
    kHandshake,  // rx: the handshake reply; announcing stops
    kRead,       // rx: a read request
    kReadReply,  // tx
    kWrite,      // rx: a write request (stored unless refused)
    kDefault,    // rx: the "Default" write; factory memory restored
    kAck,        // tx: write acknowledgement
    kIgnored,    // rx: a valid frame with an unknown or malformed payload
    kBadCrc,     // rx: a complete frame whose CRC does not match
    kGarbage,    // rx: bytes outside any frame
    kNoise,      // tx: noise sent before a reply
    kInjected,   // tx: raw bytes put on the line through Inject()
    kDropped,    // none: a reply withheld; `bytes` holds what would have gone out
    kHangUp,     // none: the line was closed
    kLineError,  // none: bytes that could not be sent or read
    kReplug,     // none: the next tracker is on the line (note: "replug <new id>"); `bytes`
                 // holds what the host had sent that the old tracker had not taken yet
    kLineDone,   // none: the scripted line's last tracker is written and read back
};

struct LogEntry {
    std::size_t index = 0;  // position in the log
    double time = 0;        // seconds since the tracker started
    double sent = 0;        // tx: when its last byte was written to the line
    Direction direction = Direction::kNone;
    Event event = Event::kLineError;
    Bytes bytes;
    std::string note;  // e.g. "announce", "read 0000+256", "write 0002 4 bytes", "ack 1"

    // One text line: "0.512034 tx AB AB 00 02 AA 99 64 44 announce".
    std::string Line() const;
};

using LogPredicate = std::function<bool(const LogEntry&)>;

// Matches every entry of the given kind.
LogPredicate Is(Event event);

// "AB AB 00 02" for bytes, as used in the log lines.
std::string ToHex(const Bytes& bytes);

// Parses "AB AB 00 02", "abab0002" or "AB,AB"; nullopt for anything else.
std::optional<Bytes> ParseHex(std::string_view text);

struct Options {
    std::string tracker_id{kDefaultTrackerId};  // 1 to 14 digits
    bool announce = true;                       // announce from the start
    Milliseconds announce_interval{1000};
    int link_port = 0;     // 1..32: create the link comN; 0: no link
    std::string link_dir;  // folder of the link; empty: DefaultPortFolder()
    // 9600 bits per second both ways: sent at that pace, and a frame from the
    // tool taken only once its bytes would have arrived at it.
    bool real_pace = false;
    Milliseconds reply_delay{0};
    Bytes noise;  // sent before every reply; no 0xAB
    // A scripted line of this many trackers (0: none). A tracker is done
    // once acknowledged writes (status 1, stored as sent) have stored every
    // byte of the write-all's four ranges since it was plugged in, and a read
    // of addresses 0..247 after that has been answered whole. Then the next
    // tracker is plugged in (as Replug()); after the last one the tracker
    // waits until the tool has read the reply (at most 2 s) and 250 ms more
    // for it to pass the reply on, logs kLineDone, and the line is done
    // (LineDone(), `on_line_done`).
    int line_trackers = 0;
    // Called on the worker thread once the line is done; it must not call
    // back into the tracker.
    std::function<void()> on_line_done;
    // Each log entry also as a line here, written by the worker thread: leave
    // the stream alone until Stop().
    std::ostream* log_stream = nullptr;
};

class VirtualTracker {
  public:
    // Opens the pseudo-terminal, creates the link if asked and starts the
    // worker. Throws std::invalid_argument for bad options and
    // std::system_error when the pseudo-terminal or the link cannot be made.
    explicit VirtualTracker(const Options& options = {});
    ~VirtualTracker();  // Stop(), then removes the link it created
    VirtualTracker(const VirtualTracker&) = delete;
    VirtualTracker& operator=(const VirtualTracker&) = delete;

    // Joins the worker and closes the pseudo-terminal. Idempotent.
    void Stop();

    const std::string& SlavePath() const;
    // The steady-clock moment the log's times count from.
    std::chrono::steady_clock::time_point StartTime() const;
    const std::string& LinkPath() const;  // empty without a link

    // Starts announcing again, at once, as a newly plugged tracker would.
    void Announce();
    bool Announcing() const;

    // The tracker on the line is replaced by the next one, as when the
    // operator plugs the next tracker into the adapter's cable: its ID is
    // this one's plus one (in as many digits), its memory the factory memory
    // for that ID, and it announces itself at once. The line stays open;
    // bytes from the tool not yet taken as a frame (an unfinished frame,
    // bytes still on the paced wire or not read yet) are dropped; persistent
    // settings and armed one-shot faults stay. The worker carries it out
    // between frames (a reply being sent is finished first); returns once it
    // has. False, changing nothing, when the next ID does not fit in the
    // digits (99 is the last of two digits), or after Stop().
    bool Replug();
    std::string TrackerId() const;
    // Trackers that completed a write-all and a read-back since the start.
    int TrackersDone() const;
    // True once the scripted line's last tracker is done and the tool has
    // taken its last reply (or two seconds passed).
    bool LineDone() const;

    // One-shot faults; each applies to the next reply (read reply or write
    // acknowledgement) sent. A dropped reply leaves the other one-shots armed.
    void DropNextReply();
    void CorruptNextReply();  // both CRC bytes inverted
    void SplitNextReply(Milliseconds gap = Milliseconds{150});
    // The next write (Default too) after `after` others is refused: ack 0,
    // nothing stored.
    void NackNextWrite(int after = 0);
    // The next reply goes out `delay` late, and the tracker takes nothing
    // meanwhile: one request that takes it long.
    void DelayNextReply(Milliseconds delay);
    // The next write (not a Default) is stored with the lowest bit of its
    // first byte flipped and acknowledged as done: what only a read-back finds.
    void FlipNextWrite();
    void NoiseBeforeNextReply(const Bytes& noise);  // throws if it holds 0xAB
    // The next reply's payload cut to `length` bytes, in a frame with a good
    // CRC: a tracker that answers short.
    void ShortenNextReply(std::size_t length);

    // Persistent settings.
    void SetReplyDelay(Milliseconds delay);
    void SetNoise(const Bytes& noise);  // before every reply; empty: none; throws on 0xAB
    void SetRealPace(bool on);

    // Closes the master and slave descriptors, as a pulled-out USB adapter:
    // the tool's side sees a hang-up. Returns once they are closed.
    void HangUp();
    bool HungUp() const;

    // Puts raw bytes on the line (logged as kInjected).
    void Inject(const Bytes& bytes);

    // Parameter memory.
    Bytes Memory() const;
    Bytes ReadMemory(std::size_t address, std::size_t count) const;  // clipped at the end
    void WriteMemory(std::size_t address, const Bytes& bytes);       // clipped at the end
    void RestoreFactoryMemory();
    Bytes Factory() const;  // the current tracker's

    // The log. Predicates run under the tracker's lock: they must not call
    // back into the tracker.
    std::vector<LogEntry> Log() const;
    std::size_t LogSize() const;
    std::size_t Count(const LogPredicate& match, std::size_t from = 0) const;
    // Waits until the nth entry (1-based) at index >= `from` that matches
    // exists and returns it; nullopt after `timeout`.
    std::optional<LogEntry> WaitFor(const LogPredicate& match, Milliseconds timeout,
                                    std::size_t nth = 1, std::size_t from = 0) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx17::sim
