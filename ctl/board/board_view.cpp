#include "ctl/board/board_view.h"

#include <algorithm>
#include <cstdio>

namespace qx17::ctl {

namespace {

// Sixteen ports named COM1 to COM16 leave the state 32 columns of 80:
// "FAILED: interrupted, take it out".
constexpr std::size_t kIdWidth = 14;
constexpr std::size_t kSecondsWidth = 3;
constexpr std::size_t kCountsWidth = 7;  // "OK/FAIL", "12/3"
constexpr std::size_t kPortWidthMost = 12;
constexpr std::size_t kStateWidthLeast = 20;
constexpr std::size_t kStateWidthMost = 72;

bool Continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

const char* ColourOf(Tone tone) {
    switch (tone) {
        case Tone::kOk:
            return "\033[1;32m";
        case Tone::kFailed:
            return "\033[1;31m";
        case Tone::kWaiting:
            return "\033[33m";
        case Tone::kPlain:
            break;
    }
    return nullptr;
}

// `text` fitted to `width` and padded to it, on the left when `right`.
std::string Cell(const std::string& text, std::size_t width, bool right = false) {
    std::string cell = FitTo(text, width);
    const std::string pad(width - DisplayWidth(cell), ' ');
    return right ? pad + cell : cell + pad;
}

std::string Coloured(const std::string& cell, Tone tone, bool colour) {
    const char* sgr = colour ? ColourOf(tone) : nullptr;
    return sgr ? sgr + cell + "\033[0m" : cell;
}

// The state cut where it must be, its end kept whole; what more there is
// to say only where it fits.
std::string StateCell(const PortView& port, std::size_t width) {
    const std::size_t end = DisplayWidth(port.state_end);
    if (end >= width) {
        return Cell(port.state + port.state_end, width);
    }
    const std::size_t room = width - end;
    std::string state = FitTo(port.state, room);
    const std::size_t left = room - DisplayWidth(state);
    if (!port.state_more.empty() &&
        left >= std::min<std::size_t>(DisplayWidth(port.state_more), 6)) {
        state += FitTo(port.state_more, left);
    }
    return Cell(state + port.state_end, width);
}

std::string Number(long value, std::size_t width) {
    return value < 0 ? std::string(width, ' ')
                     : Cell(std::to_string(std::min(value, 999L)), width, true);
}

}  // namespace

std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033') {  // CSI ... final byte
            ++i;
            if (i < text.size() && text[i] == '[') {
                while (i + 1 < text.size() && !(text[i + 1] >= 0x40 && text[i + 1] <= 0x7E)) {
                    ++i;
                }
                ++i;
            }
            continue;
        }
        width += Continuation(static_cast<unsigned char>(text[i])) ? 0u : 1u;
    }
    return width;
}

std::string FitTo(const std::string& text, std::size_t width) {
    if (DisplayWidth(text) <= width) {
        return text;
    }
    if (width == 0) {
        return "";
    }
    // Keep width - 1 characters, whole, then the mark.
    std::string cut;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!Continuation(byte)) {
            if (shown == width - 1) {
                break;
            }
            ++shown;
        }
        cut += text[i];
    }
    return cut + "~";
}

std::vector<std::string> DrawBoard(const BoardView& view, int columns, int rows, bool colour) {
    std::size_t port_width = 4;
    for (const PortView& port : view.ports) {
        port_width = std::max(port_width, std::min(DisplayWidth(port.port), kPortWidthMost));
    }
    const std::size_t fixed = port_width + 2 * kIdWidth + kSecondsWidth + kCountsWidth + 5;
    const std::size_t needed_rows = view.header.size() + 1 + view.ports.size() + 1;
    const std::size_t width = columns > 0 ? static_cast<std::size_t>(columns) : 0;
    if (width < fixed + kStateWidthLeast || rows < 0 ||
        static_cast<std::size_t>(rows) < needed_rows) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Too small for the board of %zu ports: %zux%zu needed, %dx%d here.",
                      view.ports.size(), fixed + kStateWidthLeast, needed_rows, columns, rows);
        return {FitTo(text, width)};
    }
    const std::size_t state_width = std::min(width - fixed, kStateWidthMost);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < view.header.size(); ++i) {
        const std::string line = FitTo(view.header[i], width);
        lines.push_back(i + 1 == view.header.size() ? Coloured(line, view.header_tone, colour)
                                                    : line);
    }
    lines.push_back(Cell("PORT", port_width) + " " + Cell("STATE", state_width) + " " +
                    Cell("ID BEFORE", kIdWidth) + " " + Cell("ID WRITTEN", kIdWidth) + " " +
                    Cell("SEC", kSecondsWidth, true) + " " + Cell("OK/FAIL", kCountsWidth, true));
    for (const PortView& port : view.ports) {
        lines.push_back(
            Cell(port.port, port_width) + " " +
            Coloured(StateCell(port, state_width), port.tone, colour) + " " +
            Cell(port.id_before, kIdWidth) + " " + Cell(port.id_written, kIdWidth) + " " +
            Number(port.step_seconds, kSecondsWidth) + " " +
            Cell(std::to_string(port.ok) + "/" + std::to_string(port.failed), kCountsWidth, true));
    }
    return lines;
}

}  // namespace qx17::ctl
