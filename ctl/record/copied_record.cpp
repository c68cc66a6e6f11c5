#include "ctl/record/copied_record.h"

namespace qx17::ctl {

// The two claims' names, kept as one: "record\ncopy".
LineRecord::ClaimResult CopiedRecord::Claim(LogRow& row, std::string& claim, std::string& error) {
    std::string in_record;
    const ClaimResult result = record_->Claim(row, in_record, error);
    if (result != ClaimResult::kClaimed) {
        return result;
    }
    std::string in_copy;
    if (copy_->Claim(row, in_copy, error) != ClaimResult::kClaimed) {
        return ClaimResult::kFailed;  // the record's claim stays: its ID is used
    }
    claim = in_record + '\n' + in_copy;
    return ClaimResult::kClaimed;
}

bool CopiedRecord::Append(const LogRow& row, const std::string& claim, std::string& error) {
    const std::size_t split = claim.find('\n');
    const std::string in_record = claim.substr(0, split);
    const std::string in_copy = split == std::string::npos ? "" : claim.substr(split + 1);
    // The copy on this station's disk first: it never waits on a network.
    return copy_->Append(row, in_copy, error) && record_->Append(row, in_record, error);
}

}  // namespace qx17::ctl
