// qx17ctl's receiving side under a stream chosen by the fuzzer: frames of
// every command (good and with a bad CRC), noise, and bytes of any kind, cut
// into chunks anywhere, reassembled by FrameAssembler; each reply then goes
// where the tool takes it: a read reply into an image, compared with what a
// write put there, an acknowledgement judged. It checks:
// - every payload taken is that of a whole frame with a good CRC that the
//   stream holds, in the stream's order;
// - when the stream is made only of good frames and noise without 0xAB,
//   exactly those frames are taken, however it is cut (unless a frame holds
//   a whole frame inside it: see HoldsWholeFrame);
// - nothing is read or written outside a buffer (AddressSanitizer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ctl/link/provisioning.h"
#include "params/field_values.h"
#include "protocol/frame_assembler.h"
#include "protocol/frame_codec.h"
#include "protocol/link_commands.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "ctl_link_fuzzer: %s\n", what);
    std::abort();
}

Bytes Encode(const std::string& payload, bool good_crc) {
    Bytes frame(payload.size() + 6);
    if (qx17::EncodeFrame(frame.data(), frame.size(), payload) != frame.size()) {
        Broken("EncodeFrame refused a payload that fits");
    }
    if (!good_crc) {
        frame.back() ^= 0x5A;
    }
    return frame;
}

// Whether a frame holds another whole good frame after its start pair. Cut
// before its end, such a frame cannot be told from a noise pair followed by
// a frame, and the assembler takes the inner one; so a stream with one is
// not held to "exactly its frames".
bool HoldsWholeFrame(const Bytes& frame) {
    for (std::size_t i = 1; i + 6 <= frame.size(); ++i) {
        if (frame[i] != qx17::kFrameStart || frame[i + 1] != qx17::kFrameStart) {
            continue;
        }
        const std::size_t length = std::size_t{frame[i + 2]} * 256 + frame[i + 3];
        if (i + 6 + length > frame.size()) {
            continue;
        }
        const std::string payload(frame.begin() + static_cast<long>(i + 4),
                                  frame.begin() + static_cast<long>(i + 4 + length));
        if (std::equal(frame.begin() + static_cast<long>(i),
                       frame.begin() + static_cast<long>(i + 6 + length),
                       Encode(payload, true).begin())) {
            return true;
        }
    }
    return false;
}

// Where the tool takes a reply: its data into an image, the image decoded
// and compared with another; nothing of it may fault.
void TakeReply(const std::string& payload, qx17::ImageBytes& written) {
    if (payload.empty()) {
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    if (bytes[0] == qx17::kReadCommand) {
        const std::string data = qx17::ReadReplyData(bytes, payload.size());
        if (data.size() + 1 != payload.size()) {
            Broken("ReadReplyData did not take the payload after its command byte");
        }
        qx17::ImageBytes read{};
        std::copy_n(data.begin(), std::min(data.size(), read.size()), read.begin());
        const qx17::FieldValues values = qx17::ImageToFields(read);
        (void)qx17::ctl::CompareWritten(written, read);
        qx17::FieldsToImage(values, written);  // the next comparison is with this
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Segments: [kind][length][bytes]; then the cuts.
    Bytes stream;
    std::vector<std::string> good;  // the payloads of the good frames, in order
    bool clean = true;
    std::size_t at = 0;
    const auto byte = [&] { return at < size ? data[at++] : std::uint8_t{0}; };
    while (at < size && stream.size() < 2048) {
        const std::uint8_t kind = byte();
        const std::size_t length = byte();
        std::string bytes;
        for (std::size_t i = 0; i < length && at < size; ++i) {
            bytes.push_back(static_cast<char>(byte()));
        }
        switch (kind % 4) {
            case 0: {  // a good frame; a read reply of full length now and then
                if (kind & 0x10) {
                    bytes.insert(0, 1, static_cast<char>(qx17::kReadCommand));
                    bytes.resize(257, '0');
                }
                const Bytes frame = Encode(bytes, true);
                stream.insert(stream.end(), frame.begin(), frame.end());
                good.push_back(bytes);
                clean = clean && !HoldsWholeFrame(frame);
                break;
            }
            case 1: {  // a frame with a bad CRC
                const Bytes frame = Encode(bytes, false);
                stream.insert(stream.end(), frame.begin(), frame.end());
                clean = false;
                break;
            }
            case 2:  // noise without a start byte
                for (char ch : bytes) {
                    stream.push_back(static_cast<std::uint8_t>(ch) == 0xAB
                                         ? 0x00
                                         : static_cast<std::uint8_t>(ch));
                }
                break;
            default:  // anything
                stream.insert(stream.end(), bytes.begin(), bytes.end());
                clean = clean && bytes.find('\xAB') == std::string::npos;
                break;
        }
    }

    qx17::FrameAssembler frames;
    qx17::ImageBytes written{};
    std::vector<std::string> taken;
    std::size_t from = 0;
    std::size_t search = 0;  // taken frames lie in the stream in order
    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        seed = (seed ^ data[i]) * 16777619u;
    }
    while (from < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t chunk =
            std::min<std::size_t>(stream.size() - from, 1 + (seed >> 16) % 300);
        frames.Add(stream.data() + from, chunk);
        from += chunk;
        while (const auto payload = frames.Next()) {
            const Bytes frame = Encode(*payload, true);
            const auto found = std::search(stream.begin() + static_cast<long>(search), stream.end(),
                                           frame.begin(), frame.end());
            if (found == stream.end()) {
                Broken("a frame taken that the stream does not hold there");
            }
            search = static_cast<std::size_t>(found - stream.begin()) + frame.size();
            taken.push_back(*payload);
            TakeReply(*payload, written);
        }
    }
    if (clean && taken != good) {
        Broken("a clean stream's frames not taken exactly");
    }
    return 0;
}
