// The IDs of `--id-start`: from the start on, every number not used yet,
// with at least the start's number of digits (leading zeros kept), 14 at
// most. "0099" and "99" are the same number, and so the same ID.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace qx17::ctl {

// The number an ID stands for: nothing unless it is 1 to 14 digits.
std::optional<std::uint64_t> IdNumber(const std::string& id);

// `digits` with leading zeros up to `width` (an ID keeps its start's width).
std::string PaddedId(std::string digits, std::size_t width);

// What a record holds of the IDs it gave out (not those trackers kept): by
// number of digits, the lowest one.
using GivenIds = std::map<std::size_t, std::string>;
void NoteGiven(GivenIds& given, const std::string& id);

// Empty when a sequence from `start`, whose first ID would be `first`,
// continues the IDs given out so far (none yet, or some with as many digits
// as `start`, none of them above `first`: a start below the series whose
// IDs up to it are all used continues it); otherwise why not, for a
// message. A start that would begin another series is taken only when
// asked for (--new-series).
std::string SeriesProblem(const std::string& start, const std::string& first,
                          const GivenIds& given);

class IdSequence {
  public:
    explicit IdSequence(const std::string& start);

    // An ID some tracker holds or may hold: never given out.
    void Use(const std::string& id);

    // The first ID from the start on that is not used; nothing once 14
    // digits are exhausted.
    std::optional<std::string> NextFree() const;
    // Whether `n` IDs are still free.
    bool HasFree(std::size_t n) const;

  private:
    std::uint64_t first_free_;  // from the start on, the first number not used
    std::size_t width_;
    std::set<std::uint64_t> used_;
};

}  // namespace qx17::ctl
