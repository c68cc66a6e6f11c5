#include "ctl/link/provisioning.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "ctl/link/tracker_link.h"
#include "ctl/profiles/field_table.h"
#include "params/ansi_text.h"
#include "protocol/link_commands.h"

namespace qx17::ctl {

namespace {

void CheckAcknowledged(const std::string& reply, const std::string& what) {
    if (reply.size() < 2 || static_cast<std::uint8_t>(reply[1]) != kWriteSucceeded) {
        const int status = reply.size() < 2 ? -1 : static_cast<std::uint8_t>(reply[1]);
        throw WriteRefused(
            "the tracker refused " + what +
            (status < 0 ? " (no status)" : " (status " + std::to_string(status) + ")"));
    }
}

bool IsPassword(std::string_view name) {
    return name == "PW" || name == "APN_PW";
}

// A field's difference; a password's without its values, which nothing
// may show.
Difference FieldDifference(const char* name, std::string written, std::string read) {
    if (IsPassword(name)) {
        return {name, "", "", name};
    }
    return {name, std::move(written), std::move(read), ""};
}

std::string Hex(std::uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

}  // namespace

ImageBytes ReadTracker(TrackerLink& link) {
    // A read reply short of the 256 bytes asked for is not taken: the bytes
    // missing would be zeros, and a write would put them into the tracker.
    const std::string reply = link.Request(kReadAllPayload, kReadCommand, link.Times().read_all,
                                           "read-all", 1 + kReadAllCount);
    const std::string data =
        ReadReplyData(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    ImageBytes image{};
    std::copy_n(data.begin(), std::min(data.size(), image.size()), image.begin());
    return image;
}

WritePlan MergeProfile(const ImageBytes& tracker, const FieldValues& profile, const IdChoice& id) {
    WritePlan plan{profile, tracker};
    switch (id.kind) {
        case IdChoice::Kind::kKeep:
            plan.values.ID = ImageToFields(tracker).ID;
            break;
        case IdChoice::Kind::kGiven:
            plan.values.ID = id.digits;
            break;
        case IdChoice::Kind::kProfile:
            break;
    }
    FieldsToImage(plan.values, plan.image);
    return plan;
}

void WriteAll(TrackerLink& link, const ImageBytes& image, WriteProgress* frames) {
    WriteProgress ignored{};
    WriteProgress& state = frames != nullptr ? *frames : ignored;
    state.fill(FrameState::kNotSent);
    const LinkTimes& times = link.Times();
    const int refused_before = link.LateRefusals();
    const auto refused_late = [&] {
        if (link.LateRefusals() != refused_before) {
            throw WriteRefused("the tracker refused a write-all frame (its answer came late)");
        }
    };
    std::vector<std::size_t> pending = {0, 1, 2, 3};
    for (int round = 0;; ++round) {
        std::optional<std::size_t> unanswered;
        for (const std::size_t step : pending) {
            const std::string what = "write-all frame " + std::to_string(step + 1) + " of 4";
            if (state[step] == FrameState::kNotSent) {
                state[step] = FrameState::kSent;  // Exchange sends before it can fail
            }
            const std::optional<std::string> reply = link.Exchange(
                std::string(1, static_cast<char>(kWriteCommand)) +
                    WriteData(image, kWriteAllFrames[step]),
                kWriteCommand, step == 0 ? times.first_write : times.next_write, what);
            if (!reply) {
                unanswered = step;
                break;
            }
            CheckAcknowledged(*reply, what);
            state[step] = FrameState::kHeld;
        }
        refused_late();
        if (!unanswered) {
            return;
        }
        if (round == times.retries) {
            throw LinkError(LinkFailure::kTimeout, link.Port() + ": no reply to write-all frame " +
                                                       std::to_string(*unanswered + 1) + " of 4. " +
                                                       kNoReplyHint);
        }
        // The protocol numbers nothing, so a late acknowledgement cannot be
        // told from a fresh one: rather than send the frame again and take
        // the next acknowledgement for it, ask what the tracker holds. Its
        // read reply cannot be mistaken for an acknowledgement, and comes
        // after the answers to everything sent before it.
        const ImageBytes held = ReadTracker(link);
        refused_late();
        pending.clear();
        for (std::size_t step = 0; step < std::size(kWriteAllFrames); ++step) {
            const ImageRange& range = kWriteAllFrames[step];
            if (!std::equal(image.begin() + range.first, image.begin() + range.first + range.count,
                            held.begin() + range.first)) {
                pending.push_back(step);
            } else {
                state[step] = FrameState::kHeld;
            }
        }
        if (pending.empty()) {
            return;
        }
    }
}

std::string DescribeDifference(const Difference& d) {
    if (IsPassword(d.name)) {
        return d.name + " differs (a password: its values are not shown)";
    }
    if (!d.password.empty()) {  // a byte in a password's place
        return d.name + " differs, in the place of " + d.password +
               " (a password: its values are not shown)";
    }
    return d.name + " written \"" + AnsiToUtf8(d.written) + "\", read \"" + AnsiToUtf8(d.read) +
           "\"";
}

IdHeld IdHeldAfter(const WriteProgress& frames) {
    for (std::size_t step = 0; step < std::size(kWriteAllFrames); ++step) {
        const ImageRange& range = kWriteAllFrames[step];
        if (kID.first >= range.first && kID.first < range.first + range.count) {
            switch (frames[step]) {
                case FrameState::kNotSent:
                    return IdHeld::kBefore;
                case FrameState::kHeld:
                    return IdHeld::kWritten;
                case FrameState::kSent:
                    break;
            }
            return IdHeld::kEither;
        }
    }
    return IdHeld::kBefore;  // no frame carries it
}

std::vector<Difference> CompareWritten(const ImageBytes& written, const ImageBytes& read_back) {
    const auto differs = [&](std::size_t i) { return written[i] != read_back[i]; };
    const FieldValues wrote = ImageToFields(written);
    const FieldValues read = ImageToFields(read_back);
    std::vector<Difference> differences;
    // By field: each field whose bytes differ and that shows differently.
    std::vector<bool> explained(written.size(), false);
    for (const FieldRow& row : FieldRows()) {
        bool touched = false;
        for (std::size_t i = row.place.first; i < row.place.first + row.place.width; ++i) {
            touched = touched || differs(i);
        }
        if (!touched) {
            continue;
        }
        const std::string before = row.Stored(wrote);
        const std::string after = row.Stored(read);
        if (before == after) {
            continue;
        }
        differences.push_back(FieldDifference(row.name, before, after));
        for (std::size_t i = row.place.first; i < row.place.first + row.place.width; ++i) {
            explained[i] = true;
        }
    }
    // A byte no field shows differently (outside every field, or beyond a
    // text's '#'), as itself; one in a password's place without its values.
    std::vector<const char*> password_of(written.size(), nullptr);
    for (const FieldRow& row : FieldRows()) {
        if (IsPassword(row.name)) {
            for (std::size_t i = row.place.first; i < row.place.first + row.place.width; ++i) {
                password_of[i] = row.name;
            }
        }
    }
    for (const ImageRange& range : kWriteAllFrames) {
        for (std::size_t i = range.first; i < range.first + range.count; ++i) {
            if (!differs(i) || explained[i]) {
                continue;
            }
            const std::string name = "byte " + std::to_string(i);
            if (password_of[i] != nullptr) {
                differences.push_back({name, "", "", password_of[i]});
            } else {
                differences.push_back({name, Hex(written[i]), Hex(read_back[i]), ""});
            }
        }
    }
    return differences;
}

std::vector<Difference> VerifyWritten(const WritePlan& plan, const ImageBytes& read_back) {
    const FieldValues read = ImageToFields(read_back);
    std::vector<Difference> differences;
    for (const FieldRow& row : FieldRows()) {
        if (row.index == &FieldValues::GPRS_TYPE && !plan.values.GPRS_EN) {
            continue;  // with GPRS off the tracker holds no type
        }
        if (row.Stored(plan.values) != row.Stored(read)) {
            differences.push_back(
                FieldDifference(row.name, row.Stored(plan.values), row.Stored(read)));
        }
    }
    for (Difference& d : CompareWritten(plan.image, read_back)) {
        if (std::none_of(differences.begin(), differences.end(),
                         [&d](const Difference& seen) { return seen.name == d.name; })) {
            differences.push_back(std::move(d));
        }
    }
    return differences;
}

void SendDefault(TrackerLink& link) {
    const std::string reply =
        link.Request(kDefaultPayload, kWriteCommand, link.Times().single, "Default");
    CheckAcknowledged(reply, "Default");
}

}  // namespace qx17::ctl
