// The station's board as text: a header with the station, the profile,
// where the rows go and the totals, then one row per port with its state in
// words. Drawn for a terminal of a given size, with or without colour; the
// words never rely on the colour.
#pragma once

#include <string>
#include <vector>

namespace qx17::ctl {

// How a port's state is coloured, where colour is wanted.
enum class Tone { kPlain, kOk, kFailed, kWaiting };

struct PortView {
    std::string port;
    std::string state;       // "waiting for a tracker", "writing 2 of 4", "FAILED: timeout" ...
    std::string state_more;  // shown after the state where there is room: " (APN, IP)"
    std::string state_end;   // kept whole where the state is cut: ", take it out"
    Tone tone = Tone::kPlain;
    std::string id_before;
    std::string id_written;
    long step_seconds = -1;  // in the present step; -1: none shown
    long ok = 0;
    long failed = 0;
};

struct BoardView {
    std::vector<std::string> header;  // the header's lines, in words
    Tone header_tone = Tone::kPlain;  // of the header's last line (the record's state)
    std::vector<PortView> ports;
};

// The lines that fill the top of a terminal of `columns` x `rows`, none
// wider than `columns` display columns (SGR sequences when `colour`); at
// least one line stays free below for messages. A terminal too small for
// the board gets one line that says so.
std::vector<std::string> DrawBoard(const BoardView& view, int columns, int rows, bool colour);

// The display columns of UTF-8 text (one per character; escape sequences
// are not counted).
std::size_t DisplayWidth(const std::string& text);

// `text` cut to `width` display columns ('~' marks a cut).
std::string FitTo(const std::string& text, std::size_t width);

}  // namespace qx17::ctl
