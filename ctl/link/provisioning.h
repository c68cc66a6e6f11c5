// What qx17ctl does with one tracker over its link: read its memory, write a
// profile into it the way the window's "Write" does, check what it holds
// afterwards, and send it "Default".
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/field_values.h"
#include "params/param_image.h"

namespace qx17::ctl {

class TrackerLink;

// The tracker refused a write: its acknowledgement's status was not 1.
class WriteRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Which tracker ID a write gives: the tracker's own (the default), the
// profile's, or the digits given.
struct IdChoice {
    enum class Kind { kKeep, kProfile, kGiven } kind = Kind::kKeep;
    std::string digits;
};

// A field whose read-back differs from what was written.
struct Difference {
    std::string name;     // saved-settings name, or "byte N" for a byte no field shows differently
    std::string written;  // the values; empty for a password (`password` set)
    std::string read;
    // The password (PW, APN_PW) the field is, or whose place a "byte N" is
    // in: its values are not kept.
    std::string password;
};

// The read-all: the tracker's memory from address 0, as far as its reply
// goes; the rest of the image is zero.
ImageBytes ReadTracker(TrackerLink& link);

// The tracker's own image with the profile's values encoded into it, exactly
// as the window encodes its fields before a write-all: bytes no field covers
// keep what the tracker had.
struct WritePlan {
    FieldValues values;
    ImageBytes image;
};
WritePlan MergeProfile(const ImageBytes& tracker, const FieldValues& profile, const IdChoice& id);

// The four write-all frames, each after the previous one's acknowledgement.
// Returns once the tracker holds every frame's bytes: a frame left
// unanswered is not sent again blindly (its late acknowledgement would be
// taken for the next frame's), but the tracker is read and the frames it
// does not hold yet are sent, up to the link's retries. WriteRefused for a
// refusal, also one that came late; LinkError when the tracker does not
// answer; TrackerReplaced when it is run inside a TrackerLink::Writing.
// `frames`, when given, follows how far each frame got, so that a write cut
// short can say what the tracker may hold.
enum class FrameState { kNotSent, kSent, kHeld };
using WriteProgress = std::array<FrameState, 4>;
void WriteAll(TrackerLink& link, const ImageBytes& image, WriteProgress* frames = nullptr);

// Which ID a tracker holds after a write-all that stopped at `frames`: the
// one it had, the one written, or either (its frame went unanswered).
enum class IdHeld { kBefore, kWritten, kEither };
IdHeld IdHeldAfter(const WriteProgress& frames);

// "APN written \"x\", read \"y\"" for a message, in UTF-8; no value of the
// two passwords (PW, APN_PW) is shown, nor any byte of their places (a byte
// after a password's end mark holds the tail of the one before), so that
// none reaches a terminal's scrollback or a captured output.
std::string DescribeDifference(const Difference& difference);

// Every byte the write-all covers, compared: the fields that differ, each once.
std::vector<Difference> CompareWritten(const ImageBytes& written, const ImageBytes& read_back);

// The read-back against the plan: each field whose value read back is not
// the value the plan states (a value the encoding changed would pass a
// comparison of bytes), then every byte CompareWritten finds besides.
std::vector<Difference> VerifyWritten(const WritePlan& plan, const ImageBytes& read_back);

// "Default" and its acknowledgement; WriteRefused when it is refused.
void SendDefault(TrackerLink& link);

}  // namespace qx17::ctl
