// A record with a local copy: IDs come from the record alone, and every
// claim goes to both, the record first (it chooses the ID), every row to
// the copy first (it never waits on a network). With `--record` and `--log`,
// the CSV log of the station holds the same rows as the shared record.
#pragma once

#include <memory>

#include "ctl/line/line_record.h"

namespace qx17::ctl {

class CopiedRecord final : public LineRecord {
  public:
    CopiedRecord(std::unique_ptr<LineRecord> record, std::unique_ptr<LineRecord> copy)
        : record_(std::move(record)), copy_(std::move(copy)) {}

    bool GiveIds(const std::string& start, bool new_series, std::string& error) override {
        return record_->GiveIds(start, new_series, error);
    }
    bool HasFreeIds(std::size_t n) override { return record_->HasFreeIds(n); }
    ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) override;
    bool Append(const LogRow& row, const std::string& claim, std::string& error) override;
    bool Reachable(std::string& why) override { return record_->Reachable(why); }
    bool Finish(std::string& error) override { return record_->Finish(error); }

  private:
    std::unique_ptr<LineRecord> record_;
    std::unique_ptr<LineRecord> copy_;
};

}  // namespace qx17::ctl
