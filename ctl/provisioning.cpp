#include "ctl/provisioning.h"

#include <algorithm>
#include <cstdio>

#include "ctl/field_table.h"
#include "ctl/tracker_link.h"
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

void WriteAll(TrackerLink& link, const ImageBytes& image) {
    const LinkTimes& times = link.Times();
    for (std::size_t step = 0; step < std::size(kWriteAllFrames); ++step) {
        const std::string what = "write-all frame " + std::to_string(step + 1) + " of 4";
        const std::string reply =
            link.Request(std::string(1, static_cast<char>(kWriteCommand)) +
                             WriteData(image, kWriteAllFrames[step]),
                         kWriteCommand, step == 0 ? times.first_write : times.next_write, what);
        CheckAcknowledged(reply, what);
    }
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
        differences.push_back({row.name, before, after});
        for (std::size_t i = row.place.first; i < row.place.first + row.place.width; ++i) {
            explained[i] = true;
        }
    }
    // A byte no field shows differently (outside every field, or beyond a
    // text's '#'), as itself.
    for (const ImageRange& range : kWriteAllFrames) {
        for (std::size_t i = range.first; i < range.first + range.count; ++i) {
            if (differs(i) && !explained[i]) {
                differences.push_back(
                    {"byte " + std::to_string(i), Hex(written[i]), Hex(read_back[i])});
            }
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
