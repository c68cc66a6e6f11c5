// qx17-frames: with no arguments, prints the fixed frames of the link as they
// go on the wire; with hexadecimal bytes as arguments ("AB AB 00 02 AA 99 64
// 44" or "ABAB0002AA996444"), treats them as one received chunk and reports
// the frame the receiver would find in it.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_sender.h"

namespace {

void PrintBytes(const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        std::printf("%s%02X", i ? " " : "", bytes[i]);
    }
    std::printf("\n");
}

void PrintFixedFrames() {
    qx17::BindSendData([](const std::uint8_t* buffer, std::uint16_t length) {
        PrintBytes(buffer, length);
        return true;
    });
    std::printf("%-24s", "handshake reply:");
    qx17::SendHandshakeReply();
    std::printf("%-24s", "read all:");
    qx17::SendRawFrame(std::string("\x95\x00\x00\x01\x00", 5));
    std::printf("%-24s", "default:");
    qx17::SendRawFrame(std::string("\x94\x00\x02\xFF", 4));
    std::printf("%-24s", "write PW 3794 at 0x02:");
    qx17::SendWriteFrame(
        std::string("\x00\x02"
                    "3794",
                    6));
    qx17::BindSendData(nullptr);
}

int HexValue(int ch) {
    if (std::isdigit(ch))
        return ch - '0';
    ch = std::toupper(ch);
    return (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10 : -1;
}

bool ParseChunk(const std::vector<std::string>& words, std::vector<std::uint8_t>& chunk) {
    std::string digits;
    for (const std::string& word : words) {
        for (const char* p = word.c_str(); *p; ++p) {
            if (std::isspace(static_cast<unsigned char>(*p)))
                continue;
            if (HexValue(static_cast<unsigned char>(*p)) < 0) {
                std::fprintf(stderr, "qx17-frames: '%c' is not a hexadecimal digit\n", *p);
                return false;
            }
            digits += *p;
        }
    }
    if (digits.size() % 2 != 0) {
        std::fprintf(stderr, "qx17-frames: odd number of hexadecimal digits\n");
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        chunk.push_back(
            static_cast<std::uint8_t>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1])));
    }
    if (chunk.size() > qx17::kRxBufferSize) {
        std::fprintf(stderr, "qx17-frames: a chunk holds at most %zu bytes\n", qx17::kRxBufferSize);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Prints the frames the tool sends; given hexadecimal bytes, reports the frame "
        "the receiver would find in that chunk (for reading a capture of the line).",
        "qx17-frames"};
    app.set_version_flag("--version", std::string("qx17-frames ") + QX17_VERSION);
    std::vector<std::string> words;
    app.add_option("HEX", words, "the received chunk, e.g. AB AB 00 02 AA 99 64 44 or ABAB0002");
    app.footer(
        "Exit codes: 0 a frame found (or the fixed frames printed); 1 no valid frame; 2 "
        "bad bytes.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (words.empty()) {
        PrintFixedFrames();
        return 0;
    }
    std::vector<std::uint8_t> chunk;
    if (!ParseChunk(words, chunk)) {
        return 2;
    }
    std::copy(chunk.begin(), chunk.end(), qx17::RxBuffer.begin());
    qx17::RxLength = static_cast<std::uint16_t>(chunk.size());
    const std::uint16_t at = qx17::FindFrame(0);
    if (at == 0) {
        std::printf("no valid frame in %zu bytes\n", chunk.size());
        return 1;
    }
    const std::size_t length = std::size_t{qx17::RxBuffer[at - 2]} * 256 + qx17::RxBuffer[at - 1];
    std::printf("frame at %u, payload %zu bytes:", at - 4u, length);
    std::printf(" ");
    PrintBytes(&qx17::RxBuffer[at], length);
    return 0;
}
